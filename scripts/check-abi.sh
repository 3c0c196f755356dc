#!/usr/bin/env bash
# Builds libsanperf.so alone (RelWithDebInfo, so the types are visible) and
# compares its ABI with the dump checked in under abi/. Any difference fails.
# Usage: scripts/check-abi.sh BUILD_DIR [--update]
#   --update rewrites abi/libsanperf.so.1.abi from this build instead.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:?build directory}
baseline=abi/libsanperf.so.1.abi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANPERF_WERROR=ON \
    -DSANPERF_BUILD_TESTS=OFF -DSANPERF_BUILD_TOOLS=OFF -DSANPERF_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" --target sanperf -j 2
lib=$(readlink -f "$build/libsanperf.so.1")

if [ "${2:-}" = --update ]; then
    abidw --no-corpus-path --no-comp-dir-path --no-show-locs --headers-dir include "$lib" >"$baseline"
    echo "wrote $baseline"
    exit 0
fi

# abidiff's exit status is a bit set (error, usage, ABI change, incompatible
# change); any bit set is a failure here.
status=0
abidiff --headers-dir2 include "$baseline" "$lib" || status=$?
if [ "$status" -ne 0 ]; then
    echo "ABI of $lib differs from $baseline (abidiff status $status)." >&2
    echo "If the change is intended, run: make abi-update" >&2
    exit 1
fi
echo "ABI matches $baseline"
