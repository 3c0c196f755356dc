#!/usr/bin/env bash
# Every column name sanstat's tables print and every field its JSON reports
# carry must be explained in the COLUMNS section of its man page, so a new
# column cannot go undocumented. A name counts as explained where it appears
# there in bold, as *smp/s* or *handler_avg_time*.
# Usage: man_columns_test.sh SANSTAT SANPERF_SIM PAGE.scd
set -euo pipefail
sanstat=$1
sim=$2
page=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

documented=$(awk '/^# / { in_columns = ($0 == "# COLUMNS") } in_columns' "$page")
[ -n "$documented" ] || { echo "FAIL: $(basename "$page") has no COLUMNS section"; exit 1; }

"$sim" "$work/tree" --once --sessions 2 --sockets 2 >/dev/null
# Totals, then interval reports, whose rate columns have their own names,
# in both socket layouts.
"$sanstat" --root "$work/tree" >"$work/table"
"$sanstat" --root "$work/tree" 0.2 2 >>"$work/table"
"$sanstat" --root "$work/tree" --socket-layout slots 0.2 2 >>"$work/table"
"$sanstat" --root "$work/tree" -o json 0.2 2 >"$work/json"

# A block's column names are on the first line after the blank line that
# opens it, and on the line above it that groups them ("--- write ---"). A
# blank line before "report N at ..." ends a report instead.
mapfile -t columns < <(awk '
  /^$/ { opening = 1; next }
  /^report / { opening = 0; next }
  opening && /^ *-+ / { for (i = 1; i <= NF; i++) if ($i !~ /^-+$/) print $i; next }
  opening { for (i = 1; i <= NF; i++) print $i; opening = 0 }' "$work/table" | sort -u)
mapfile -t fields < <(python3 -c '
import json, sys
def keys(value):
    if isinstance(value, dict):
        for k, v in value.items():
            yield k
            yield from keys(v)
    elif isinstance(value, list):
        for v in value:
            yield from keys(v)
names = set()
for line in open(sys.argv[1]):
    names.update(keys(json.loads(line)))
print("\n".join(sorted(names)))' "$work/json")
[ ${#columns[@]} -gt 5 ] || { echo "FAIL: found only ${#columns[@]} column names"; exit 1; }
[ ${#fields[@]} -gt 20 ] || { echo "FAIL: found only ${#fields[@]} JSON fields"; exit 1; }

missing=()
for name in "${columns[@]}" "${fields[@]}"; do
  grep -qF -- "*${name}*" <<<"$documented" || missing+=("$name")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "FAIL: the COLUMNS section of $(basename "$page") does not explain: ${missing[*]}"
  exit 1
fi
echo "all ${#columns[@]} column names and ${#fields[@]} JSON fields explained"
