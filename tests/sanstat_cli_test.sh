#!/usr/bin/env bash
# Runs the sanstat program on a fixture tree read through --root: exit codes,
# usage errors, the output formats, --write and signals.
# Usage: sanstat_cli_test.sh SANSTAT [PROMTOOL]
# Without PROMTOOL the Prometheus check is skipped, except under CI=true,
# where it fails.
set -uo pipefail
sanstat=$1
promtool=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# The fixture: one disk queue, session 7, socket 3.
tree=$work/tree
mkdir -p "$tree/disk_queue/disk1_0" "$tree/session/session7" "$tree/sock/sock3"
echo "10 20 3 1 500 90 20" >"$tree/disk_queue/disk1_0/async_handler_task_perf_stats"
echo "0 0 0 4294967295 0 0 4294967295" >"$tree/disk_queue/disk1_0/async_processing_perf_stats"
echo 4 >"$tree/disk_queue/disk1_0/max_num_active"
echo 7 >"$tree/session/session7/id"
echo 1234 >"$tree/session/session7/lba"
echo "5 0 0 0 50 20 5" >"$tree/session/session7/read_perf_stats"
echo "9223372036854775807 0 0 0 9223372036854775807 8 1" >"$tree/session/session7/write_perf_stats"
for slot in aio_read aio_write perform_io_read perform_io_write post_read post_write \
  queue_modify_tx_offset queue_modify_rx_offset socket_read socket_write wait_for_space \
  wait_until_data_available; do
  echo "2 0 0 0 30 20 10" >"$tree/sock/sock3/${slot}_stats"
done

# expect CODE DESCRIPTION -- ARGS...: runs sanstat, output in $work/out, $work/err.
expect() {
  local want=$1 what=$2
  shift 3
  "$sanstat" "$@" >"$work/out" 2>"$work/err"
  local got=$?
  [ "$got" -eq "$want" ] || fail "$what: exit $got, expected $want ($(head -1 "$work/err"))"
}

# Usage errors: one line naming the problem, then the usage, on stderr only.
for args in "--bogus" "0" "-1" "abc" "nan" "1 0" "1 x" "1 2 3" "-o xml" "--session x" "--socket -1"; do
  # shellcheck disable=SC2086
  expect 2 "usage error '$args'" -- --root "$tree" $args
  [ -s "$work/out" ] && fail "usage error '$args' wrote to stdout"
  grep -q '^sanstat: ' <(head -1 "$work/err") || fail "usage error '$args': no message line"
  grep -q '^usage: sanstat' "$work/err" || fail "usage error '$args': no usage"
done

expect 0 "--help" -- --help
grep -q 'interval' "$work/out" || fail "--help does not describe interval"
expect 0 "--version" -- --version
grep -qx 'sanstat 1.0.0' "$work/out" || fail "--version printed '$(cat "$work/out")'"

# --root: the fixture is what is read.
expect 0 "table" -- --root "$tree"
grep -q '^disk1_0 ' "$work/out" || fail "table: no disk1_0 row"
grep -q '^7 .*1234' "$work/out" || fail "table: no row for session 7"
grep -q '^3 .*aio_read' "$work/out" || fail "table: no row for socket 3"
expect 1 "missing root" -- --root "$work/nowhere"
[ "$(wc -l <"$work/err")" -eq 1 ] || fail "missing root: not one line on stderr"
[ -s "$work/out" ] && fail "missing root wrote a report"

# Filters and blocks.
expect 0 "session filter" -- --root "$tree" -o json --session 7
grep -q '"sessions":\[{"id":7' "$work/out" || fail "--session 7 did not keep session 7"
grep -q 'disk_queues\|sockets' "$work/out" && fail "--session alone showed other blocks"
expect 0 "session filter, none matching" -- --root "$tree" -o json -s --session 8
grep -q '"sessions":\[\]' "$work/out" || fail "--session 8 kept something"

# JSON Lines: one document per report; the interval ones carry rates.
expect 0 "json lines" -- --root "$tree" -o json 0.1 3
[ "$(wc -l <"$work/out")" -eq 3 ] || fail "json: $(wc -l <"$work/out") lines for 3 reports"
sed -n 1p "$work/out" | grep -q '"interval":null' || fail "json: first report is not totals"
sed -n 2p "$work/out" | grep -q '"interval":0\.[0-9]' || fail "json: second report has no interval"
sed -n 2p "$work/out" | grep -q '"read_samples":0,.*"read_samples_per_second":0\.0' ||
  fail "json: second report does not show an idle interval"
grep -q '"write_samples":9223372036854775807' "$work/out" || fail "json: 64-bit value not whole"

# Prometheus, checked by promtool.
expect 0 "prometheus" -- --root "$tree" -o prometheus
if [ -n "$promtool" ]; then
  "$promtool" check metrics <"$work/out" >"$work/lint" 2>&1 ||
    fail "promtool rejects the output: $(cat "$work/lint")"
  [ -s "$work/lint" ] && fail "promtool warns: $(cat "$work/lint")"
elif [ "${CI:-}" = true ]; then
  fail "promtool is not available under CI"
else
  echo "SKIP: Prometheus output not checked: no promtool (scripts/get-promtool.sh fetches it)"
fi

# --write: readers only ever see a whole report, and the file is replaced by
# rename (a new inode), never rewritten in place.
target=$work/out.prom
expect 0 "write once" -- --root "$tree" -o prometheus --write "$target"
whole=$(wc -l <"$target")
# Held open, the first file's inode cannot be reused by a later one.
exec 3<"$target"
first_inode=$(stat -c %i "$target")
"$sanstat" --root "$tree" -o prometheus --write "$target" 0.005 400 &
writer=$!
reads=0
while kill -0 "$writer" 2>/dev/null; do
  lines=$(wc -l <"$target")
  [ "$lines" -eq "$whole" ] || { fail "--write: a reader saw $lines lines of $whole"; break; }
  reads=$((reads + 1))
done
wait "$writer" || fail "--write in interval mode failed"
[ "$(stat -c %i "$target")" != "$first_inode" ] || fail "--write did not replace the file"
[ "$(wc -l <&3)" -eq "$whole" ] || fail "--write changed the replaced file"
exec 3<&-
leftovers=$(find "$work" -maxdepth 1 -name '.out.prom.*' | wc -l)
[ "$leftovers" -eq 0 ] || fail "--write left $leftovers temporary files"
expect 1 "write into a missing directory" -- --root "$tree" --write "$work/none/x.prom"
[ "$(wc -l <"$work/err")" -eq 1 ] || fail "--write failure: not one line on stderr"
echo "--write: $reads reads during 400 replacements, all whole"

# SIGINT and SIGTERM end interval mode after the current report, exit 0.
for sig in TERM INT; do
  # Signalled once its first report is out, so it runs with its signals set.
  rm -f "$work/sig"
  "$sanstat" --root "$tree" -o json 0.2 >"$work/sig" 2>&1 &
  pid=$!
  until [ -s "$work/sig" ]; do sleep 0.05; done
  kill -"$sig" "$pid"
  wait "$pid"
  rc=$?
  [ "$rc" -eq 0 ] || fail "SIG$sig: exit $rc"
  grep -qv '}$' "$work/sig" && fail "SIG$sig: a report was cut short"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "all sanstat command line checks passed"
