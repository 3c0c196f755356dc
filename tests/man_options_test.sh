#!/usr/bin/env bash
# Every option and positional argument that PROGRAM --help lists must be
# documented in the OPTIONS section of its man page source, so the two cannot
# drift apart. An option counts as documented where it appears there as a
# whole word (*-o*, *--no-collector.sockets*); a positional as _name_.
# Usage: man_options_test.sh PROGRAM PAGE.scd
set -euo pipefail
program=$1
page=$2
help=$("$program" --help)
documented=$(awk '/^# / { in_options = ($0 == "# OPTIONS") } in_options' "$page")

mapfile -t options < <(awk '
  /^  -/ {
    n = split($1, names, ",")
    for (i = 1; i <= n; i++) { sub(/[={\[].*/, "", names[i]); print names[i] }
  }' <<<"$help" | sort -u)
mapfile -t positionals < <(awk '
  /^[^ ]/ { section = $0 }
  section ~ /^Positionals/ && /^  [^ -]/ { print $1 }' <<<"$help")
[ ${#options[@]} -gt 0 ] || { echo "FAIL: found no options in $program --help"; exit 1; }

missing=()
for option in "${options[@]}"; do
  word=$(sed 's/[.]/\\./g' <<<"$option")
  grep -qE -- "(^|[^-[:alnum:]._])$word([^-[:alnum:]._]|\$)" <<<"$documented" || missing+=("$option")
done
for name in "${positionals[@]}"; do
  grep -qF -- "_${name}_" <<<"$documented" || missing+=("$name")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "FAIL: $(basename "$page") does not document: ${missing[*]}"
  exit 1
fi
echo "all ${#options[@]} options and ${#positionals[@]} positionals of $(basename "$program") documented"

# A SYNOPSIS paragraph "*PROGRAM* *SUB* ..." (as sanstat's top) lists every
# option that PROGRAM SUB takes, by one of its names; SUB refuses the others
# as a usage error.
synopsis=$(awk '/^# / { in_synopsis = ($0 == "# SYNOPSIS") } in_synopsis' "$page")
name=$(basename "$program")
sub=$(grep -oE "^\*$name\* \*[a-z]+\*" <<<"$synopsis" | sed 's/.* \*\([a-z]*\)\*/\1/' | head -1 || true)
[ -n "$sub" ] || exit 0
block=$(awk -v start="*$name* *$sub*" 'index($0, start) == 1 { on = 1 } on && /^$/ { exit } on' \
  <<<"$synopsis")
left_out=()
while read -r names; do
  listed=false
  for option in ${names//,/ }; do
    grep -qF -- "*$option*" <<<"$block" && listed=true
  done
  $listed && continue
  option=${names%%,*}
  case $option in -h | --help | --version) continue ;; esac
  rc=0
  "$program" "$sub" "$option" 1 </dev/null >/dev/null 2>&1 || rc=$?
  [ "$rc" -eq 2 ] || left_out+=("$option")
done < <(awk '/^  -/ { n = $1; gsub(/[={\[][^,]*/, "", n); print n }' <<<"$help")
if [ ${#left_out[@]} -gt 0 ]; then
  echo "FAIL: the SYNOPSIS of '$name $sub' leaves out: ${left_out[*]}"
  exit 1
fi
echo "the SYNOPSIS of '$name $sub' lists every option it takes"
