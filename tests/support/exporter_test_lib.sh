# Shell helpers of the exporter's tests: a scratch directory, processes
# cleaned up on exit, an exporter on a free loopback port, HTTP checks, a
# real Prometheus server. The sourcing script sets $exporter (and $promdir
# for the Prometheus helpers).

work=$(mktemp -d)
pids=()
declare -A exporter_pid
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/*.log; do
    [ -f "$log" ] && { echo "--- $log" >&2; tail -20 "$log" >&2; }
  done
  exit 1
}

wait_for_file() {
  for _ in $(seq 200); do [ -e "$1" ] && return 0; sleep 0.05; done
  fail "$1 never appeared"
}

# wait_for_log NAME PATTERN: $work/NAME.log has a line matching PATTERN
# within 5 seconds.
wait_for_log() {
  for _ in $(seq 100); do grep -q "$2" "$work/$1.log" && return 0; sleep 0.05; done
  fail "no '$2' in $1.log"
}

# A port nobody listens on now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_exporter NAME ARGS...: an exporter on port 0 of loopback, logging to
# $work/NAME.log; sets $port to the port it chose.
start_exporter() {
  local name=$1
  shift
  "$exporter" --web.listen-address=127.0.0.1:0 "$@" 2>"$work/$name.log" &
  exporter_pid[$name]=$!
  pids+=($!)
  for _ in $(seq 200); do
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/$name.log" 2>/dev/null || true)
    [ -n "$port" ] && return 0
    kill -0 "${exporter_pid[$name]}" 2>/dev/null || fail "exporter $name did not start"
    sleep 0.05
  done
  fail "exporter $name never said where it listens"
}

# status_is HEADERS CODE: the first status line of a curl -D dump.
status_is() {
  head -1 "$1" | grep -q "^HTTP/1.1 $2 " || fail "expected $2, got $(head -1 "$1")"
}

# wait_for_query API QUERY: true once the instant query returns a sample,
# within 30 seconds.
wait_for_query() {
  for _ in $(seq 120); do
    if curl -sS "$1" --data-urlencode "query=$2" 2>/dev/null |
      python3 -c 'import json, sys; sys.exit(0 if json.load(sys.stdin)["data"]["result"] else 1)' 2>/dev/null; then
      return 0
    fi
    sleep 0.25
  done
  return 1
}

# stop_within_5s NAME SIGNAL: the exporter exits 0 within 5 seconds.
stop_within_5s() {
  local start
  start=$(date +%s%N)
  kill -"$2" "${exporter_pid[$1]}"
  exited_within_5s "$@" "$start"
}

# exited_within_5s NAME SIGNAL START: the exporter, sent SIGNAL at START
# (date +%s%N), exits 0 within 5 seconds of it.
exited_within_5s() {
  local rc=0
  wait "${exporter_pid[$1]}" || rc=$?
  local ms=$((($(date +%s%N) - $3) / 1000000))
  [ "$rc" -eq 0 ] || fail "SIG$2 gave exit code $rc"
  [ "$ms" -lt 5000 ] || fail "SIG$2 took $ms ms"
  grep -q 'stopped' "$work/$1.log" || fail "no shutdown line in the log"
}

# need_prometheus PROGRAM...: each PROGRAM is in $promdir, or the test is
# skipped (exit 77); under CI=true it fails instead, as CI must run it.
need_prometheus() {
  local program
  for program in "$@"; do
    [ -n "$promdir" ] && [ -x "$promdir/$program" ] && continue
    echo "SKIP: no $* (scripts/get-prometheus.sh DIR, then -DPROMETHEUS_DIR=DIR)"
    [ "${CI:-}" = true ] && exit 1
    exit 77
  done
}

# start_prometheus: a Prometheus server on a free loopback port, configured
# by the YAML on standard input; sets $prom_api to its instant-query URL.
start_prometheus() {
  local prom_port
  prom_port=$(free_port)
  cat >"$work/prometheus.yml"
  "$promdir/prometheus" --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
    --web.listen-address="127.0.0.1:$prom_port" --log.level=warn 2>"$work/prometheus.log" &
  pids+=($!)
  prom_api=http://127.0.0.1:$prom_port/api/v1/query
}
