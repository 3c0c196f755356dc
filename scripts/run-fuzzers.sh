#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang and runs each one.
# Usage: scripts/run-fuzzers.sh [BUILD_DIR [SECONDS]]
# Any crash, leak or sanitizer report makes the run fail.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-fuzz}
seconds=${2:-60}
cxx=$(command -v clang++-14 || command -v clang++)
flags=(-std=c++17 -g -O1 -fno-omit-frame-pointer -Wall -Wextra -Wpedantic
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)

mkdir -p "$build"
for target in reader names conversion; do
    "$cxx" "${flags[@]}" -Iinclude src/st_perf_stats.cpp "fuzz/${target}_fuzzer.cpp" \
        -o "$build/${target}_fuzzer"
done

# The exporter's security layer: its configuration file and Authorization
# header parsers.
security=tools/sanperf_exporter/security
"$cxx" "${flags[@]}" -Itools "$security/web_config.cpp" "$security/tls_credentials.cpp" \
    "$security/password_check.cpp" fuzz/web_config_fuzzer.cpp -o "$build/web_config_fuzzer" \
    $(pkg-config --cflags --libs gnutls libcrypt yaml-cpp)
"$cxx" "${flags[@]}" -Itools "$security/basic_auth_header.cpp" fuzz/authorization_fuzzer.cpp \
    -o "$build/authorization_fuzzer"

for target in reader names conversion web_config authorization; do
    # New inputs go to a scratch corpus; the checked-in seeds stay as they are.
    work="$build/corpus-$target"
    # The reader stops at 65,536 bytes of a line; let inputs pass that mark.
    max_len=4096
    [ "$target" = names ] || max_len=70000
    mkdir -p "$work"
    echo "== fuzzing $target for ${seconds}s"
    ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        "$build/${target}_fuzzer" -max_total_time="$seconds" -max_len="$max_len" -print_final_stats=1 \
        -artifact_prefix="$build/$target-" "$work" "fuzz/corpus/$target"
done
