#!/usr/bin/env bash
# The README's quick start on a simulated server, run exactly as the README
# prints it, in a private mount namespace with its own /tmp. Its first three
# reports must show the whole tree (no half-written one) and true rates (no
# whole history counted as one interval).
# Usage: readme_quick_start_test.sh README.md SANSTAT SANPERF_SIM
set -uo pipefail
readme=$1
# The programs of this build, by the names the README uses.
[ "$(basename "$2")" = sanstat ] && [ "$(basename "$3")" = sanperf-sim ] || exit 2
programs=$(dirname "$(realpath "$2")"):$(dirname "$(realpath "$3")")

line=$(tr '\n' ' ' <"$readme" | grep -o 'try it all on a simulated one: *`[^`]*`' | sed 's/.*`\(.*\)`/\1/')
[ -n "$line" ] || { echo "FAIL: no quick start line in $readme"; exit 1; }
echo "quick start: $line"

# Three reports, then SIGINT to all; the line runs as the README has it.
out=$(PATH=$programs:$PATH unshare -r -m --propagation private sh -c '
  mount -t tmpfs tmpfs /tmp || exit 1
  sh -c "$1" >/tmp/out 2>/tmp/err &
  sleep 3.6
  pkill -INT -s 0 -x sanstat; pkill -INT -s 0 -x sanperf-sim
  wait; cat /tmp/out; sed "s/^/stderr: /" /tmp/err' sh "$line")

reports=$(grep -c '^report ' <<<"$out")
[ "$reports" -ge 3 ] || { echo "FAIL: $reports reports"; echo "$out"; exit 1; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# The first report with statistics: every disk, and the simulator's eight
# sessions and eight sockets. That report may come a step or two after the
# first state, so a socket or session may be between its end and its
# successor's publication: at least six of each.
first=$(awk '/^report .*totals so far/ { n++ } n == 1' <<<"$out" | awk '/^report / && seen { exit } /^report / { seen = 1 } 1')
for disk in disk1 disk2 disk3 disk4; do
  grep -qE "^$disk +[1-9]" <<<"$first" || fail "the first report has no samples for $disk"
done
[ "$(grep -cE '^all\([678]\) ' <<<"$first")" -eq 2 ] || fail "the first report lacks sessions or sockets"
# Interval reports: the simulator's rates, never its history (millions).
if grep -E '^all\(32\) ' <<<"$(awk '/^report .*per second/ { on = 1 } /totals so far/ { on = 0 } on' <<<"$out")" |
  grep -qE '[0-9.]+[MGTPE] '; then
  fail "an interval report counts a whole history as its rate"
fi
[ "$failures" -eq 0 ] || { echo "$out" | grep -E '^(report|all|disk[1-4] |stderr)'; exit 1; }
echo "quick start: $reports reports, the whole tree and true rates"
