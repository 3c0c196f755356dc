#!/usr/bin/env bash
# Puts programs of a Debian package into DIR without installing the package
# (installing a server's package would also start the server): the package
# is downloaded from the archives apt is configured with and unpacked in a
# scratch directory. Each PROGRAM is a path inside the package, copied to DIR
# under its own name; programs already in DIR are kept.
# Usage: scripts/get-from-deb.sh DIR PACKAGE PROGRAM...
set -euo pipefail
dir=${1:?usage: scripts/get-from-deb.sh DIR PACKAGE PROGRAM...}
package=${2:?usage: scripts/get-from-deb.sh DIR PACKAGE PROGRAM...}
shift 2
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
missing=0
for program in "$@"; do
  [ -x "$dir/$(basename "$program")" ] || missing=1
done
[ "$missing" -eq 0 ] && exit 0

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
if ! apt-get download "$package" >/dev/null 2>&1; then
  apt-get update -qq >/dev/null
  apt-get download "$package" >/dev/null
fi
dpkg -x "$package"_*.deb unpacked
for program in "$@"; do
  cp "unpacked/$program" "$dir/"
done
