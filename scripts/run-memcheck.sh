#!/usr/bin/env bash
# Runs the unit tests of a normal (unsanitized) build under valgrind memcheck.
# Any memory error or definite/indirect leak fails the run.
# Usage: scripts/run-memcheck.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:?build directory}
# nouserintercepts: the tests replace operator new to inject allocation
# failures; memcheck must leave that replacement in place.
valgrind --error-exitcode=1 --leak-check=full --show-leak-kinds=definite,indirect \
    --errors-for-leak-kinds=definite,indirect --soname-synonyms=somalloc=nouserintercepts \
    --suppressions=scripts/memcheck.supp "$build/tests/sanperf_tests"
