#!/usr/bin/env bash
# Shows sanstat on a live simulated server: starts sanperf-sim in a temporary
# directory, watches it with sanstat for five seconds, and removes the
# simulator and its directory again whatever happens. The simulated server
# has trouble to show: queue 3 of disk 1 turns slow after two seconds,
# session 3 reads slowly and socket 2 keeps waiting for space. The simulator
# counts time in microseconds; the slowest objects come first.
# Usage: scripts/demo.sh [BUILD_DIR]
set -euo pipefail
build=${1:-build}
sim="$build/tools/sanperf-sim/sanperf-sim"
sanstat="$build/tools/sanstat/sanstat"
for program in "$sim" "$sanstat"; do
  if [ ! -x "$program" ]; then
    echo "demo: $program is not built; run 'make build' first" >&2
    exit 1
  fi
done

work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

"$sim" "$work/tree" --fault disk1_3/handler:slow:after=2s --fault session3/read:slow=300ms \
  --fault sock2/wait_for_space:busy >"$work/sim.log" 2>&1 &
sim_pid=$!
# The simulator prints a line once its first state is completely written.
until grep -q ready "$work/sim.log"; do
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    cat "$work/sim.log" >&2
    exit 1
  fi
  sleep 0.1
done

"$sanstat" --root "$work/tree" --time-unit us --sort avg --top 8 --socket-layout busiest 1 5
