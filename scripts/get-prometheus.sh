#!/usr/bin/env bash
# Puts the prometheus server and promtool into DIR and prints the server's
# path. Both ship in Debian's prometheus package, whose installation would
# also start a server, so the package is only downloaded and unpacked, never
# installed. One download serves both binaries.
# Usage: scripts/get-prometheus.sh DIR
set -euo pipefail
dir=${1:?usage: scripts/get-prometheus.sh DIR}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
if [ -x "$dir/prometheus" ] && [ -x "$dir/promtool" ]; then
  echo "$dir/prometheus"
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
cp unpacked/usr/bin/prometheus unpacked/usr/bin/promtool "$dir/"
echo "$dir/prometheus"
