#!/usr/bin/env bash
# sanperf_exporter under hostile clients, at full size: the attacker on
# 127.0.0.2, the honest client on 127.0.0.1, collectors off. Prints, for
# each attack, what the honest client saw; given a second exporter, the
# shared-reads cases measure it too, as a baseline. Takes about five minutes.
# Usage: bench/exporter_network.sh EXPORTER [BASELINE-EXPORTER]
set -euo pipefail
exporter=$(realpath "${1:?usage: bench/exporter_network.sh EXPORTER}")
here=$(cd "$(dirname "$0")/../tests" && pwd)
# shellcheck source=../tests/support/exporter_test_lib.sh
. "$here/support/exporter_test_lib.sh"
raw=$here/support/raw_http.py
quiet=(--no-collector.disk-queues --no-collector.sessions --no-collector.sockets)
ulimit -n "$(ulimit -Hn)"

# scrapes N URL CURL-ARGS...: "ok/N, slowest S s" for N honest scrapes.
scrapes() {
  local n=$1 url=$2 ok=0 slowest=0 out
  shift 2
  for _ in $(seq "$n"); do
    out=$(curl -s --interface 127.0.0.1 -m 5 -o /dev/null -w '%{http_code} %{time_total}' "$@" "$url" || true)
    [ "${out%% *}" = 200 ] && ok=$((ok + 1))
    slowest=$(awk -v a="$slowest" -v b="${out##* }" 'BEGIN { print (b > a ? b : a) }')
  done
  echo "$ok/$n answered, slowest $slowest s"
}
# descriptors NAME: how many the exporter holds open.
descriptors() { ls "/proc/${exporter_pid[$1]}/fd" | wc -l; }
# finish NAME: the exporter is gone.
finish() { { kill -KILL "${exporter_pid[$1]}"; wait "${exporter_pid[$1]}"; } 2>/dev/null || true; }
# hold_open NAME COUNT SECONDS [tls]: a holder on 127.0.0.2, once its
# connections are open; prints how many it holds.
hold_open() {
  local fifo=$work/$1.fifo
  mkfifo "$fifo"
  python3 "$raw" hold 127.0.0.2 "$port" "$2" "$3" "${@:4}" >"$fifo" &
  pids+=($!)
  read -r -t 120 _ held <"$fifo" || held=0
  echo "$held"
}

start_exporter idle "${quiet[@]}"
hold_open idle 10000 30 >/dev/null
echo "10,000 idle connections from one address ($(descriptors idle) descriptors open in the exporter):"
echo "  honest scrape $(scrapes 5 "http://127.0.0.1:$port/metrics")"
finish idle

start_exporter trickle "${quiet[@]}"
python3 "$raw" trickle 127.0.0.2 "$port" 1100 4 30 >"$work/trickle.out" 2>&1 &
pids+=($!)
sleep 15
echo "1,100 connections trickling a byte every 4 s, 15 s in ($(descriptors trickle) descriptors open):"
echo "  honest scrape $(scrapes 5 "http://127.0.0.1:$port/metrics")"
wait $! || true
echo "  trickled connections: $(cat "$work/trickle.out")"
finish trickle

(
  cd "$work"
  ec=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
  openssl req -x509 "${ec[@]}" -days 2 -subj /CN=ca -keyout ca.key -out ca.pem
  openssl req "${ec[@]}" -subj /CN=localhost -keyout server.key -out server.csr
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >server.ext
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile server.ext -out server.pem
  openssl req "${ec[@]}" -subj /CN=client -keyout client.key -out client.csr
  openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out client.pem
) >/dev/null 2>&1
printf 'tls_server_config:\n  cert_file: server.pem\n  key_file: server.key\n  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: ca.pem\n' >"$work/mtls.yml"
client=(--cacert "$work/ca.pem" --cert "$work/client.pem" --key "$work/client.key")
start_exporter mtls --web.config.file="$work/mtls.yml" "${quiet[@]}"
hold_open tls 1024 30 tls >/dev/null
echo "1,024 TLS handshakes without a certificate ($(descriptors mtls) descriptors open):"
echo "  honest scrape $(scrapes 5 "https://localhost:$port/metrics" "${client[@]}")"

# ticks PID: CPU time used so far, in clock ticks.
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# neighbour SECONDS: loop iterations a CPU-bound process gets through.
neighbour() {
  python3 -c 'import sys, time
n, end = 0, time.monotonic() + float(sys.argv[1])
while time.monotonic() < end: n += 1
print(n)' "$1"
}
printf 'tls_server_config:\n  cert_file: server.pem\n  key_file: server.key\n' >"$work/tls.yml"
start_exporter stall --web.config.file="$work/tls.yml" "${quiet[@]}"
spid=${exporter_pid[stall]}
hz=$(getconf CLK_TCK)
t0=$(ticks "$spid")
quiet_work=$(neighbour 5)
idle_cpu=$((($(ticks "$spid") - t0) * 100 / 5 / hz))
idle_scrape=$(scrapes 5 "https://localhost:$port/-/healthy" --cacert "$work/ca.pem")
echo "TLS, idle: exporter ${idle_cpu}% CPU, neighbour $quiet_work loops in 5 s, honest $idle_scrape"
for how in partial full; do
  fifo=$work/stall-$how.fifo
  mkfifo "$fifo"
  python3 "$raw" stall-tls 127.0.0.2 "$port" 8 8 "$how" >"$fifo" &
  pids+=($!)
  read -r -t 30 _ _ <"$fifo" || true
  t0=$(ticks "$spid")
  busy_work=$(neighbour 5)
  cpu=$((($(ticks "$spid") - t0) * 100 / 5 / hz))
  echo "8 handshakes stalled after a $how ClientHello: exporter ${cpu}% CPU (idle ${idle_cpu}%)," \
    "neighbour $(awk -v a="$busy_work" -v b="$quiet_work" 'BEGIN { printf "%.2f", a / b }')x its idle loops," \
    "honest $(scrapes 5 "https://localhost:$port/-/healthy" --cacert "$work/ca.pem")"
  wait $! || true
done
finish stall

pid=${exporter_pid[mtls]}
rss() { awk '/^VmRSS/ { print $2 }' "/proc/$pid/status"; }
before=$(rss)
python3 "$here/support/sighup_many.py" "$pid" "$work/mtls.log" 1000
echo "RSS over 1,000 SIGHUPs with client certificates: $before KiB -> $(rss) KiB"
finish mtls

start_exporter names --web.config.file="$work/mtls.yml" "${quiet[@]}"
(cd "$work" && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=new-ca \
  -keyout new-ca.key -out new-ca.pem) >/dev/null 2>&1
sed -i 's/ca.pem/new-ca.pem/' "$work/mtls.yml"
kill -HUP "${exporter_pid[names]}"
sleep 1
# Without a client certificate the handshake fails and s_client exits 1,
# after it has printed the names.
names=$({ openssl s_client -connect "127.0.0.1:$port" </dev/null 2>/dev/null || true; } |
  sed -n '/Acceptable client certificate CA names/{n;p}')
echo "CA names advertised after a reload to new-ca: ${names:-none}"
finish names

mkfifo "$work/fifo.pem"
printf 'tls_server_config:\n  cert_file: fifo.pem\n  key_file: server.key\n' >"$work/fifo.yml"
cp "$work/mtls.yml" "$work/live.yml"
sed -i 's/new-ca.pem/ca.pem/' "$work/live.yml"
start_exporter fifo --web.config.file="$work/live.yml" "${quiet[@]}"
cp "$work/fifo.yml" "$work/live.yml"
kill -HUP "${exporter_pid[fifo]}"
sleep 0.5
start=$(date +%s%N)
kill -TERM "${exporter_pid[fifo]}"
for _ in $(seq 100); do kill -0 "${exporter_pid[fifo]}" 2>/dev/null || break; sleep 0.1; done
if kill -0 "${exporter_pid[fifo]}" 2>/dev/null; then
  echo "SIGTERM after a SIGHUP naming a FIFO: still running after 10 s"
else
  echo "SIGTERM after a SIGHUP naming a FIFO: stopped in $((($(date +%s%N) - start) / 1000000)) ms"
fi

start_exporter malformed "${quiet[@]}"
echo "malformed requests:"
python3 "$raw" malformed 127.0.0.2 "$port" 10 | sed 's/^/  /' || true
echo "requests RFC 9112 refuses, and some it allows:"
python3 "$raw" strict 127.0.0.2 "$port" | sed 's/^/  /' || true
echo "  afterwards: honest scrape $(scrapes 1 "http://127.0.0.1:$port/metrics")"
finish malformed

# ---- Memory around a 16,000-connection flood -------------------------------------
# Twenty addresses of 800 connections each, every one asking for /-/healthy
# every 5 s; the resident size idle, during the flood, and a minute after.
start_exporter memory "${quiet[@]}"
mpid=${exporter_pid[memory]}
rss_mib() { awk '/^VmRSS/ { printf "%.1f", $2 / 1024 }' "/proc/$mpid/status"; }
idle=$(rss_mib)
mkfifo "$work/memory.fifo"
python3 "$raw" busy 127.0.0.2 "$port" 20 800 5 30 >"$work/memory.fifo" &
flood=$!
pids+=($flood)
read -r -t 120 _ held <"$work/memory.fifo" || held=0
sleep 10
during=$(rss_mib)
honest=$(scrapes 5 "http://127.0.0.1:$port/metrics")
wait "$flood" || true
sleep 60
after=$(rss_mib)
echo "$held connections from 20 addresses asking for /-/healthy every 5 s ($(descriptors memory) descriptors open a minute after):"
echo "  RSS idle $idle MiB, during $during MiB, a minute after $after MiB" \
  "($(awk -v a="$after" -v i="$idle" 'BEGIN { printf "%+.1f", a - i }') MiB); honest scrape during it $honest"
finish memory

# ---- TLS handshakes: their cost per key type, and floods of them ---------------
tls_clients=$here/support/tls_clients.py
# cpu_ms_per PID COUNT COMMAND...: the exporter's CPU time per one of COUNT
# handshakes that COMMAND makes, in ms.
cpu_ms_per() {
  local pid=$1 count=$2 t0
  shift 2
  t0=$(ticks "$pid")
  "$@" >/dev/null
  awk -v t="$(($(ticks "$pid") - t0))" -v hz="$hz" -v n="$count" 'BEGIN { printf "%.2f", t * 1000 / hz / n }'
}
# p50 N URL CURL-ARGS...: the median time of N honest requests, in ms, each
# on a new connection.
p50() {
  local n=$1 url=$2
  shift 2
  for _ in $(seq "$n"); do
    curl -s --interface 127.0.0.1 -m 10 -o /dev/null -w '%{time_total}\n' "$@" "$url" || echo 10
  done | sort -n | awk '{ t[NR] = $1 } END { printf "%.1f", t[int((NR + 1) / 2)] * 1000 }'
}
(
  cd "$work"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -keyout rsa2048.key -out rsa2048.pem
  openssl req -x509 -newkey rsa:4096 -nodes -days 2 -subj /CN=localhost -keyout rsa4096.key -out rsa4096.pem
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost \
    -keyout p256.key -out p256.pem
) >/dev/null 2>&1
"$here/support/many_names.sh" "$work/junk" 5000 'j%05d.example.test'
long=$(printf '%060d' 0)
"$here/support/many_names.sh" "$work/big" 1000 "big-%05d.$long.$long.$long.example"
echo "server CPU per full TLS handshake (300 from one client, a request on each):"
for key in p256 rsa2048 rsa4096; do
  printf 'tls_server_config:\n  cert_file: %s.pem\n  key_file: %s.key\n' "$key" "$key" >"$work/$key.yml"
  start_exporter "$key" --web.config.file="$work/$key.yml" "${quiet[@]}"
  echo "  $key: $(cpu_ms_per "${exporter_pid[$key]}" 300 python3 "$tls_clients" handshakes 127.0.0.2 "$port" 300) ms"
  finish "$key"
done

printf 'tls_server_config:\n  cert_file: server.pem\n  key_file: server.key\n  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: ca.pem\n' >"$work/junk-mtls.yml"
start_exporter junk --web.config.file="$work/junk-mtls.yml" "${quiet[@]}"
jpid=${exporter_pid[junk]}
echo "client certificates required, server CPU per handshake (100 each):"
echo "  a valid certificate: $(cpu_ms_per "$jpid" 100 python3 "$tls_clients" handshakes 127.0.0.2 "$port" 100 \
  "$work/client.pem" "$work/client.key") ms"
echo "  a junk certificate (5,000 names, $(stat -c %s "$work/junk.pem") bytes of PEM), refused:" \
  "$(cpu_ms_per "$jpid" 100 python3 "$tls_clients" handshakes 127.0.0.2 "$port" 100 "$work/junk.pem" "$work/junk.key") ms"
finish junk

start_exporter flood --web.config.file="$work/rsa2048.yml" "${quiet[@]}"
idle=$(p50 20 "https://localhost:$port/-/healthy" -k)
python3 "$tls_clients" flood 127.0.0.2 "$port" 25 16 >"$work/flood.out" &
pids+=($!)
sleep 3
flooded=$(p50 20 "https://localhost:$port/-/healthy" -k)
wait $! || true
refused=$(curl -s -k "https://localhost:$port/metrics" |
  awk '$1 == "sanperf_exporter_connections_refused_total{reason=\"handshake_rate\"}" { print $2 }')
echo "RSA-2048, one client replaying ClientHellos on 16 connections at once ($(cat "$work/flood.out")," \
  "${refused:-no} refused over the rate): honest p50 $flooded ms against $idle ms idle," \
  "$(awk -v a="$flooded" -v b="$idle" 'BEGIN { printf "%.1f", a / b }')x"
finish flood

printf 'tls_server_config:\n  cert_file: big.pem\n  key_file: big.key\n' >"$work/big.yml"
start_exporter big --web.config.file="$work/big.yml" "${quiet[@]}"
mkfifo "$work/unread.fifo"
python3 "$tls_clients" stall-write 127.0.0.2 "$port" 8 8 >"$work/unread.fifo" &
pids+=($!)
read -r -t 30 _ _ <"$work/unread.fifo" || true
t0=$(ticks "${exporter_pid[big]}")
sleep 5
echo "8 handshakes stalled on the server's flight (a certificate of $(stat -c %s "$work/big.pem") bytes of PEM, unread):" \
  "exporter $((($(ticks "${exporter_pid[big]}") - t0) * 100 / 5 / hz))% CPU"
wait $! || true
finish big

# ---- Shared reads: slow readers' memory, and a cache-busting client ----------------
# On a 5,000-session, 5,000-socket tree, for this exporter and, when a second
# one is given, for that one too in the same run, as a baseline.
sim=$(dirname "$exporter")/../sanperf-sim/sanperf-sim
reads_tree=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d -p "$work")
trap 'rm -rf "$reads_tree"; cleanup' EXIT
"$sim" --sessions 5000 --sockets 5000 --once "$reads_tree/sys" >/dev/null 2>&1
# load SECONDS plain|bust: four clients on 127.0.0.2 asking for metrics as
# fast as they can, every request the same (plain) or each for other
# collectors or another encoding than the last (bust).
load() {
  python3 - "$port" "$1" "$2" <<'EOF'
import http.client, itertools, sys, threading, time
port, seconds, how = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
sets = ["", "?collect[]=disk-queues", "?collect[]=sessions", "?collect[]=sockets",
        "?collect[]=sessions&collect[]=sockets", "?collect[]=disk-queues&collect[]=sessions"]
asks = list(itertools.product(sets, ["gzip", "identity"])) if how == "bust" else [("", "gzip")]
end = time.monotonic() + seconds
def worker(k):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=30, source_address=("127.0.0.2", 0))
    for query, encoding in itertools.cycle(asks[k:] + asks[:k]):
        if time.monotonic() > end:
            return
        c.request("GET", "/metrics" + query, headers={"Accept-Encoding": encoding})
        c.getresponse().read()
threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
for t in threads: t.start()
for t in threads: t.join()
EOF
}
# honest_p90 COUNT: the 90th percentile of COUNT gzip scrapes from
# 127.0.0.1, one a second, in seconds.
honest_p90() {
  for _ in $(seq "$1"); do
    curl -s --interface 127.0.0.1 -m 10 --compressed -o /dev/null -w '%{time_total}\n' "http://127.0.0.1:$port/metrics"
    sleep 1
  done | sort -n | awk '{ t[NR] = $1 } END { print t[int(NR * 0.9 + 0.5)] }'
}
metric_value() { curl -s "http://127.0.0.1:$port/metrics" | awk -v m="$1" '$1 == m { print $2 }'; }
shared_reads() {  # EXPORTER LABEL
  local exporter=$1 name=reads-$2 before after body idle plain bust reads t0
  start_exporter "$name" --root="$reads_tree/sys"
  local pid=${exporter_pid[$name]}
  body=$(curl -s "http://127.0.0.1:$port/metrics" | wc -c)
  before=$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status")
  for i in $(seq 40); do
    python3 "$raw" slow-read 127.0.0.2 "$port" 1 120 >"$work/$name.slow$i" &
    pids+=($!)
    for _ in $(seq 300); do grep -q asked "$work/$name.slow$i" && break; sleep 0.1; done
  done
  after=$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status")
  echo "$2: 40 staggered slow readers of a $((body / 1048576)) MiB body: RSS $((before / 1024)) -> $((after / 1024)) MiB," \
    "$(awk -v a="$after" -v b="$before" -v s="$body" 'BEGIN { printf "%.1f", (a - b) * 1024 / s }') bodies more"
  finish "$name"
  start_exporter "$name" --root="$reads_tree/sys"
  pid=${exporter_pid[$name]}
  idle=$(honest_p90 10)
  for how in plain bust; do
    load 60 "$how" &
    local loader=$!
    pids+=($loader)
    sleep 2
    reads=$(metric_value sanperf_exporter_tree_reads_total)
    t0=$(ticks "$pid")
    local p90 start=$SECONDS
    p90=$(honest_p90 20)
    local took=$((SECONDS - start))
    reads=$(($(metric_value sanperf_exporter_tree_reads_total) - reads))
    echo "$2: $how loop from 127.0.0.2: honest p90 $p90 s (idle $idle s)," \
      "$(awk -v r="$reads" -v t="$took" 'BEGIN { printf "%.1f", r / t }') reads/s," \
      "exporter $((($(ticks "$pid") - t0) * 100 / took / hz))% CPU"
    kill "$loader" 2>/dev/null || true
    wait "$loader" 2>/dev/null || true
  done
  finish "$name"
}
shared_reads "$exporter" after
if [ -n "${2:-}" ]; then shared_reads "$(realpath "$2")" before; fi
