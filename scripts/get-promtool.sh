#!/usr/bin/env bash
# Puts promtool into DIR and prints its path. promtool ships in Debian's
# prometheus package, whose installation would also enable the server, so
# the package is only downloaded and unpacked, never installed.
# Usage: scripts/get-promtool.sh DIR
set -euo pipefail
dir=${1:?usage: scripts/get-promtool.sh DIR}
mkdir -p "$dir"
if [ -x "$dir/promtool" ]; then
  echo "$dir/promtool"
  exit 0
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
if ! apt-get download prometheus >/dev/null 2>&1; then
  apt-get update -qq >/dev/null
  apt-get download prometheus >/dev/null
fi
dpkg -x prometheus_*.deb unpacked
cp unpacked/usr/bin/promtool "$dir/promtool"
cd - >/dev/null
echo "$(cd "$dir" && pwd)/promtool"
