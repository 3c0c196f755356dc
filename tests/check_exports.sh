#!/usr/bin/env bash
# Compares the demangled defined dynamic symbols of a library with a list.
# Usage: check_exports.sh LIBRARY EXPECTED_LIST
set -euo pipefail
lib=$1
expected=$2
actual=$(nm -D --defined-only -C "$lib" | grep -v ' A ' | cut -d' ' -f3- | sed 's/@@*[A-Z0-9_.]*$//' | sort -u)
if ! diff -u "$expected" <(printf '%s\n' "$actual"); then
  echo "exported symbols of $lib differ from $expected (- expected, + actual)" >&2
  exit 1
fi
echo "exported symbols match $expected ($(printf '%s\n' "$actual" | wc -l) symbols)"
