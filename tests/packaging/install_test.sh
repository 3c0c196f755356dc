#!/usr/bin/env bash
# Installs the build into a fresh prefix and builds the consumer there twice,
# with find_package and with pkg-config + g++, then runs both; then checks
# that a whole install holds the programs, their man pages and the units.
# Usage: install_test.sh BUILD_DIR
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" --component runtime >/dev/null
cmake --install "$build" --prefix "$prefix" --component dev >/dev/null
libdir=$(ls -d "$prefix"/lib*/ | head -n1)
libdir=${libdir%/}

cmake -S "$here/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/cmake-build/consumer" | grep -qx 'sessions: 0'

export PKG_CONFIG_PATH=$libdir/pkgconfig
pc_libdir=$(pkg-config --variable=libdir sanperf)
pc_includedir=$(pkg-config --variable=includedir sanperf)
[ "$pc_libdir" = "$libdir" ] || { echo "pkg-config libdir $pc_libdir, expected $libdir"; exit 1; }
[ -f "$pc_includedir/sanperf.h" ] || { echo "no sanperf.h in $pc_includedir"; exit 1; }
g++ -std=c++17 "$here/consumer/main.cpp" -o "$work/pc-consumer" $(pkg-config --cflags --libs sanperf)
LD_LIBRARY_PATH=$libdir "$work/pc-consumer" | grep -qx 'sessions: 0'
# The whole install: the programs this build made, their man pages (built
# whenever scdoc is there) and the exporter's units.
cmake --install "$build" --prefix "$work/all" >/dev/null
for program in sanstat sanperf-sim sanperf_exporter; do
  [ -x "$build/tools/$program/$program" ] || continue
  [ -x "$work/all/bin/$program" ] || { echo "no $program installed"; exit 1; }
  if command -v scdoc >/dev/null; then
    [ -s "$work/all/share/man/man1/$program.1" ] || { echo "no man page of $program"; exit 1; }
  fi
done
if [ -x "$build/tools/sanperf_exporter/sanperf_exporter" ]; then
  for unit in sanperf_exporter.service sanperf_exporter.socket; do
    [ -f "$work/all/lib/systemd/system/$unit" ] || { echo "no $unit installed"; exit 1; }
  done
fi
echo "install test passed"
