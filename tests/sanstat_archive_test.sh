#!/usr/bin/env bash
# sanstat record and the reports read back from its archive, on a tree
# written by sanperf-sim: the faults (kill -9, a full disk, a second
# recorder, files that are not archives, SIGTERM, a missing tree), the
# reports with their options, cut, and a slow disk queue found afterwards.
# Usage: sanstat_archive_test.sh SANSTAT SANPERF_SIM
# Needs python3 and the sqlite3 program; the full disk needs root (a small
# tmpfs in a private mount namespace) and is skipped without it.
set -uo pipefail
sanstat=$1
sim=$2
work=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
command -v sqlite3 >/dev/null || { echo "FAIL: sqlite3 is not installed" >&2; exit 1; }

tree=$work/tree
archive=$work/archive.db
export SANPERF_TIME_UNIT=us
"$sim" "$tree" --sessions 20 --sockets 20 --interval 100 --fault disk1_3:slow=200ms:after=4s \
  2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [ -d "$tree/sock" ] && break; sleep 0.1; done

# record [ARGS...]: starts a recorder of the tree into $archive; its pid in $rec.
record() {
  "$sanstat" record --archive "$archive" --root "$tree" --interval 0.2 "$@" 2>>"$work/rec.err" &
  rec=$!
  pids+=("$rec")
}
samplings() { sqlite3 "$archive" 'SELECT count(*) FROM samplings' 2>/dev/null || echo 0; }
integrity() { sqlite3 "$archive" 'PRAGMA integrity_check'; }

# kill -9 at any moment: the archive stays whole and the next recorder
# goes on with it.
started=$(date +%s)
record
sleep 1.5
for delay in 0.05 0.13 0.31 0.47 0.2; do
  kill -9 "$rec"
  wait "$rec" 2>/dev/null
  [ "$(integrity)" = ok ] || fail "integrity_check after kill -9 (after ${delay}s): $(integrity)"
  before=$(samplings)
  record
  sleep "$delay"
  sleep 0.5
  [ "$(samplings)" -gt "$before" ] || fail "the recorder after kill -9 did not go on ($before)"
done
[ "$(sqlite3 "$archive" 'SELECT count(*) FROM runs')" -ge 6 ] || fail "runs not kept"
# From here on one recorder runs without a break.
steady=$(($(date +%s) + 1))

# A second recorder is refused; a reader reads while the first records.
"$sanstat" record --archive "$archive" --root "$tree" >"$work/out" 2>"$work/err"
code=$?
[ "$code" -eq 1 ] || fail "a second recorder: exit $code"
grep -q "another sanstat record" "$work/err" || fail "a second recorder: $(cat "$work/err")"
"$sanstat" --archive "$archive" -s --top 3 >"$work/out" 2>"$work/err" ||
  fail "a report while recording: $(cat "$work/err")"
grep -q "^report 1 from the archive, .* to .*, samples per second" "$work/out" ||
  fail "the window's header: $(head -1 "$work/out")"

# The tree missing for a while is a gap, never zeros.
# (The recorder reads the tree through a mount of its own: the simulator
# stops and the tree's contents go, rather than the directory itself.)
sleep 3
t_gap=$(date +%s)
kill "${pids[0]}"
wait "${pids[0]}" 2>/dev/null
mkdir "$work/away"
mv "$tree"/* "$work/away"/
sleep 1.5
"$sim" "$tree" --sessions 20 --sockets 20 --interval 100 --fault disk1_3:slow=200ms 2>/dev/null &
pids+=($!)
sleep 2

# SIGTERM finishes the sampling under way and ends within a second.
kill -TERM "$rec"
t0=$(date +%s%N)
wait "$rec"
code=$?
elapsed=$((($(date +%s%N) - t0) / 1000000))
[ "$code" -eq 0 ] || fail "SIGTERM: exit $code"
[ "$elapsed" -le 1000 ] || fail "SIGTERM: ended after $elapsed ms"
[ "$(integrity)" = ok ] || fail "integrity_check after SIGTERM"

"$sanstat" --archive "$archive" -d 1 >"$work/out" 2>"$work/err" || fail "interval reports: $(cat "$work/err")"
grep -q "no sampling from .* to .*: the tree was missing" "$work/out" ||
  fail "no line for the missing tree"
grep -q "no sampling from .* to .*: the recorder was not running" "$work/out" ||
  fail "no line for the recorder's restarts"
[ "$(grep -c 'the tree was missing' "$work/out")" -eq 1 ] || fail "the missing tree said more than once"
# The window over the gap says it, then reports.
"$sanstat" --archive "$archive" -d >"$work/out" || fail "window over gaps"
grep -q "the tree was missing" "$work/out" || fail "the window does not name its gap"

# The slow disk queue, found afterwards with one command.
"$sanstat" --archive "$archive" --begin "@$steady" --end "@$t_gap" -d --sort avg --top 1 \
  >"$work/out" || fail "the slow queue's report"
grep -A1 '^disk4 ' "$work/out" | tail -1 | grep -q '^disk1_3 ' ||
  fail "the slow queue is not first: $(cat "$work/out")"

# At the recorder's own interval, a steady stretch has a report for every
# interval, however the samplings' moments jitter.
"$sanstat" --archive "$archive" -d --begin "@$steady" --end "@$t_gap" -y 0.2 \
  >"$work/out" || fail "reports at the recorder's interval"
grep -q "no sampling" "$work/out" && fail "a steady stretch shows gaps: $(grep -m1 'no sampling' "$work/out")"
# Samplings that drift off the grid, as a recorder falling behind makes
# them (1.3 intervals apart), are late, not missing: a report spans each
# pair, and no gap is said. One 4.3 intervals after the last is a gap.
"$sanstat" cut --archive "$archive" --begin "@$steady" --end "@$((steady + 2))" "$work/drift.db" ||
  fail "cut for the drift"
drift() {
  sqlite3 "$work/drift.db" "UPDATE samplings SET
    time = (SELECT min(time) FROM samplings) + (seq - (SELECT min(seq) FROM samplings)) * 260 $1,
    mono = (SELECT min(mono) FROM samplings) + (seq - (SELECT min(seq) FROM samplings)) * 260000000 $2"
}
drift "" ""
drifted=$(sqlite3 "$work/drift.db" 'SELECT count(*) FROM samplings')
"$sanstat" --archive "$work/drift.db" -d -y 0.2 >"$work/out" || fail "reports over drifting samplings"
grep -q "no sampling" "$work/out" && fail "drifting samplings shown as a gap: $(grep -m1 'no sampling' "$work/out")"
[ "$(grep -c '^report ' "$work/out")" -eq $((drifted - 1)) ] ||
  fail "drifting samplings: $(grep -c '^report ' "$work/out") reports of $drifted samplings"
drift "+ (seq >= (SELECT min(seq) + 5 FROM samplings)) * 600" \
  "+ (seq >= (SELECT min(seq) + 5 FROM samplings)) * 600000000"
"$sanstat" --archive "$work/drift.db" -d -y 0.2 >"$work/out" || fail "reports over a late gap"
[ "$(grep -c "no sampling .*: none was stored" "$work/out")" -eq 1 ] ||
  fail "a sampling 4.3 intervals late is not one gap: $(cat "$work/out")"
[ "$(grep -c '^report ' "$work/out")" -ge 5 ] || fail "too few reports at the recorder's interval"

# Sessions and sockets asked for that the archive lacks are named, as live
# names those the tree lacks: over the window and per interval.
"$sanstat" --root "$tree" -sk --session 9999 --session 9997 --socket 9998 >/dev/null 2>"$work/live.err"
sed "s|$tree|WHERE|" "$work/live.err" >"$work/live.said"
grep -q "no session 9999 or 9997 in WHERE" "$work/live.said" || fail "live: $(cat "$work/live.err")"
for interval in "" "1 2"; do
  # shellcheck disable=SC2086 # the interval and count are two words
  "$sanstat" --archive "$archive" -sk --session 9999 --session 9997 --socket 9998 $interval >/dev/null \
    2>"$work/err" || fail "--session from the archive ($interval)"
  sed "s|$archive|WHERE|" "$work/err" | cmp -s - "$work/live.said" ||
    fail "ids the archive lacks ($interval): $(cat "$work/err")"
done

# JSON, CSV, Prometheus and --write from the archive.
"$sanstat" --archive "$archive" -s --session 3 -o json 2 3 >"$work/json" || fail "-o json"
python3 - "$work/json" <<'PY' || fail "the JSON reports"
import json, re, sys
docs = [json.loads(line) for line in open(sys.argv[1])]
assert len(docs) >= 3, docs
iso = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$")
reports = [d for d in docs if "gap" not in d]
assert all(iso.match(d["end"]) for d in reports)
assert all(iso.match(d["begin"]) for d in reports if d["interval"] is not None)
assert all(d["time_unit"] == "us" for d in reports)
assert all([s["id"] for s in d["sessions"]] in ([3], []) for d in reports)
PY
"$sanstat" --archive "$archive" --end "@$t_gap" -o csv -k --sort rate --top 1 --write "$work/out.csv" ||
  fail "-o csv --write"
python3 - "$work/out.csv" <<'PY' || fail "the CSV report"
import csv, sys
rows = list(csv.DictReader(open(sys.argv[1], newline="")))
assert len(rows) == 12, len(rows)
assert len({r["object"] for r in rows}) == 1 and rows[0]["block"] == "socket"
assert all(r["time"] and r["samples_per_second"] for r in rows), rows[0]
PY
"$sanstat" --archive "$archive" -o prometheus -d >"$work/out" || fail "-o prometheus"
grep -q '^sanperf_disk_queue_samples_total{queue="disk1_0",stage="handler"} [0-9]' "$work/out" ||
  fail "the Prometheus text"

# cut: the window in a file of its own, read back like any other; OUT is
# never overwritten.
"$sanstat" cut --archive "$archive" --begin "@$((started + 2))" --end "@$((started + 4))" \
  "$work/cut.db" 2>"$work/err" || fail "cut: $(cat "$work/err")"
[ "$(sqlite3 "$work/cut.db" 'PRAGMA integrity_check')" = ok ] || fail "cut: integrity"
[ ! -e "$work/cut.db-wal" ] || fail "cut: the copy has a log beside it"
"$sanstat" --archive "$work/cut.db" -s --top 2 >"$work/out" || fail "cut: read back"
"$sanstat" cut --archive "$archive" "$work/cut.db" 2>"$work/err"
[ $? -eq 1 ] && grep -q "exists" "$work/err" || fail "cut over an existing file"

# Files that are not archives: exit 1, a clear message, never written.
printf 'not an archive\n' >"$work/text"
mkfifo "$work/fifo"
head -c 3000 "$archive" >"$work/short.db"
for bad in "$work/text" "$work/fifo" "$work" "$work/short.db"; do
  copy=$(mktemp -p "$work")
  [ -f "$bad" ] && cp "$bad" "$copy"
  for cmd in "--archive $bad" "record --archive $bad --root $tree"; do
    # shellcheck disable=SC2086
    timeout 5 "$sanstat" $cmd >"$work/out" 2>"$work/err"
    code=$?
    [ "$code" -eq 1 ] || fail "'$cmd': exit $code"
    grep -q "^sanstat.*: $bad: " "$work/err" || fail "'$cmd': $(cat "$work/err")"
  done
  [ -f "$bad" ] && { cmp -s "$bad" "$copy" || fail "$bad was written"; }
  [ -e "$bad-wal" ] && fail "$bad got a log"
done

# A full disk: the recorder goes on, says so once a minute at most, and
# records again once there is room.
if [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null; then
  unshare -m --propagation private bash -c '
    sanstat=$1 tree=$2 dir=$3
    mkdir -p "$dir" && mount -t tmpfs -o size=2m tmpfs "$dir" || exit 3
    "$sanstat" record --archive "$dir/a.db" --root "$tree" --interval 0.1 2>"$dir/../full.err" &
    rec=$!
    sleep 1
    head -c 4m /dev/zero >"$dir/filler" 2>/dev/null
    sleep 2
    n1=$(sqlite3 "$dir/a.db" "SELECT count(*) FROM samplings")
    rm "$dir/filler"
    sleep 1.5
    n2=$(sqlite3 "$dir/a.db" "SELECT count(*) FROM samplings")
    kill -0 $rec || exit 4
    kill -TERM $rec; wait $rec || exit 5
    [ "$(sqlite3 "$dir/a.db" "PRAGMA integrity_check")" = ok ] || exit 6
    [ "$n2" -gt "$n1" ] || exit 7
  ' full "$sanstat" "$tree" "$work/full"
  code=$?
  [ "$code" -eq 0 ] || fail "full disk: step $code: $(cat "$work/full.err")"
  [ "$(grep -c 'is not stored' "$work/full.err")" -eq 1 ] ||
    fail "full disk: not said exactly once: $(cat "$work/full.err")"
  grep -q "recording again after" "$work/full.err" || fail "full disk: no word of recovery"
else
  echo "full disk: skipped (needs root and mount namespaces)"
fi

[ "$failures" -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
echo "all archive checks passed"
