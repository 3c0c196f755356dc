#!/usr/bin/env bash
# Builds the Debian packages and checks what each holds and depends on.
# Usage: deb_test.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null)
shopt -s nullglob
lib=("$work"/out/libsanperf1_*.deb)
dev=("$work"/out/libsanperf-dev_*.deb)
tools=("$work"/out/sanperf-tools_*.deb)
[ ${#lib[@]} = 1 ] && [ ${#dev[@]} = 1 ] && [ ${#tools[@]} = 1 ] ||
  fail "expected one each of libsanperf1, libsanperf-dev, sanperf-tools: $(ls "$work/out")"

for deb in "${lib[0]}" "${dev[0]}" "${tools[0]}"; do
  name=$(basename "$deb" | cut -d_ -f1)
  dpkg-deb -x "$deb" "$work/root-$name"
done

# The runtime package: the real file and the SONAME link, no development link.
so=$(find "$work/root-libsanperf1" -name 'libsanperf.so.1.*' -type f)
[ -n "$so" ] || fail "libsanperf1 lacks the library file"
soname=$(objdump -p "$so" | awk '/SONAME/ {print $2}')
[ "$soname" = libsanperf.so.1 ] || fail "SONAME is '$soname'"
[ -L "$(dirname "$so")/libsanperf.so.1" ] || fail "libsanperf1 lacks the SONAME link"
[ -z "$(find "$work/root-libsanperf1" -name libsanperf.so)" ] || fail "libsanperf1 holds the .so link"
dpkg-deb -f "${lib[0]}" Depends | grep -q libc6 || fail "libsanperf1 does not depend on libc6"

# The development package: header, .so link, pkg-config and CMake files.
dev_root=$work/root-libsanperf-dev/usr
[ -f "$dev_root/include/sanperf.h" ] || fail "libsanperf-dev lacks the header"
for f in libsanperf.so sanperf.pc sanperfConfig.cmake sanperfConfigVersion.cmake sanperfTargets.cmake; do
  [ -n "$(find "$dev_root/lib" -name "$f")" ] || fail "libsanperf-dev lacks $f"
done
[ "$(readlink "$(find "$dev_root/lib" -name libsanperf.so)")" = libsanperf.so.1 ] ||
  fail "libsanperf.so does not point at the SONAME"
dpkg-deb -f "${dev[0]}" Depends | grep -q 'libsanperf1 (= ' || fail "libsanperf-dev does not depend on libsanperf1"
grep -qx 'prefix=/usr' "$(find "$dev_root/lib" -name sanperf.pc)" || fail "sanperf.pc does not name /usr"

# The tools package: both programs, depending on the library package.
for t in sanstat sanperf-sim; do
  [ -x "$work/root-sanperf-tools/usr/bin/$t" ] || fail "sanperf-tools lacks $t"
done
dpkg-deb -f "${tools[0]}" Depends | grep -q libsanperf1 || fail "sanperf-tools does not depend on libsanperf1"
echo "package test passed"
