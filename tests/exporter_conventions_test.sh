#!/usr/bin/env bash
# sanperf_exporter's conventions shared with other Prometheus exporters:
# log lines and their rate limit under a flood, /-/healthy and /-/ready,
# collect[] filtering, the per-collector metrics, --collector.disable-defaults,
# --web.disable-exporter-metrics, build_info, socket activation with
# systemd-socket-activate, and --help. Needs root (--root) and python3.
# Usage: exporter_conventions_test.sh EXPORTER SIMULATOR
set -euo pipefail
exporter=$1
sim=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=support/exporter_test_lib.sh
. "$here/support/exporter_test_lib.sh"

"$sim" "$work/tree" --sessions 5 --sockets 5 --interval 1000 >/dev/null 2>"$work/sim.log" &
pids+=($!)
wait_for_file "$work/tree/session/session5"

# ---- --help: no CLI11 type or validator notes, each default once --------------
"$exporter" --help >"$work/help"
! grep -nE '\{(true|false)\}|:UINT|:INT|:TEXT| in \[[0-9]' "$work/help" || fail "--help shows CLI11 notes"
# The default ends the option's description, wrapped as it may be.
sed -n '/^  --web.max-requests=N /,/^  -/p' "$work/help" | grep -q '(default 40)$' ||
  fail "--help: max-requests default"
[ "$(grep -c 'default 40' "$work/help")" -eq 1 ] || fail "--help shows a default twice"

# ---- Log lines: logfmt by default, JSON, and the least level ------------------
start_exporter main --root="$work/tree"
url=http://127.0.0.1:$port
grep -qE '^ts=20[0-9-]{8}T[0-9:]{8}\.[0-9]{3}Z level=info msg="sanperf_exporter listening on 127\.0\.0\.1:[0-9]+" version=' \
  "$work/main.log" || fail "start-up line: $(head -1 "$work/main.log")"
start_exporter json --root="$work/tree" --log.format=json
head -1 "$work/json.log" | python3 -c '
import json, sys
line = json.loads(sys.stdin.readline())
assert line["level"] == "info" and line["ts"].endswith("Z") and "listening on" in line["msg"], line
' || fail "JSON start-up line: $(head -1 "$work/json.log")"
# Below the least level nothing is written; at it, the failure is.
"$exporter" --log.level=warn --root="$work/tree" --web.listen-address=127.0.0.1:0 2>"$work/warn.log" &
warn_pid=$!
pids+=($warn_pid)
sleep 0.5
kill -TERM "$warn_pid"
wait "$warn_pid" || fail "the exporter at --log.level=warn did not stop cleanly"
[ ! -s "$work/warn.log" ] || fail "info lines at --log.level=warn: $(cat "$work/warn.log")"
"$exporter" --log.level=error --root="$work/tree" --web.listen-address="127.0.0.1:$port" 2>"$work/error.log" &&
  fail "listened on a port in use"
grep -q '^ts=.* level=error msg="cannot listen"' "$work/error.log" || fail "no error line: $(cat "$work/error.log")"
"$exporter" --log.level=loud 2>/dev/null && fail "--log.level=loud was taken"

# ---- /-/healthy and /-/ready --------------------------------------------------
curl -sS -D "$work/h" -o /dev/null "$url/-/healthy"
status_is "$work/h" 200
curl -sS -D "$work/h" -o /dev/null "$url/-/ready"
status_is "$work/h" 200
mkdir "$work/empty"
start_exporter empty --root="$work/empty"
curl -sS -D "$work/h" -o /dev/null "http://127.0.0.1:$port/-/healthy"
status_is "$work/h" 200
curl -sS -D "$work/h" -o /dev/null "http://127.0.0.1:$port/-/ready"
status_is "$work/h" 503
curl -sS -o "$work/body" "http://127.0.0.1:$port/metrics"
grep -qx 'sanperf_scrape_collector_success{collector="sessions"} 0' "$work/body" ||
  fail "a missing block is a success"
# --root follows its directory: removed and made again, it is read.
rm -rf "$work/empty"
"$sim" "$work/empty" --once --sessions 2 --sockets 0
curl -sS -D "$work/h" -o "$work/body" "http://127.0.0.1:$port/-/ready"
status_is "$work/h" 200
curl -sS -o "$work/body" "http://127.0.0.1:$port/metrics"
grep -qx 'sanperf_up 1' "$work/body" || fail "a re-created root is not read"

# ---- collect[] and the per-collector metrics ------------------------------------
families() { grep -o '^# TYPE sanperf_[a-z_]*_samples_total' "$work/body" | cut -d' ' -f3 | tr '\n' ' '; }
curl -sS -o "$work/body" "$url/metrics"
[ "$(families)" = "sanperf_disk_queue_samples_total sanperf_session_samples_total sanperf_socket_samples_total " ] ||
  fail "a full scrape has $(families)"
for c in disk-queues sessions sockets; do
  grep -qx "sanperf_scrape_collector_success{collector=\"$c\"} 1" "$work/body" || fail "no success for $c"
  grep -q "^sanperf_scrape_collector_duration_seconds{collector=\"$c\"} [0-9.e-]*$" "$work/body" ||
    fail "no duration for $c"
done
curl -sS -o "$work/body" "$url/metrics?collect%5B%5D=sessions&collect[]=sockets"
[ "$(families)" = "sanperf_session_samples_total sanperf_socket_samples_total " ] ||
  fail "collect[]=sessions,sockets gave $(families)"
! grep -q 'collector="disk-queues"' "$work/body" || fail "a collector left out still reports"
grep -q '^process_resident_memory_bytes ' "$work/body" || fail "collect[] dropped the process metrics"
curl -sS -D "$work/h" -o "$work/body" "$url/metrics?collect[]=sessions&collect[]=cpu"
status_is "$work/h" 400
grep -qx 'unknown collector: cpu' "$work/body" || fail "400 does not name the collector: $(cat "$work/body")"

# Concurrent scrapes for different collectors each get their own.
curls=()
for i in 1 2 3 4; do
  if [ $((i % 2)) -eq 0 ]; then c=sessions; else c=sockets; fi
  curl -sS -o "$work/c$i" "$url/metrics?collect[]=$c" &
  curls+=($!)
done
for pid in "${curls[@]}"; do wait "$pid" || fail "a concurrent scrape failed"; done
for i in 1 2 3 4; do
  if [ $((i % 2)) -eq 0 ]; then want=session; other=socket; else want=socket; other=session; fi
  grep -q "^# TYPE sanperf_${want}_samples_total" "$work/c$i" || fail "concurrent scrape $i lacks $want"
  ! grep -q "^# TYPE sanperf_${other}_samples_total" "$work/c$i" || fail "concurrent scrape $i has $other"
done

# ---- --collector.disable-defaults and --web.disable-exporter-metrics -----------
start_exporter few --root="$work/tree" --collector.disable-defaults --collector.sockets \
  --web.disable-exporter-metrics
curl -sS -o "$work/body" "http://127.0.0.1:$port/metrics"
[ "$(families)" = "sanperf_socket_samples_total " ] || fail "disable-defaults left $(families)"
! grep -qE '^(# TYPE )?(process_|sanperf_exporter_)' "$work/body" || fail "exporter metrics not disabled"
grep -qx 'sanperf_up 1' "$work/body" || fail "sanperf_up went with the exporter metrics"
curl -sS -D "$work/h" -o "$work/body" "http://127.0.0.1:$port/metrics?collect[]=sessions"
status_is "$work/h" 400
grep -qx 'disabled collector: sessions' "$work/body" || fail "400 for a disabled collector: $(cat "$work/body")"

# ---- build_info -----------------------------------------------------------------
curl -sS -o "$work/body" "$url/metrics"
grep -qE '^sanperf_exporter_build_info\{version="[0-9.]+",revision="([0-9a-f]{40}|unknown)",branch="[^"]+",compiler="(gcc|clang) [^"]+"\} 1$' \
  "$work/body" || fail "build_info: $(grep build_info "$work/body")"

# ---- Socket activation ----------------------------------------------------------
activate=$(command -v systemd-socket-activate || true)
if [ -z "$activate" ]; then
  echo "SKIP part: no systemd-socket-activate (Debian package systemd)"
  [ "${CI:-}" = true ] && fail "CI must run socket activation"
else
  sa_port=$(free_port)
  "$activate" -l "127.0.0.1:$sa_port" "$exporter" --web.systemd-socket --root="$work/tree" \
    --web.listen-address=127.0.0.1:1 2>"$work/sa.log" &
  pids+=($!)
  # The exporter starts at the first connection, which waits for it.
  wait_for_log sa "Listening on 127.0.0.1:$sa_port"
  curl -sS --max-time 10 -D "$work/h" -o "$work/body" "http://127.0.0.1:$sa_port/metrics"
  status_is "$work/h" 200
  grep -qx 'sanperf_up 1' "$work/body" || fail "no metrics over the activated socket"
  grep -q 'level=info msg="sanperf_exporter listening on 127\.0\.0\.1:'"$sa_port"'"' "$work/sa.log" ||
    fail "the activated exporter does not say where it listens"
fi
"$exporter" --web.systemd-socket --root="$work/tree" 2>"$work/nosa.log" && fail "--web.systemd-socket started without sockets"
grep -q 'level=error msg="--web.systemd-socket: no sockets passed' "$work/nosa.log" || fail "no reason: $(cat "$work/nosa.log")"

# ---- A flood of plain HTTP at the TLS port writes a handful of lines -------------
(
  cd "$work"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost \
    -keyout server.key -out server.pem
) >/dev/null 2>&1 || fail "openssl could not make a certificate"
printf 'tls_server_config:\n  cert_file: server.pem\n  key_file: server.key\n' >"$work/tls.yml"
start_exporter tls --root="$work/tree" --web.config.file="$work/tls.yml"
before=$(wc -l <"$work/tls.log")
# From one attacker address, for 10 s, at most 200,000 connections.
sent=$(python3 - "$port" <<'PY'
import socket, sys, time
port = int(sys.argv[1])
end = time.monotonic() + 10
n = 0
while time.monotonic() < end and n < 200000:
    s = socket.socket()
    s.settimeout(1)
    s.bind(("127.0.0.2", 0))
    try:
        s.connect(("127.0.0.1", port))
        s.sendall(b"GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n")
        while s.recv(4096):
            pass
    except OSError:
        pass
    s.close()
    n += 1
print(n)
PY
)
sleep 1.1
lines=$(($(wc -l <"$work/tls.log") - before))
[ "$sent" -ge 1000 ] || fail "the flood sent only $sent requests"
# One line a second per kind over 10 s, and a few to spare.
[ "$lines" -le 25 ] || fail "$sent plain requests wrote $lines log lines"
grep -q ' suppressed=[0-9]' "$work/tls.log" || fail "no count of the lines left out"
echo "flood: $sent plain HTTP requests to the TLS port wrote $lines log lines"
