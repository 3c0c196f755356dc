#!/usr/bin/env bash
# Runs the sanstat program on a fixture tree read through --root: exit codes,
# usage errors, the output formats, --write and signals; then on a big tree
# written by sanperf-sim: memory, and signals while a report is under way.
# Usage: sanstat_cli_test.sh SANSTAT SANPERF_SIM [PROMTOOL]
# Without PROMTOOL the Prometheus check is skipped, except under CI=true,
# where it fails. JSON is read back with python3.
set -uo pipefail
sanstat=$1
sim=$2
promtool=${3:-}
work=$(mktemp -d)
# The big tree goes to a tmpfs when there is one: it is 80,000 files.
big_parent=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)
trap 'rm -rf "$work" "$big_parent"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# json_ok FILE CONDITION: every line of FILE is a JSON document, and the
# Python CONDITION holds over the list of them, docs.
json_ok() {
  python3 -c '
import json, sys
docs = [json.loads(line) for line in open(sys.argv[1])]
sys.exit(0 if docs and eval(sys.argv[2]) else 1)' "$1" "$2" 2>/dev/null
}

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
# Every slot file a socket has, as the simulator writes them.
"$sim" "$work/slots" --once --sessions 0 --sockets 1 || fail "sanperf-sim cannot write a tree"
for file in "$work"/slots/sock/sock1/*; do
  echo "2 0 0 0 30 20 10" >"$tree/sock/sock3/$(basename "$file")"
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
for args in "--bogus" "0" "-1" "abc" "nan" "1 0" "1 x" "1 2 3" "-o xml" "-o 1" "-o 2" \
  "--session x" "--socket -1"; do
  # shellcheck disable=SC2086
  expect 2 "usage error '$args'" -- --root "$tree" $args
  [ -s "$work/out" ] && fail "usage error '$args' wrote to stdout"
  grep -q '^sanstat: ' <(head -1 "$work/err") || fail "usage error '$args': no message line"
  grep -q '^usage: sanstat' "$work/err" || fail "usage error '$args': no usage"
done

expect 0 "--help" -- --help
grep -q 'interval' "$work/out" || fail "--help does not describe interval"
grep -q -- '--output table|json|prometheus' "$work/out" || fail "--help does not name the formats"
grep -q -- '--write FILE' "$work/out" || fail "--help does not show --write FILE"
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

# A wrong --root, or no server: said on stderr; a one-shot run fails, an
# interval run waits for the tree, saying so once.
mkdir "$work/empty"
for root in "$work/empty" "$tree/session"; do
  expect 1 "--root $root holding no tree" -- --root "$root"
  [ -s "$work/out" ] && fail "--root $root holding no tree: wrote a report"
  [ "$(wc -l <"$work/err")" -eq 1 ] && grep -q "$root" "$work/err" ||
    fail "--root $root holding no tree: $(cat "$work/err")"
done
expect 0 "interval run on an empty root" -- --root "$work/empty" -o json 0.05 3
[ "$(grep -c 'holds no SAN server statistics' "$work/err")" -eq 1 ] ||
  fail "interval run on an empty root: warned $(wc -l <"$work/err") times"

# Filters and blocks.
expect 0 "session filter" -- --root "$tree" -o json --session 7
json_ok "$work/out" '[s["id"] for s in docs[0]["sessions"]] == [7]' ||
  fail "--session 7 did not keep session 7 alone"
json_ok "$work/out" '"disk_queues" not in docs[0] and "sockets" not in docs[0]' ||
  fail "--session alone showed other blocks"
expect 0 "session filter, none matching" -- --root "$tree" -o json -s --session 8
json_ok "$work/out" 'docs[0]["sessions"] == []' || fail "--session 8 kept something"

# JSON Lines: one document per report; the interval ones carry rates.
expect 0 "json lines" -- --root "$tree" -o json 0.1 3
json_ok "$work/out" 'len(docs) == 3' || fail "json: not 3 documents, one a line, for 3 reports"
json_ok "$work/out" 'docs[0]["interval"] is None and docs[1]["interval"] > 0' ||
  fail "json: the first report is not totals or the second has no interval"
json_ok "$work/out" '(docs[1]["sessions"][0]["read_samples"] == 0 and
    docs[1]["sessions"][0]["read_samples_per_second"] == 0.0)' ||
  fail "json: the second report does not show an idle interval"
json_ok "$work/out" 'docs[0]["sessions"][0]["write_samples"] == 9223372036854775807' ||
  fail "json: 64-bit value not whole"

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

# --write follows a link and replaces the file it names; the link stays.
mkdir "$work/real"
echo old >"$work/real/target.prom"
ln -s real/target.prom "$work/link.prom"
expect 0 "--write through a link" -- --root "$tree" -o prometheus --write "$work/link.prom"
[ -L "$work/link.prom" ] || fail "--write replaced the link itself"
grep -q '^sanperf_' "$work/real/target.prom" || fail "--write did not replace the link's target"
[ "$(find "$work/real" -name '.*' | wc -l)" -eq 0 ] || fail "--write through a link left a file"
# Anything but a regular file is refused and left as it was.
mkfifo "$work/fifo"
mkdir "$work/dir.prom"
specials=("$work/fifo" "$work/dir.prom")
if [ "$(id -u)" -eq 0 ] && mknod "$work/null" c 1 3 2>/dev/null; then specials+=("$work/null"); fi
for special in "${specials[@]}"; do
  kind=$(stat -c %F "$special")
  timeout 10 "$sanstat" --root "$tree" --write "$special" >"$work/out" 2>"$work/err"
  rc=$?
  [ "$rc" -eq 1 ] || fail "--write to a $kind: exit $rc, expected 1"
  [ "$(stat -c %F "$special")" = "$kind" ] || fail "--write replaced a $kind"
  [ "$(wc -l <"$work/err")" -eq 1 ] || fail "--write to a $kind: not one line on stderr"
done
# A name as long as a name may be still leaves room for the temporary file.
long=$work/$(printf 'x%.0s' $(seq 245)).prom
expect 0 "--write to a 250-byte name" -- --root "$tree" -o prometheus --write "$long"
[ -s "$long" ] || fail "--write to a 250-byte name wrote nothing"

# SIGINT and SIGTERM end interval mode after the current report, exit 0.
for sig in TERM INT; do
  # Signalled once its first report is out, so it runs with its signals set.
  rm -f "$work/sig"
  "$sanstat" --root "$tree" -o json 0.2 >"$work/sig" 2>&1 &
  pid=$!
  until [ -s "$work/sig" ] || ! kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
  kill -"$sig" "$pid"
  wait "$pid"
  rc=$?
  [ "$rc" -eq 0 ] || fail "SIG$sig: exit $rc"
  grep -qv '}$' "$work/sig" && fail "SIG$sig: a report was cut short"
done

# ---- A big tree: 5,000 sessions and 5,000 sockets ----------------------
big=$big_parent/tree
"$sim" "$big" --once --sessions 5000 --sockets 5000 || fail "sanperf-sim cannot write the big tree"

# Reports are written row by row, never built whole in memory.
for format in table json prometheus; do
  kib=$(python3 -c '
import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$sanstat" --root "$big" -o "$format")
  [ "${kib:-999999}" -le 32768 ] || fail "-o $format at 5,000/5,000 peaks at ${kib:-?} KiB"
done
# A block not shown is not read: a FIFO among the disk queue files would
# hold a reader up for good.
cp -r "$tree" "$work/fifo_tree"
rm "$work/fifo_tree/disk_queue/disk1_0/max_num_active"
mkfifo "$work/fifo_tree/disk_queue/disk1_0/max_num_active"
timeout 10 "$sanstat" --root "$work/fifo_tree" -s >/dev/null 2>&1
rc=$?
[ "$rc" -eq 0 ] || fail "sanstat -s read the disk queues (exit $rc)"

# Signals during a one-shot --write, sent as soon as the temporary file
# exists: one lets the report finish into FILE; a second ends sanstat at
# once. Either way no temporary file stays, and FILE is absent or whole.
target=$work/big.json
for signals in 1 2; do
  rm -f "$target"
  python3 -c '
import os, signal, subprocess, sys, time
target, signals, command = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
folder, prefix = os.path.dirname(target), "." + os.path.basename(target) + "."
child = subprocess.Popen(command, stderr=subprocess.DEVNULL)
while child.poll() is None and not any(n.startswith(prefix) for n in os.listdir(folder)):
    pass
for _ in range(signals):
    if child.poll() is None:
        child.send_signal(signal.SIGTERM)
        time.sleep(0.05)
child.wait()' "$target" "$signals" "$sanstat" --root "$big" -o json --write "$target"
  [ "$(find "$work" -maxdepth 1 -name '.big.json.*' | wc -l)" -eq 0 ] ||
    fail "$signals SIGTERM during --write left a temporary file"
  if [ "$signals" -eq 1 ]; then
    json_ok "$target" 'len(docs) == 1' || fail "one SIGTERM during --write: no whole report"
  elif [ -e "$target" ]; then
    json_ok "$target" 'len(docs) == 1' || fail "two SIGTERMs during --write: a broken report"
  fi
done

# Interval mode: a first SIGINT lets the report under way finish, and
# sanstat exits 0; a second one ends it at once, by SIGINT.
for signals in 1 2; do
  rm -f "$work/sig"
  "$sanstat" --root "$big" -o json 0.001 >"$work/sig" 2>/dev/null &
  pid=$!
  # Once the first report is whole, the second is being read.
  until [ "$(wc -l <"$work/sig")" -ge 1 ] || ! kill -0 "$pid" 2>/dev/null; do sleep 0.02; done
  kill -INT "$pid"
  if [ "$signals" -eq 2 ]; then sleep 0.1; kill -INT "$pid"; fi
  wait "$pid" 2>/dev/null
  rc=$?
  if [ "$signals" -eq 1 ]; then
    [ "$rc" -eq 0 ] || fail "one SIGINT during a report: exit $rc"
    json_ok "$work/sig" 'len(docs) >= 1' || fail "one SIGINT during a report: a report was cut"
  else
    [ "$rc" -eq 130 ] || fail "two SIGINTs during a report: exit $rc, expected 130 (SIGINT)"
  fi
done

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "all sanstat command line checks passed"
