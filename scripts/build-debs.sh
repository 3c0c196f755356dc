#!/usr/bin/env bash
# Builds the Debian packages from this checkout into OUT_DIR with
# dpkg-buildpackage, which writes its results beside the source tree: so the
# tracked and untracked (not ignored) files are copied to OUT_DIR/src first,
# and nothing lands outside OUT_DIR. Prints the .changes file's path.
# Usage: scripts/build-debs.sh OUT_DIR [JOBS]
set -euo pipefail
out=${1:?usage: scripts/build-debs.sh OUT_DIR [JOBS]}
jobs=${2:-$(nproc)}
top=$(cd "$(dirname "$0")/.." && pwd)

rm -rf "$out"
mkdir -p "$out/src"
out=$(cd "$out" && pwd)
(cd "$top" && git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] || [ -L "$f" ] && printf '%s\0' "$f"; done |
  tar -c --null -T - -f -) | tar -x -C "$out/src"

(cd "$out/src" && DEB_BUILD_OPTIONS="parallel=$jobs ${DEB_BUILD_OPTIONS:-}" \
  dpkg-buildpackage -b -us -uc >"$out/build.log" 2>&1) || {
  tail -n 40 "$out/build.log" >&2
  echo "dpkg-buildpackage failed; the whole log is $out/build.log" >&2
  exit 1
}
ls "$out"/*.changes
