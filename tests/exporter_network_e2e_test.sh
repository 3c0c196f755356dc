#!/usr/bin/env bash
# sanperf_exporter against hostile clients on loopback: the attacker on
# 127.0.0.2 and above, the honest client on 127.0.0.1. Idle connection
# floods, twenty clients filling the table between them, headers
# trickled a byte at a time, TLS handshakes without a client certificate,
# malformed requests, reloads naming a FIFO, the CA names a handshake
# advertises after a reload, memory over many reloads, TLS handshakes
# stalled halfway, slow readers, the scrapers' reserved places, twenty
# addresses of one IPv6 /64 in a network namespace of its own, and reads
# that cannot be bought.
# Usage: exporter_network_e2e_test.sh EXPORTER SIMULATOR
set -euo pipefail
exporter=$1
sim=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=support/exporter_test_lib.sh
. "$here/support/exporter_test_lib.sh"
raw=$here/support/raw_http.py
quiet=(--no-collector.disk-queues --no-collector.sessions --no-collector.sockets)

# honest_scrape_within SECONDS URL CURL-ARGS...: a scrape from 127.0.0.1 is
# answered 200 in time: SECONDS, plus 2 s for a loaded machine's scheduling
# (a client the attack holds off waits for curl's 10 s).
honest_scrape_within() {
  # A sanitizer's build is slower throughout: SANPERF_TEST_TIME_SCALE
  # stretches the bound (make tsan sets it).
  local limit url=$2 out
  limit=$(awk -v l="$1" -v s="${SANPERF_TEST_TIME_SCALE:-1}" 'BEGIN { print (l + 2) * s }')
  shift 2
  out=$(curl -sS --interface 127.0.0.1 -m 10 -o /dev/null -w '%{http_code} %{time_total}' "$@" "$url") ||
    fail "honest scrape failed: $out"
  awk -v o="$out" -v l="$limit" 'BEGIN { split(o, f, " "); exit !(f[1] == 200 && f[2] <= l) }' ||
    fail "honest scrape: $out (status, seconds), wanted 200 within $limit s"
}
metric() {  # URL NAME-AND-LABELS: the sample's value
  curl -sS "$1" | awk -v m="$2" '$1 == m { print $2 }'
}

# ---- One address holding more connections than its share --------------------
start_exporter flood "${quiet[@]}"
url=http://127.0.0.1:$port/metrics
per_source=$(sed -n 's/.* max_connections_per_source=\([0-9]*\).*/\1/p' "$work/flood.log")
[ -n "$per_source" ] || fail "the start-up line does not state the limits"
flood=$((per_source + 200))
# bash unsets a coprocess's NAME_PID when it ends: each is kept.
coproc holder { python3 "$raw" hold 127.0.0.2 "$port" "$flood" 20; }
holder_pid=$holder_PID
pids+=("$holder_pid")
read -r -t 30 word held <&"${holder[0]}" || fail "the flood never opened"
[ "$word" = held ] && [ "$held" -ge "$per_source" ] || fail "the flood opened $held connections"
honest_scrape_within 1 "$url"
refused=$(metric "$url" 'sanperf_exporter_connections_refused_total{reason="per_source"}')
[ "${refused:-0}" -ge 150 ] || fail "$flood connections from one address: $refused refused, wanted about 200"
kill "$holder_pid" 2>/dev/null || true

# ---- Twenty addresses, each within its share, filling the table ---------------
# A small descriptor limit makes a small table (272 places, 17 a client):
# twenty clients of 14 busy connections each fill it, and an honest client
# still gets in, at the expense of the client holding the most.
printf '#!/bin/sh\nulimit -n 400\nexec "%s" "$@"\n' "$exporter" >"$work/small-table"
chmod +x "$work/small-table"
exporter_itself=$exporter
exporter=$work/small-table
start_exporter crowd "${quiet[@]}"
exporter=$exporter_itself
url=http://127.0.0.1:$port/metrics
coproc crowd { python3 "$raw" busy 127.0.0.2 "$port" 20 14 2 20; }
crowd_pid=$crowd_PID
pids+=("$crowd_pid")
read -r -t 30 word held <&"${crowd[0]}" || fail "the crowd never opened"
[ "$word" = busy ] && [ "$held" -ge 270 ] || fail "the crowd opened $held connections, wanted the table full"
for _ in 1 2 3; do honest_scrape_within 2 "$url"; done
evicted=$(metric "$url" sanperf_exporter_connections_evicted_total)
[ "${evicted:-0}" -ge 1 ] || fail "honest scrapes into a full table evicted none"
kill "$crowd_pid" 2>/dev/null || true
# However busy a client keeps a connection, its 1,000th response closes it.
python3 - "$port" <<'EOF' || fail "a connection was kept past its 1,000th response"
import http.client, sys
c = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]), timeout=5)
for i in range(1, 1001):
    c.request("GET", "/-/healthy")
    r = c.getresponse()
    r.read()
    if r.will_close != (i == 1000):
        sys.exit(f"response {i}: will_close is {r.will_close}")
EOF

# ---- Headers trickled a byte at a time ------------------------------------------
start_exporter trickle --web.read-header-timeout=2s "${quiet[@]}"
url=http://127.0.0.1:$port/metrics
python3 "$raw" trickle 127.0.0.2 "$port" 20 0.5 3.5 || fail "trickled headers kept a connection past the deadline"
timeouts=$(metric "$url" sanperf_exporter_header_timeouts_total)
[ "${timeouts:-0}" -ge 20 ] || fail "header timeouts counted: $timeouts, wanted 20"

# ---- A metric request waiting for the tree is not cut off by the deadline ------
# The tree in memory where there is a tmpfs for it: written to disk, its
# thousands of files take seconds.
tree=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d -p "$work")
trap 'rm -rf "$tree"; cleanup' EXIT
"$sim" --sessions 600 --sockets 600 --once "$tree/sys" >/dev/null 2>&1 || fail "the simulator could not write a tree"
start_exporter slow --root="$tree/sys" --web.read-header-timeout=20ms
out=$(curl -sS -m 20 -o "$work/slow" -w '%{http_code} %{time_total}' "http://127.0.0.1:$port/metrics")
grep -q '^sanperf_session_' "$work/slow" || fail "a scrape slower than the header deadline lost its metrics: $out"
echo "scrape with a 20 ms header deadline: $out (status, seconds)"

# ---- Slow readers hold no place among the metric requests ----------------------
# Their bodies (7.5 MB, 0.9 MB gzip) wait in the exporter, unread.
"$sim" --sessions 2000 --sockets 2000 --once "$tree/big/sys" >/dev/null 2>&1 || fail "the simulator could not write a tree"
start_exporter readers --root="$tree/big/sys" --web.max-requests=4 --web.write-timeout=4s
url=http://127.0.0.1:$port/metrics
for encoding in identity gzip; do
  coproc reader { python3 "$raw" slow-read 127.0.0.2 "$port" 8 6 "${encoding/identity/}"; }
  reader_pid=$reader_PID
  pids+=("$reader_pid")
  read -r -t 40 word _ <&"${reader[0]}" || fail "the slow readers never got a response"
  honest_scrape_within 5 "$url" --compressed
  kill "$reader_pid" 2>/dev/null || true
  wait "$reader_pid" 2>/dev/null || true
done
# Held past the write timeout, a response is cut off and counted.
coproc reader { python3 "$raw" slow-read 127.0.0.2 "$port" 1 8; }
reader_pid=$reader_PID
pids+=("$reader_pid")
read -r -t 40 word _ <&"${reader[0]}" || fail "the slow reader never got a response"
sleep 6
cut=$(metric "$url" sanperf_exporter_write_timeouts_total)
[ "${cut:-0}" -ge 1 ] || fail "a response held past --web.write-timeout was not cut off"
kill "$reader_pid" 2>/dev/null || true

# ---- Malformed requests: a 4xx or a close in time, and service goes on ---------
python3 "$raw" malformed 127.0.0.2 "$port" 3 || fail "a malformed request was mishandled"
python3 "$raw" strict 127.0.0.2 "$port" || fail "a request RFC 9112 refuses was not refused once, or one it allows was"
honest_scrape_within 1 "$url"
curl -sS -o "$work/nul" "http://127.0.0.1:$port/metrics%00"
! grep -q '^sanperf_' "$work/nul" || fail "/metrics%00 served the metrics"

# ---- Client certificates: demanded in the handshake ------------------------------
(
  cd "$work"
  ec=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
  for ca in first-ca second-ca; do
    openssl req -x509 "${ec[@]}" -days 2 -subj "/CN=$ca" -keyout "$ca.key" -out "$ca.pem"
  done
  openssl req "${ec[@]}" -subj /CN=localhost -keyout server.key -out server.csr
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >server.ext
  openssl x509 -req -in server.csr -CA first-ca.pem -CAkey first-ca.key -CAcreateserial -days 2 \
    -extfile server.ext -out server.pem
  openssl req "${ec[@]}" -subj /CN=prometheus -keyout client.key -out client.csr
  openssl x509 -req -in client.csr -CA first-ca.pem -CAkey first-ca.key -CAcreateserial -days 2 -out client.pem
) >/dev/null 2>&1 || fail "openssl could not make the certificates"
mtls() {  # CA-FILE CERT-FILE
  printf 'tls_server_config:\n  cert_file: %s\n  key_file: server.key\n  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: %s\n' \
    "$2" "$1" >"$work/mtls.yml"
}
mtls first-ca.pem server.pem
start_exporter mtls --web.config.file="$work/mtls.yml" "${quiet[@]}"
url=https://localhost:$port/metrics
client=(--cacert "$work/first-ca.pem" --cert "$work/client.pem" --key "$work/client.key")
python3 "$raw" tls-without-cert 127.0.0.2 "$port" 300 1 || fail "a handshake without a certificate held on"
honest_scrape_within 1 "$url" "${client[@]}"

# The CA names the handshake sends follow a reload.
ca_names() {
  openssl s_client -connect "127.0.0.1:$port" </dev/null 2>/dev/null |
    sed -n '/Acceptable client certificate CA names/{n;p}'
}
[ "$(ca_names)" = "CN = first-ca" ] || fail "CA names at start: $(ca_names)"
mtls second-ca.pem server.pem
kill -HUP "${exporter_pid[mtls]}"
wait_for_log mtls 'reloaded'
[ "$(ca_names)" = "CN = second-ca" ] || fail "CA names after the reload: $(ca_names)"

# Memory over 1,000 reloads, with handshakes holding some of them meanwhile.
rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/${exporter_pid[mtls]}/status"; }
mtls first-ca.pem server.pem
for _ in 1 2 3 4 5; do kill -HUP "${exporter_pid[mtls]}"; sleep 0.05; done
honest_scrape_within 1 "$url" "${client[@]}"
before=$(rss_kib)
python3 "$here/support/sighup_many.py" "${exporter_pid[mtls]}" "$work/mtls.log" 1000 ||
  fail "1,000 reloads did not all happen"
honest_scrape_within 1 "$url" "${client[@]}"
after=$(rss_kib)
echo "RSS over 1,000 reloads: $before KiB -> $after KiB"
# AddressSanitizer holds freed memory back in quarantine: the bound is for
# builds without it.
if ! ldd "$exporter" | grep -q libasan; then
  [ $((after - before)) -le 2048 ] || fail "RSS grew from $before to $after KiB over 1,000 reloads"
fi

# A reload naming a FIFO is refused, and a stop right after is prompt.
mkfifo "$work/fifo.pem"
mtls first-ca.pem fifo.pem
kill -HUP "${exporter_pid[mtls]}"
wait_for_log mtls 'fifo.pem is not a regular file'
honest_scrape_within 1 "$url" "${client[@]}"
stop_within_5s mtls TERM

# ---- Handshakes that stop halfway cost no CPU while they wait ------------------
# cpu_percent PID SECONDS: the process's CPU over the next SECONDS, in percent
# of one core.
cpu_percent() {
  local before after
  before=$(awk '{ print $14 + $15 }' "/proc/$1/stat")
  sleep "$2"
  after=$(awk '{ print $14 + $15 }' "/proc/$1/stat")
  echo $(((after - before) * 100 / $2 / $(getconf CLK_TCK)))
}
printf 'tls_server_config:\n  cert_file: server.pem\n  key_file: server.key\n' >"$work/tls.yml"
start_exporter stall --web.config.file="$work/tls.yml" "${quiet[@]}"
url=https://localhost:$port/metrics
idle=$(cpu_percent "${exporter_pid[stall]}" 2)
for how in partial full; do
  coproc staller { python3 "$raw" stall-tls 127.0.0.2 "$port" 8 6 "$how"; }
  staller_pid=$staller_PID
  pids+=("$staller_pid")
  read -r -t 10 word _ <&"${staller[0]}" || fail "the stalled handshakes never opened"
  sleep 0.5
  stalled=$(cpu_percent "${exporter_pid[stall]}" 3)
  echo "exporter CPU: $idle% idle, $stalled% with 8 handshakes stalled after a $how ClientHello"
  # A connection that spins takes a core, or all it can get of one.
  [ "$stalled" -le 5 ] || fail "8 stalled handshakes ($how ClientHello) took $stalled% CPU"
  honest_scrape_within 1 "$url" --cacert "$work/first-ca.pem"
  kill "$staller_pid" 2>/dev/null || true
  wait "$staller_pid" 2>/dev/null || true
done
stop_within_5s stall TERM
# ---- An honest client always gets in: reserved sources, one IPv6 /64 -----------
# The small table of the crowd above: 272 places, 17 a client.
exporter=$work/small-table
# With the scrapers' network reserved, 17 places are theirs: the crowd fills
# the rest, and the scraper takes a kept place without closing anything.
start_exporter reserved --web.reserved-sources=127.0.0.1/32,fd00:0:0:2::/64 "${quiet[@]}"
url=http://127.0.0.1:$port/metrics
# bash unsets crowd_PID when the coprocess ends: kept.
coproc crowd { exec python3 "$raw" busy 127.0.0.2 "$port" 20 14 2 8; }
crowd_pid=$crowd_PID
pids+=("$crowd_pid")
read -r -t 30 word held <&"${crowd[0]}" || fail "the crowd never opened"
for _ in 1 2 3; do honest_scrape_within 2 "$url"; done
admitted=$(metric "$url" sanperf_exporter_connections_reserved_total)
[ "${admitted:-0}" -ge 1 ] || fail "honest scrapes into a crowded table took no reserved place"
unreserved=$(metric "$url" 'sanperf_exporter_connections_refused_total{reason="unreserved"}')
[ "${unreserved:-0}" -ge 1 ] || fail "the crowd was never kept out of the reserved places"
kill "$crowd_pid" 2>/dev/null || true
stop_within_5s reserved TERM

# Twenty addresses of one IPv6 /64 are one client: held to one share, they
# keep nobody out. Loopback has ::1 alone, so the addresses live in a
# network namespace of this test's own, where every command runs.
unshare --net sleep 600 &
netns=$!
pids+=($netns)
in_netns() { nsenter --net="/proc/$netns/ns/net" "$@"; }
for _ in $(seq 50); do [ "$(readlink "/proc/$netns/ns/net")" != "$(readlink /proc/self/ns/net)" ] && break; sleep 0.1; done
in_netns ip link set lo up
in_netns ip -6 addr add fd00:0:0:2::1/64 dev lo nodad
for i in $(seq 2 21); do in_netns ip -6 addr add "fd00:0:0:1::$i/64" dev lo nodad; done
printf '#!/bin/sh\nulimit -n 400\nexec nsenter --net=/proc/%s/ns/net "%s" "$@"\n' "$netns" "$exporter_itself" >"$work/netns-table"
chmod +x "$work/netns-table"
exporter=$work/netns-table
start_exporter slash64 --web.listen-address=[::1]:9748 "${quiet[@]}"
exporter=$exporter_itself
coproc crowd { exec nsenter --net="/proc/$netns/ns/net" python3 "$raw" busy fd00:0:0:1::2 9748 20 14 2 8; }
crowd_pid=$crowd_PID
pids+=("$crowd_pid")
read -r -t 30 word held <&"${crowd[0]}" || fail "the /64 crowd never opened"
v6_status=$(in_netns curl -sS --interface fd00:0:0:2::1 -m 10 -o /dev/null -w '%{http_code}' \
  'http://[::1]:9748/metrics') || fail "honest IPv6 scrape failed"
[ "$v6_status" = 200 ] || fail "honest IPv6 scrape beside one /64's flood: $v6_status"
refused=$(in_netns curl -sS 'http://[::1]:9748/metrics' |
  awk '$1 == "sanperf_exporter_connections_refused_total{reason=\"per_source\"}" { print $2 }')
# 280 connections from the /64 against a share of 17.
[ "${refused:-0}" -ge 250 ] || fail "one /64's 280 connections: $refused refused, wanted all beyond 17"
kill "$crowd_pid" 2>/dev/null || true
stop_within_5s slash64 TERM
kill "$netns" 2>/dev/null || true
# ---- A connection's memory holds any honest request's head ---------------------
start_exporter heads "${quiet[@]}"
query=$(python3 -c 'print("&".join(["collect[]=sessions"] * 64))')
for size in 8000 12000; do
  code=$(curl -sS --interface 127.0.0.1 -o /dev/null -w '%{http_code}' -H 'Accept-Encoding: gzip' \
    -H "Authorization: Basic $(head -c "$size" /dev/zero | tr '\0' a)" \
    "http://127.0.0.1:$port/-/healthy?$query") || true
  want=$([ "$size" = 8000 ] && echo 200 || echo 431)
  [ "$code" = "$want" ] || fail "64 query parameters and a $size-byte Authorization header: $code, wanted $want"
done
stop_within_5s heads TERM
# ---- Memory a flood took is handed back once it is over ------------------------
# 3,000 connections from 20 addresses, each asking for /-/healthy now and
# then; once they are gone, the resident size comes back down most of the
# way to where it was before.
start_exporter drain "${quiet[@]}"
rss_of() { awk '/^VmRSS/ { print $2 }' "/proc/${exporter_pid[drain]}/status"; }
before=$(rss_of)
coproc crowd { exec python3 "$raw" busy 127.0.0.2 "$port" 20 150 1 5; }
crowd_pid=$crowd_PID
pids+=("$crowd_pid")
read -r -t 60 word held <&"${crowd[0]}" || fail "the flood never opened"
sleep 2  # every connection has asked at least once
peak=$(rss_of)
wait "$crowd_pid" 2>/dev/null || true
for _ in $(seq 100); do
  [ "$(ls "/proc/${exporter_pid[drain]}/fd" | wc -l)" -lt 100 ] && break
  sleep 0.1
done
sleep 1
after=$(rss_of)
echo "RSS around a flood of $held connections: $before KiB before, $peak KiB during, $after KiB after"
# The sanitizers' allocators keep freed memory to themselves.
if ! ldd "$exporter" | grep -Eq 'libasan|libtsan'; then
  [ $((after - before)) -le $(((peak - before) / 3)) ] ||
    fail "RSS $after KiB after a flood, against $before before and $peak during"
fi
stop_within_5s drain TERM


# ---- TLS handshakes cost the attacker, not the honest client --------------------
tls_clients=$here/support/tls_clients.py
# Self-signed certificates: junk.pem of 5,000 names, 105 KB (DER), for a
# client, within GnuTLS's own bound of 128 KB; big.pem of 1,000 long names,
# 200 KB, for a server, more than the sockets' buffers take at once.
"$here/support/many_names.sh" "$work/junk" 5000 'j%05d.example.test' || fail "openssl could not make the junk certificate"
long=$(printf '%060d' 0)
"$here/support/many_names.sh" "$work/big" 1000 "big-%05d.$long.$long.$long.example" || fail "openssl could not make the big certificate"

# Over its rate, a client's connections are closed as they are accepted;
# another client's handshakes go on. Ten at once, then one every 6 s: the
# thirty below are done long before that adds more than two, however slow
# the build.
start_exporter rate --web.config.file="$work/tls.yml" --web.tls-handshake-rate=10/1m "${quiet[@]}"
url=https://localhost:$port/metrics
python3 "$tls_clients" handshakes 127.0.0.2 "$port" 30 >"$work/rate.out"
read -r _ answered _ refused <"$work/rate.out"
[ "$answered" -le 12 ] && [ "$refused" -ge 18 ] || fail "30 handshakes at a rate of 10: $(cat "$work/rate.out")"
honest_scrape_within 1 "$url" --cacert "$work/first-ca.pem"
refused=$(curl -sS --cacert "$work/first-ca.pem" "$url" |
  awk '$1 == "sanperf_exporter_connections_refused_total{reason=\"handshake_rate\"}" { print $2 }')
[ "${refused:-0}" -ge 18 ] || fail "handshakes over the rate counted: $refused, wanted 18 or more"

# X25519 first: a client offering a key share for it alone (as Go's does)
# is not asked to send its ClientHello again (a HelloRetryRequest).
openssl s_client -connect "127.0.0.1:$port" -groups X25519:P-256 -msg </dev/null >"$work/hello.out" 2>&1 || true
hellos=$(grep -c '^>>> .*ClientHello' "$work/hello.out" || true)
grep -q 'Server Temp Key: X25519' "$work/hello.out" && [ "$hellos" = 1 ] ||
  fail "X25519 offered first: $hellos ClientHello sent, $(grep 'Server Temp Key' "$work/hello.out")"
stop_within_5s rate TERM

# With client certificates required, a returning client resumes its session
# from a ticket and is still verified on every request; a reload makes a
# new ticket key. A junk certificate is refused.
mtls first-ca.pem server.pem
start_exporter tickets --web.config.file="$work/mtls.yml" "${quiet[@]}"
url=https://localhost:$port/metrics
out=$(python3 "$tls_clients" resumed 127.0.0.1 "$port" "$work/client.pem" "$work/client.key")
[ "$out" = "resumed yes status 200" ] || fail "a session ticket with a client certificate: $out"
out=$(python3 "$tls_clients" resumed 127.0.0.1 "$port" "$work/client.pem" "$work/client.key" \
  "${exporter_pid[tickets]}" "$work/tickets.log")
[ "$out" = "resumed no status 200" ] || fail "a session ticket across a reload: $out"
out=$(python3 "$tls_clients" handshakes 127.0.0.2 "$port" 3 "$work/junk.pem" "$work/junk.key")
[ "$out" = "answered 0 refused 3" ] || fail "handshakes with a junk certificate: $out"
honest_scrape_within 1 "$url" "${client[@]}"
stop_within_5s tickets TERM

# A handshake whose client stops reading during the server's flight (its
# certificate of 200 KB, far beyond a small receive window) costs no CPU
# while it waits either.
printf 'tls_server_config:\n  cert_file: big.pem\n  key_file: big.key\n' >"$work/big.yml"
start_exporter big --web.config.file="$work/big.yml" "${quiet[@]}"
coproc staller { python3 "$tls_clients" stall-write 127.0.0.2 "$port" 8 6; }
pids+=($!)
read -r -t 10 word _ <&"${staller[0]}" || fail "the unread handshakes never opened"
sleep 0.5
stalled=$(cpu_percent "${exporter_pid[big]}" 3)
echo "exporter CPU with 8 handshakes stalled on the server's flight: $stalled%"
[ "$stalled" -le 5 ] || fail "8 handshakes stalled on a write took $stalled% CPU"
kill "$staller_PID" 2>/dev/null || true
stop_within_5s big TERM

# ---- Reads are shared, and cannot be bought ---------------------------------------
# Slow readers arriving one after another, each once the last one's body is
# ready: their responses hold about two bodies between them, not one each.
start_exporter shared --root="$tree/big/sys"
url=http://127.0.0.1:$port/metrics
body=$(curl -sS "$url" | wc -c)
rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/${exporter_pid[shared]}/status"; }
before=$(rss_kib)
for i in 1 2 3 4 5 6 7 8; do
  python3 "$raw" slow-read 127.0.0.2 "$port" 1 30 >"$work/staggered$i" &
  pids+=($!)
  for _ in $(seq 200); do grep -q asked "$work/staggered$i" && break; sleep 0.1; done
  grep -q asked "$work/staggered$i" || fail "slow reader $i never got a response"
done
after=$(rss_kib)
echo "RSS under 8 staggered slow readers: $before KiB -> $after KiB, one body $((body / 1024)) KiB"
if ! ldd "$exporter" | grep -Eq 'libasan|libtsan'; then
  [ $(((after - before) * 1024)) -le $((3 * body)) ] ||
    fail "8 slow readers took RSS from $before to $after KiB, more than 3 bodies of $body bytes"
fi
# A client cycling collect[] and Accept-Encoding as fast as it can makes a
# few reads and compressions, not one a request.
reads_then=$(metric "$url" sanperf_exporter_tree_reads_total)
gzips_then=$(metric "$url" sanperf_exporter_gzip_compressions_total)
start=$(date +%s)
python3 - "$port" <<'EOF' || fail "the cache-busting client was not answered 200"
import concurrent.futures, http.client, itertools, sys
port = int(sys.argv[1])
sets = ["", "?collect[]=disk-queues", "?collect[]=sessions", "?collect[]=sockets",
        "?collect[]=sessions&collect[]=sockets", "?collect[]=disk-queues&collect[]=sessions"]
asks = list(itertools.islice(itertools.cycle(itertools.product(sets, ["gzip", "identity"])), 120))
def worker(chunk):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=30, source_address=("127.0.0.2", 0))
    for query, encoding in chunk:
        c.request("GET", "/metrics" + query, headers={"Accept-Encoding": encoding})
        r = c.getresponse()
        r.read()
        if r.status != 200:
            sys.exit(f"{query} {encoding}: {r.status}")
with concurrent.futures.ThreadPoolExecutor(4) as pool:
    list(pool.map(worker, [asks[i::4] for i in range(4)]))
EOF
elapsed=$(($(date +%s) - start + 1))
reads=$(($(metric "$url" sanperf_exporter_tree_reads_total) - reads_then))
gzips=$(($(metric "$url" sanperf_exporter_gzip_compressions_total) - gzips_then))
echo "120 cache-busting requests in about $elapsed s: $reads reads, $gzips gzip compressions"
# A burst of 10 reads, then one a second, and one gzip form a read or a
# read's worth; the honest counts above add one read each.
[ "$reads" -le $((10 + elapsed + 2)) ] || fail "120 cache-busting requests made $reads reads"
[ "$gzips" -le $((reads + 10 + elapsed)) ] || fail "120 cache-busting requests made $gzips compressions"
honest_scrape_within 5 "$url" --compressed
echo "PASS"
