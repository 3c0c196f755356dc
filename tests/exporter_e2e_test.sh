#!/usr/bin/env bash
# sanperf_exporter as an operator runs it: on the tree of a simulated server
# that keeps changing, checked with curl and promtool, and scraped by a real
# Prometheus server queried over its HTTP API. Needs root (--root mounts in
# a private namespace) and python3.
# Usage: exporter_e2e_test.sh EXPORTER SIMULATOR PROMETHEUS_DIR
# PROMETHEUS_DIR holds prometheus and promtool (scripts/get-prometheus.sh).
set -euo pipefail
exporter=$1
sim=$2
promdir=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=support/exporter_test_lib.sh
. "$here/support/exporter_test_lib.sh"
need_prometheus prometheus promtool

"$sim" "$work/tree" --sessions 100 --sockets 100 --interval 2 >/dev/null 2>"$work/sim.log" &
pids+=($!)
wait_for_file "$work/tree/sock/sock100"
start_exporter main --root="$work/tree"
url=http://127.0.0.1:$port

# A real Prometheus server scraping the exporter, started now so that its
# start-up overlaps the checks below; queried at the end.
start_prometheus <<EOF
global:
  scrape_interval: 1s
  evaluation_interval: 1s
scrape_configs:
  - job_name: sanperf
    static_configs:
      - targets: ['127.0.0.1:$port']
EOF

# ---- Flags and start-up failures ------------------------------------------
set +e
"$exporter" --web.max-requests=0 >/dev/null 2>"$work/usage"
rc=$?
set -e
[ "$rc" -eq 2 ] || fail "a usage error exits $rc, not 2"
head -1 "$work/usage" | grep -q 'web.max-requests' || fail "usage error without its line: $(head -1 "$work/usage")"
grep -q '^usage: sanperf_exporter' "$work/usage" || fail "usage error without the usage"
set +e
"$exporter" --web.listen-address="127.0.0.1:$port" --root="$work/tree" 2>"$work/bind"
rc=$?
set -e
[ "$rc" -eq 1 ] || fail "listening on a port in use exits $rc, not 1"
grep -q "level=error msg=\"cannot listen\" address=127.0.0.1:$port err=\"Address already in use\"" "$work/bind" || fail "bind failure message: $(cat "$work/bind")"

# ---- Endpoints --------------------------------------------------------------
curl -sS -D "$work/h" -o "$work/body" "$url/metrics"
status_is "$work/h" 200
grep -qi '^Content-Type: text/plain; version=0.0.4; charset=utf-8' "$work/h" || fail "metrics content type"
! grep -qi '^Content-Encoding' "$work/h" || fail "compressed without Accept-Encoding"
"$promdir/promtool" check metrics <"$work/body" || fail "promtool rejects the exposition"
for family in sanperf_disk_queue_samples_total sanperf_session_samples_total \
  sanperf_socket_samples_total process_resident_memory_bytes; do
  grep -q "^# TYPE $family " "$work/body" || fail "no family $family"
done
grep -qx 'sanperf_up 1' "$work/body" || fail "sanperf_up is not 1 on a tree"
grep -q '^sanperf_exporter_build_info{version="[0-9.]*",revision="[0-9a-f]\{40\}\|unknown",branch="[^"]*",compiler="[^"]*"} 1$' "$work/body" ||
  fail "build_info: $(grep build_info "$work/body")"

curl -sS -H 'Accept-Encoding: deflate, gzip;q=0.8' -D "$work/h" -o "$work/body.gz" "$url/metrics"
grep -qi '^Content-Encoding: gzip' "$work/h" || fail "no gzip when accepted"
gzip -dc "$work/body.gz" | "$promdir/promtool" check metrics || fail "gzip body does not decompress to valid text"
curl -sS -H 'Accept-Encoding: gzip;q=0' -D "$work/h" -o /dev/null "$url/metrics"
! grep -qi '^Content-Encoding' "$work/h" || fail "gzip sent although refused with q=0"

curl -sS -I -o "$work/h" "$url/metrics"
status_is "$work/h" 200
grep -qi '^Content-Length: [1-9]' "$work/h" || fail "HEAD without the body's length"

curl -sS -D "$work/h" -o "$work/body" "$url/"
status_is "$work/h" 200
grep -q 'href="/metrics"' "$work/body" || fail "landing page without a link to /metrics"
curl -sS -D "$work/h" -o /dev/null "$url/nothing-here"
status_is "$work/h" 404
curl -sS -X POST -d x -D "$work/h" -o /dev/null "$url/metrics"
status_is "$work/h" 405
grep -qi '^Allow: GET, HEAD' "$work/h" || fail "405 without Allow"

# ---- No phantom objects under churn -----------------------------------------
# A session or socket that vanished between the listing and the read would
# show as session "0", or as counters that drop to zero for one scrape
# before the object is gone: Prometheus would read a counter reset.
# One curl, one connection: the scrapes follow each other closely.
curl -sS -o "$work/scrape.#1" "$url/metrics?scrape=[1-50]"
python3 - "$work" <<'EOF' || fail "phantom objects in 50 scrapes"
import re, sys
work = sys.argv[1]
series = re.compile(r'^sanperf_(session|socket)_samples_total\{(\w+)="(\d+)",(\w+)="(\w+)"\} (\d+)$')
scrapes = []
for i in range(1, 51):
    totals = {}
    for line in open(f"{work}/scrape.{i}"):
        m = series.match(line)
        if m:
            key = (m.group(1), m.group(3))
            totals[key] = totals.get(key, 0) + int(m.group(6))
    scrapes.append(totals)
bad = [k for s in scrapes for k in s if k == ("session", "0")]
for a, b, c in zip(scrapes, scrapes[1:], scrapes[2:]):
    for key, before in a.items():
        if before > 0 and b.get(key) == 0 and key not in c:
            bad.append(key)
if bad:
    print("phantoms:", sorted(set(bad)))
    sys.exit(1)
EOF

# ---- Sockets summed per slot, across churn -----------------------------------
start_exporter aggregate --root="$work/tree" --collector.sockets.aggregate \
  --no-collector.disk-queues --no-collector.sessions
curl -sS -o "$work/aggregate.#1" "http://127.0.0.1:$port/metrics?scrape=[1-30]"
grep -q '^sanperf_sockets [1-9]' "$work/aggregate.1" || fail "no sanperf_sockets gauge"
! grep -q '^sanperf_\(socket\|session\|disk_queue\)_' "$work/aggregate.1" ||
  fail "per-object series with the aggregate and collectors off"
python3 - "$work" <<'EOF' || fail "a socket aggregate decreased"
import re, sys
work = sys.argv[1]
line = re.compile(r'^(sanperf_sockets_\w+_total)\{slot="(\w+)"\} (\S+)$')
last = {}
for i in range(1, 31):
    for text in open(f"{work}/aggregate.{i}"):
        m = line.match(text)
        if m:
            key, value = (m.group(1), m.group(2)), float(m.group(3))
            if value < last.get(key, 0):
                print(key, "went from", last[key], "to", value, "in scrape", i)
                sys.exit(1)
            last[key] = value
if len(last) != 24:
    print("expected 2 x 12 series, got", len(last))
    sys.exit(1)
EOF

# ---- One thread or several: the same metrics -----------------------------------
# On a still tree the body is the same byte for byte, but for the exporter's
# timing and its process's figures.
"$sim" "$work/still" --once --sessions 300 --sockets 300 >/dev/null
for threads in 1 4; do
  start_exporter "threads$threads" --root="$work/still" --threads=$threads
  curl -sS "http://127.0.0.1:$port/metrics" |
    grep -v '^\(sanperf_scrape_.*duration_seconds\|process_\)' >"$work/threads$threads.prom"
done
grep -q '^sanperf_session_samples_total{session="300"' "$work/threads1.prom" ||
  fail "the still tree's sessions are not all there"
cmp -s "$work/threads1.prom" "$work/threads4.prom" ||
  fail "--threads=4 metrics differ from --threads=1: $(diff "$work/threads1.prom" "$work/threads4.prom" | head -3)"

# ---- What Prometheus saw ------------------------------------------------------
wait_for_query "$prom_api" 'up{job="sanperf"} == 1' ||
  fail "Prometheus never saw up == 1: $(tail -5 "$work/prometheus.log")"
wait_for_query "$prom_api" 'sum(rate(sanperf_session_samples_total[5s])) > 0' ||
  fail "no rate of a session counter in Prometheus"

# ---- Stopping ---------------------------------------------------------------
stop_within_5s main TERM
echo "PASS"
