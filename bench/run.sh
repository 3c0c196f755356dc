#!/usr/bin/env bash
# Runs the snapshot benchmark of a build directory: time per snapshot and per
# file, library beside the floor. Extra arguments go to the benchmark.
set -euo pipefail
build=${1:?usage: run.sh BUILD_DIR [benchmark options]}
shift
exec "$build/bench/sanperf_bench" --benchmark_counters_tabular=true "$@"
