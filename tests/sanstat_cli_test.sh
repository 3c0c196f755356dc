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
  "--session x" "--socket -1" "--threads 0" "--threads 257"; do
  # shellcheck disable=SC2086
  expect 2 "usage error '$args'" -- --root "$tree" $args
  [ -s "$work/out" ] && fail "usage error '$args' wrote to stdout"
  grep -q '^sanstat: ' <(head -1 "$work/err") || fail "usage error '$args': no message line"
  grep -q '^usage: sanstat' "$work/err" || fail "usage error '$args': no usage"
done

# Each message says what the argument must be, once.
message_is() {
  local want=$1
  shift
  expect 2 "'$*'" -- "$@"
  head -1 "$work/err" | grep -qxF -- "sanstat: $want" || fail "'$*': $(head -1 "$work/err")"
}
message_is "interval: must be a number of seconds above 0 and at most 10000000 (did you mean 0.5?)" \
  --root "$tree" 500ms
message_is "--session: a session id is a whole number up to 4294967295, not 'abc'" --session abc
message_is "--socket: a socket number is a whole number up to 4294967295, not '-1'" --socket -1
for args in "-y" "-y 1" "-o json" "1 2" "--write $work/f"; do
  # shellcheck disable=SC2086
  message_is "'sanstat top' redraws one screen until q; -y, -o, --write and count are for reports" \
    top --root "$tree" $args
done

# Near misses: the usage error also says what was probably meant.
near_miss() {
  local hint=$1
  shift
  expect 2 "near miss '$*'" -- --root "$tree" "$@"
  grep -qF -- "(did you mean $hint?)" "$work/err" || fail "'$*': no '$hint' in: $(head -1 "$work/err")"
}
near_miss "--sort avg" avg
near_miss "--sort rate" rates
near_miss "--sort avg" 1 avg
near_miss "1" 1s
near_miss "0.5" 500ms
near_miss "--session 3 --session 4" --session 3,4
near_miss "--socket 1 --socket 2" --socket 1,2
near_miss "--session" --sesion 3
near_miss "rate" --sort rat
# Without a unit for the tree, a duration with a unit cannot be compared.
expect 2 "--min-avg with a unit, unit unknown" -- --root "$tree" --min-avg 1.5ms
grep -q 'SANPERF_TIME_UNIT' "$work/err" || fail "--min-avg 1.5ms does not say how to set the unit"
SANPERF_TIME_UNIT=weeks expect 2 "a wrong SANPERF_TIME_UNIT" -- --root "$tree"
expect 2 "-y without interval" -- --root "$tree" -y

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
# Said once on stderr, however many reports, naming only what is missing.
expect 0 "sessions partly matching" -- --root "$tree" -o json --session 8 --session 7 \
  --session 9 --socket 3 0.05 3
[ "$(cat "$work/err")" = "sanstat: no session 8 or 9 in $tree" ] ||
  fail "--session 8 and 9 missing: stderr was '$(cat "$work/err")'"
expect 0 "a session filter on a block not shown" -- --root "$tree" -d --session 8
[ -s "$work/err" ] && fail "-d --session 8: $(cat "$work/err")"

# Every socket row carries its socket's number; the busiest layout has one.
expect 0 "socket slot rows" -- --root "$tree" -k --socket-layout slots
[ "$(grep -c '^3 ' "$work/out")" -eq 12 ] || fail "not every slot row of socket 3 starts with 3"
expect 0 "busiest slot layout, the default" -- --root "$tree" -k
[ "$(grep -c '^3 ' "$work/out")" -eq 1 ] || fail "--socket-layout busiest: not one row for socket 3"
grep -q '^all(1) ' "$work/out" || fail "--socket-layout busiest: no summary row"
# A socket without samples has no busiest slot.
cp -r "$tree" "$work/idle"
mkdir "$work/idle/sock/sock4"
for file in "$work"/slots/sock/sock1/*; do
  echo "0 0 0 4294967295 0 0 4294967295" >"$work/idle/sock/sock4/$(basename "$file")"
done
expect 0 "an idle socket's busiest slot" -- --root "$work/idle" --socket 4 0.05 2
[ "$(grep -cE '^4 +0 +- +- +- +- +-$' "$work/out")" -eq 2 ] ||
  fail "an idle socket has a busiest slot: $(grep '^4 ' "$work/out")"

# Units: stated in the header, human durations in the table, named in JSON.
expect 0 "time unit" -- --root "$tree" -s --time-unit us
grep -q 'counts in us' "$work/out" || fail "--time-unit us is not stated in the header"
grep -qE '^7 .* 5 +10us +5us +20us *$' "$work/out" ||
  fail "--time-unit us: session 7's read is not 5 10us 5us 20us: $(grep '^7 ' "$work/out")"
SANPERF_TIME_UNIT=ms expect 0 "time unit from the environment" -- --root "$tree" -o json
json_ok "$work/out" 'docs[0]["time_unit"] == "ms"' || fail "SANPERF_TIME_UNIT=ms not in JSON"
expect 0 "time unit unknown" -- --root "$tree"
grep -q 'unknown unit: set --time-unit or SANPERF_TIME_UNIT' "$work/out" ||
  fail "the header does not say the unit is unknown and how to set it"

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

# -y leaves out the first report, of totals: count counts the reports shown.
expect 0 "-y" -- --root "$tree" -o json -y 0.05 2
json_ok "$work/out" 'len(docs) == 2 and all(d["interval"] is not None for d in docs)' ||
  fail "-y 0.05 2: not two interval reports"

# A tree that vanishes during an interval run: its rows go away and one
# document says so, never zeros; when it is back, reports start afresh.
cp -r "$tree" "$work/vanishing"
mkdir "$work/away"
# Each step waits for sanstat to have seen the last, so a loaded machine
# cannot make the run end before the tree is back.
"$sanstat" --root "$work/vanishing" -o json 0.1 >"$work/vanish" 2>"$work/vanish.err" &
pid=$!
# wait_for CONDITION: up to 30 s while sanstat runs.
wait_for() {
  for _ in $(seq 600); do
    eval "$1" && return
    kill -0 "$pid" 2>/dev/null || return
    sleep 0.05
  done
}
wait_for '[ "$(wc -l <"$work/vanish")" -ge 2 ]'
mv "$work/vanishing"/* "$work/away"
wait_for 'grep -q "\"tree_found\":false" "$work/vanish"'
mv "$work/away"/* "$work/vanishing"
wait_for '[ "$(sed -n "/\"tree_found\":false/,\$p" "$work/vanish" | wc -l)" -ge 3 ]'
kill -INT "$pid"
wait "$pid" || fail "an interval run through a vanished tree failed"
json_ok "$work/vanish" '[d.get("tree_found", True) for d in docs].count(False) == 1' ||
  fail "a vanished tree: not one document saying so"
json_ok "$work/vanish" 'all("disk_queues" not in d for d in docs if d.get("tree_found") is False)' ||
  fail "a vanished tree: rows shown for it"
json_ok "$work/vanish" 'all(d["summary"]["sessions"]["objects"] == 1 for d in docs
    if d.get("tree_found", True))' || fail "a vanished tree: a report without its session"
json_ok "$work/vanish" '[docs[i + 1]["interval"] for i, d in enumerate(docs[:-1])
    if d.get("tree_found") is False] == [None]' ||
  fail "a vanished tree: the report after it came back is no report of totals"
[ "$(grep -c 'holds no SAN server statistics' "$work/vanish.err")" -eq 1 ] ||
  fail "a vanished tree: not said once on stderr"
# The table says it in one line.
rm -rf "$work/vanishing"/*
expect 0 "table of a missing tree" -- --root "$work/vanishing" 0.05 3
[ "$(wc -l <"$work/out")" -eq 1 ] && grep -q 'no statistics' "$work/out" ||
  fail "table of a missing tree: $(cat "$work/out")"

# --root follows its directory by name: removed and made again, it is read
# again. (One not there yet at the start is the README's quick start.)
recreated=$work/recreated
cp -r "$tree" "$recreated"
"$sanstat" --root "$recreated" -o json 0.1 >"$work/recreate" 2>"$work/recreate.err" &
pid=$!
sleep 0.5
rm -rf "$recreated"
sleep 0.5
"$sim" "$recreated" --once --sessions 3 --sockets 0 || fail "sanperf-sim cannot write a tree"
for _ in $(seq 100); do
  tail -n1 "$work/recreate" | grep -q '"sessions":{"objects":3,' && break
  sleep 0.1
done
kill -INT "$pid"
wait "$pid" || fail "an interval run on a re-created root failed: $(head -1 "$work/recreate.err")"
json_ok "$work/recreate" '(docs[0]["summary"]["sessions"]["objects"] == 1 and
    docs[-1]["summary"]["sessions"]["objects"] == 3)' ||
  fail "a re-created root: its new tree not read"

# Prometheus, checked by promtool.
expect 0 "prometheus" -- --root "$tree" -o prometheus
if [ -n "$promtool" ]; then
  "$promtool" check metrics <"$work/out" >"$work/lint" 2>&1 ||
    fail "promtool rejects the output: $(cat "$work/lint")"
  [ -s "$work/lint" ] && fail "promtool warns: $(cat "$work/lint")"
  # The unit, where known, so that the query side gets latency in seconds.
  grep -q '^sanperf_time_unit_seconds' "$work/out" && fail "a time unit nobody gave"
  SANPERF_TIME_UNIT=ms expect 0 "prometheus with a unit" -- --root "$tree" -o prometheus
  "$promtool" check metrics <"$work/out" >"$work/lint" 2>&1 && [ ! -s "$work/lint" ] ||
    fail "promtool on the output with a unit: $(cat "$work/lint")"
  grep -qx 'sanperf_time_unit_seconds 0.001' "$work/out" || fail "no sanperf_time_unit_seconds 0.001"
elif [ "${CI:-}" = true ]; then
  fail "promtool is not available under CI"
else
  echo "SKIP: Prometheus output not checked: no promtool (scripts/get-prometheus.sh DIR fetches it)"
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

# Reports are written row by row, never built whole in memory. Under
# AddressSanitizer, freed memory waits in quarantine and shadow memory adds
# its own: the bound is for normal builds.
formats=(table json prometheus)
if ldd "$sanstat" | grep -q libasan; then formats=(); fi
for format in "${formats[@]}"; do
  kib=$(python3 -c '
import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$sanstat" --root "$big" -o "$format")
  [ "${kib:-999999}" -le 32768 ] || fail "-o $format at 5,000/5,000 peaks at ${kib:-?} KiB"
done
# Ranking: the order, the cut and the summary over every object, checked
# against the whole report.
"$sanstat" --root "$big" -o json -s -k >"$work/all.json" || fail "sanstat on the big tree failed"
expect 0 "sort and top" -- --root "$big" -o json -s -k --sort avg --top 5
python3 -c '
import json, sys
whole = json.load(open(sys.argv[1]))
top = json.load(open(sys.argv[2]))
def avg(s):
    n = s["write_samples"] + s["read_samples"]
    return (s["write_total_time"] + s["read_total_time"]) / n if n else -1
def samples(k):
    return sum(v["samples"] for v in k.values() if isinstance(v, dict))
ranked = sorted(whole["sessions"], key=avg, reverse=True)
assert [avg(s) for s in top["sessions"]] == [avg(s) for s in ranked[:5]], "sessions by avg"
assert len(top["sockets"]) == 5
sums = whole["summary"]["sessions"]
assert top["summary"]["sessions"] == sums, "the summary depends on --top"
assert sums["objects"] == len(whole["sessions"])
assert sums["samples"] == sum(s["write_samples"] + s["read_samples"] for s in whole["sessions"])
total = sum(s["write_total_time"] + s["read_total_time"] for s in whole["sessions"])
assert abs(sums["avg_time"] - total / sums["samples"]) < 1e-9 * sums["avg_time"], "weighted avg"
' "$work/all.json" "$work/out" 2>"$work/rank.err" || fail "--sort avg --top 5: $(tail -1 "$work/rank.err")"
expect 0 "top without sort sorts by samples" -- --root "$big" -o json -k --top 3
python3 -c '
import json, sys
whole = json.load(open(sys.argv[1]))
top = json.load(open(sys.argv[2]))
def samples(k):
    return sum(v["samples"] for v in k.values() if isinstance(v, dict))
best = sorted(whole["sockets"], key=samples, reverse=True)[:3]
assert [k["number"] for k in top["sockets"]] == [k["number"] for k in best]
' "$work/all.json" "$work/out" 2>"$work/rank.err" || fail "--top 3 on sockets: $(tail -1 "$work/rank.err")"
expect 0 "active and min-avg" -- --root "$big" -o json -s --active --min-avg 1ms --time-unit us
python3 -c '
import json, sys
whole = json.load(open(sys.argv[1]))
kept = json.load(open(sys.argv[2]))
def passes(s):
    n = s["write_samples"] + s["read_samples"]
    return n > 0 and (s["write_total_time"] + s["read_total_time"]) / n >= 1000
want = [s["id"] for s in whole["sessions"] if passes(s)]
assert 0 < len(want) < len(whole["sessions"]), "the tree does not test the filter"
assert [s["id"] for s in kept["sessions"]] == want
' "$work/all.json" "$work/out" 2>"$work/rank.err" || fail "--min-avg 1ms: $(tail -1 "$work/rank.err")"

# Read on one thread or several, the report is the same (but for its time).
for format in json prometheus; do
  for threads in 1 4; do
    "$sanstat" --root "$big" -o $format --threads $threads |
      sed 's/"time":"[^"]*"//' >"$work/threads$threads" || fail "--threads $threads failed"
  done
  cmp -s "$work/threads1" "$work/threads4" || fail "-o $format differs with --threads 4"
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
