#!/usr/bin/env bash
# Fails when a tracked C++ file differs from what clang-format makes of it
# with the committed .clang-format; prints the files. `make format` mends them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh clang-format git
mapfile -t files < <(git ls-files '*.cpp' '*.h')
bad=()
for f in "${files[@]}"; do
  clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
  echo "not formatted with .clang-format (run make format):" >&2
  printf '  %s\n' "${bad[@]}" >&2
  exit 1
fi
echo "format: ${#files[@]} files checked"
