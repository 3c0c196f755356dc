#!/usr/bin/env bash
# Shows sanstat on a live simulated server: starts sanperf-sim in a temporary
# directory, watches it with sanstat for five seconds, and removes the
# simulator and its directory again whatever happens.
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

"$sim" "$work/tree" >"$work/sim.log" 2>&1 &
sim_pid=$!
# The simulator prints a line once its first state is completely written.
until grep -q ready "$work/sim.log"; do
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    cat "$work/sim.log" >&2
    exit 1
  fi
  sleep 0.1
done

"$sanstat" --root "$work/tree" 1 5
