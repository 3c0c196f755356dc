#!/usr/bin/env bash
# The help of each program, and the usage it prints on a mistake, fit a
# terminal of 80 columns and show options as they are typed: none of the
# command-line parser's type and range notes.
# Usage: help_width_test.sh PROGRAM [ARGS...]: ARGS come before the options
# (as "top" for sanstat's full-screen view).
set -uo pipefail
program=$1
shift
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
name=$(basename "$program")

check() {
  local what=$1 text=$2
  [ -n "$text" ] || fail "$name $what printed nothing"
  while IFS= read -r line; do
    [ "${#line}" -le 80 ] || fail "$name $what: ${#line} columns: $line"
  done <<<"$text"
  ! grep -nE ':(U?INT|FLOAT|TEXT)\b|\b(U?INT|FLOAT|TEXT|REQUIRED)$| in \[[0-9-]|=[^ ]+ \.\.\.$' \
    <<<"$text" || fail "$name $what shows the parser's notes"
}

check "${*:+$* }--help" "$("$program" "$@" --help)"
check "${*:+$* }usage" "$("$program" "$@" --no-such-option 2>&1 >/dev/null | tail -n +2)"
[ "$failures" -eq 0 ] || exit 1
echo "$name${*:+ $*}: help and usage within 80 columns"
