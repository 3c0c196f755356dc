#!/usr/bin/env bash
# Puts the prometheus server and promtool into DIR and prints the server's
# path. Both ship in Debian's prometheus package, whose installation would
# also start a server, so the package is only downloaded and unpacked, never
# installed. One download serves both binaries.
# Usage: scripts/get-prometheus.sh DIR
set -euo pipefail
dir=${1:?usage: scripts/get-prometheus.sh DIR}
"$(dirname "$0")/get-from-deb.sh" "$dir" prometheus /usr/bin/prometheus /usr/bin/promtool
echo "$(cd "$dir" && pwd)/prometheus"
