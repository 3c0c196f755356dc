#!/usr/bin/env bash
# Checks the Debian packages that scripts/build-debs.sh left in DIR: lintian
# first, then, as root on this machine, installs them all with apt-get, uses
# them as an operator and a developer would, and purges them.
#
# The machine is shared, so its package set is left as found: the test will
# not start while any of these packages is known to dpkg, and the purge also
# takes whatever the install pulled in (if it is still marked automatic).
# Usage: deb_test.sh DIR
set -euo pipefail
[ $# = 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
dir=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }

packages=(libsanperf1 libsanperf-dev sanperf-tools sanperf-exporter sanperf-monitoring
  python3-sanperf libsanperf1-dbgsym sanperf-tools-dbgsym sanperf-exporter-dbgsym
  python3-sanperf-dbgsym)
unit=sanperf_exporter.service
recorder=sanperf-recorder.service

# One file for each package and nothing else, so apt-get installs exactly
# what was built.
debs=()
for p in "${packages[@]}"; do
  found=("$dir/${p}"_*.deb)
  [ ${#found[@]} = 1 ] && [ -f "${found[0]}" ] || fail "expected one ${p}_*.deb in $dir"
  debs+=("${found[0]}")
done
all_debs=("$dir"/*.deb)
[ ${#all_debs[@]} = ${#packages[@]} ] || fail "unexpected packages in $dir: ${all_debs[*]##*/}"
version=$(dpkg-deb -f "${debs[0]}" Version)
upstream_version=${version%-*}

# ---- lintian: every package listed in the .changes file -----------------
lintian --fail-on error,warning "$dir"/*.changes || fail "lintian reports errors or warnings"
echo "lintian: clean"

# ---- install, use, purge -------------------------------------------------
[ "$(id -u)" = 0 ] || fail "installing the packages needs root"
known_to_dpkg() {
  local status
  status=$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null || true)
  [ -n "$status" ] && [ "$status" != not-installed ]
}
for p in "${packages[@]}"; do
  ! known_to_dpkg "$p" || fail "$p is already on this machine; the test would purge it, so it stops"
done

export DEBIAN_FRONTEND=noninteractive
apt=(apt-get -y -q -o DPkg::Lock::Timeout=600 --no-install-recommends)
# What else the install pulls in, read from a dry run.
mapfile -t pulled < <("${apt[@]}" -s install "${debs[@]}" | awk '/^Inst /{print $2}' |
  grep -vxF -f <(printf '%s\n' "${packages[@]}") || true)

work=$(mktemp -d)
purge_all() {
  local to_purge=() p auto
  for p in "${packages[@]}"; do known_to_dpkg "$p" && to_purge+=("$p"); done
  auto=$(apt-mark showauto)
  for p in "${pulled[@]}"; do
    grep -qxF "$p" <<<"$auto" && to_purge+=("$p")
  done
  [ ${#to_purge[@]} = 0 ] || "${apt[@]}" purge "${to_purge[@]}" >"$work/purge.log" 2>&1
}
# Installing enables the exporter's unit and, where systemd runs, starts it
# on its fixed port; a runtime mask keeps this test from starting a server.
# The recorder is masked too: started, it would begin an archive here.
if [ -d /run/systemd/system ]; then
  systemctl mask --runtime --quiet "$unit" "$recorder"
  unmask() { systemctl unmask --runtime --quiet "$unit" "$recorder"; }
else
  unmask() { :; }
fi
trap 'status=$?; [ $status = 0 ] || purge_all || true; unmask; rm -rf "$work"; exit $status' EXIT

"${apt[@]}" install "${debs[@]}" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "apt-get install"; }
echo "installed: ${packages[*]}${pulled:+ (and pulled in: ${pulled[*]})}"

# The programs run from the installed library and name the packaged version.
for program in sanstat sanperf-sim sanperf_exporter; do
  out=$("$program" --version) || fail "$program --version exits non-zero"
  [ "$out" = "$program $upstream_version" ] || fail "$program --version: '$out'"
  page=$(man -w "$program") || fail "man -w $program finds no page"
  [ "$page" = "/usr/share/man/man1/$program.1.gz" ] || fail "man -w $program: $page"
done

# The exporter's unit is installed where systemd looks, and enabled.
[ -f "/lib/systemd/system/$unit" ] || fail "no /lib/systemd/system/$unit"
[ "$(readlink "/etc/systemd/system/multi-user.target.wants/$unit")" = "/lib/systemd/system/$unit" ] ||
  fail "$unit is not enabled after installation"
# Its flags come from a commented conffile in Debian's place; the socket
# unit is there but not enabled, as it would take the service's port.
dpkg-query -W -f='${Conffiles}' sanperf-exporter | grep -q " /etc/default/sanperf-exporter " ||
  fail "/etc/default/sanperf-exporter is no conffile"
grep -qx 'ARGS=""' /etc/default/sanperf-exporter || fail "/etc/default/sanperf-exporter has no empty ARGS"
grep -qx 'EnvironmentFile=-/etc/default/sanperf-exporter' "/lib/systemd/system/$unit" ||
  fail "$unit does not read /etc/default/sanperf-exporter"
[ -f /lib/systemd/system/sanperf_exporter.socket ] || fail "no /lib/systemd/system/sanperf_exporter.socket"
[ -z "$(find /etc/systemd/system -name sanperf_exporter.socket 2>/dev/null)" ] ||
  fail "sanperf_exporter.socket is enabled after installation"
# The recorder's unit too, with its settings in a commented conffile.
[ "$(readlink "/etc/systemd/system/multi-user.target.wants/$recorder")" = \
  "/lib/systemd/system/$recorder" ] || fail "$recorder is not enabled after installation"
dpkg-query -W -f='${Conffiles}' sanperf-tools | grep -q " /etc/default/sanperf-recorder " ||
  fail "/etc/default/sanperf-recorder is no conffile"
grep -qx 'ARGS=""' /etc/default/sanperf-recorder || fail "/etc/default/sanperf-recorder has no empty ARGS"
grep -qx 'EnvironmentFile=-/etc/default/sanperf-recorder' "/lib/systemd/system/$recorder" ||
  fail "$recorder does not read /etc/default/sanperf-recorder"
[ -f /usr/share/doc/sanperf-exporter/examples/web-config.example.yml ] ||
  fail "no example web configuration"

# The monitoring content where Prometheus and Grafana are told to look: the
# rules and alerts as configuration files, dashboards that parse as JSON.
for f in /etc/prometheus/sanperf/sanperf.rules.yml /etc/prometheus/sanperf/sanperf.alerts.yml; do
  [ -f "$f" ] || fail "no $f"
  dpkg-query -W -f='${Conffiles}' sanperf-monitoring | grep -q " $f " || fail "$f is no conffile"
done
for f in /usr/share/sanperf-monitoring/dashboards/sanperf-{server,fleet}.json; do
  python3 -c 'import json, sys; assert json.load(open(sys.argv[1]))["uid"]' "$f" ||
    fail "$f is no dashboard"
done
[ -f /usr/share/doc/sanperf-monitoring/runbooks.md ] || [ -f /usr/share/doc/sanperf-monitoring/runbooks.md.gz ] ||
  fail "no runbooks"
# The mixin they are rendered from, whole: it renders the installed alerts.
mixin=/usr/share/sanperf-monitoring/mixin
[ -f "$mixin/jsonnetfile.json" ] || fail "no jsonnetfile.json in $mixin"
if command -v jsonnet >/dev/null; then
  rendered=$(jsonnet -J "$mixin" -S -e \
    "std.join(' ', [r.alert for r in (import 'mixin.libsonnet').prometheusAlerts.groups[0].rules])")
  installed=$(sed -n 's/^ *- alert: "\(.*\)"$/\1/p' /etc/prometheus/sanperf/sanperf.alerts.yml | paste -sd ' ')
  [ -n "$rendered" ] && [ "$rendered" = "$installed" ] ||
    fail "the installed mixin renders the alerts '$rendered', the installed file has '$installed'"
elif [ "${CI:-}" = true ]; then
  fail "jsonnet is not available under CI"
else
  [ -f "$mixin/mixin.libsonnet" ] || fail "no mixin.libsonnet in $mixin"
fi

# The Python module, with Debian's own interpreter: found in its place,
# reading a simulated tree shown at /sys/kernel in a private mount
# namespace, and without a tree refusing with FileNotFoundError.
py=/usr/bin/python3
where=$(cd / && "$py" -c 'import sanperf; print(sanperf.__file__)') || fail "import sanperf"
[ "$where" = /usr/lib/python3/dist-packages/sanperf/__init__.py ] || fail "import sanperf finds $where"
sanperf-sim "$work/tree" --once --sessions 3 --sockets 3 >/dev/null
out=$(cd / && unshare --mount --propagation private -- sh -c \
  'mount --bind "$1" /sys/kernel && exec "$2" -c "import sanperf; print(sanperf.snapshot().sessions[:1])"' \
  sh "$work/tree" "$py") || fail "sanperf.snapshot() on a simulated tree"
case $out in "[SessionInfo(id="*) ;; *) fail "sanperf.snapshot().sessions[:1] gives: $out" ;; esac
out=$(cd / && unshare --mount --propagation private -- sh -c \
  'mount -t tmpfs none /sys/kernel && exec "$1" -c "import sanperf; sanperf.snapshot()"' \
  sh "$py" 2>&1) && fail "sanperf.snapshot() without a tree succeeds"
grep -q '^FileNotFoundError: .*/sys/kernel' <<<"$out" || fail "sanperf.snapshot() without a tree: $out"

# A consumer built against the -dev package, found through the system's own
# search paths: CMake's find_package, then pkg-config.
unset CMAKE_PREFIX_PATH PKG_CONFIG_PATH
cmake -S "$here/consumer" -B "$work/cmake-build" >"$work/cmake.log" 2>&1 &&
  cmake --build "$work/cmake-build" >>"$work/cmake.log" 2>&1 ||
  { cat "$work/cmake.log" >&2; fail "consumer with find_package"; }
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
grep -qx "sanperf_DIR:PATH=/usr/lib/$multiarch/cmake/sanperf" "$work/cmake-build/CMakeCache.txt" ||
  fail "find_package did not find the packaged CMake files: $(grep sanperf_DIR "$work/cmake-build/CMakeCache.txt")"
"$work/cmake-build/consumer" | grep -qE '^sessions: [0-9]+$' || fail "find_package consumer does not run"

# shellcheck disable=SC2046  # pkg-config's flags are meant to split
g++ -std=c++17 "$here/consumer/main.cpp" -o "$work/pc-consumer" $(pkg-config --cflags --libs sanperf) ||
  fail "consumer with pkg-config"
"$work/pc-consumer" | grep -qE '^sessions: [0-9]+$' || fail "pkg-config consumer does not run"

# The symbols file at work: a program built against the library gets a
# versioned dependency on the runtime package.
mkdir -p "$work/shlibs/debian"
printf 'Source: consumer\n\nPackage: consumer\nArchitecture: any\n' >"$work/shlibs/debian/control"
deps=$(cd "$work/shlibs" && dpkg-shlibdeps -O "$work/pc-consumer" 2>/dev/null)
grep -q "libsanperf1 (>= $upstream_version)" <<<"$deps" || fail "dpkg-shlibdeps gives: $deps"
echo "use: programs, man pages, the units, monitoring files, the Python module, consumers and the shlibs dependency work"

# Everything the packages put on the machine, to check the purge took it all.
for p in "${packages[@]}"; do dpkg-query -L "$p"; done | sort -u >"$work/files"
purge_all || { cat "$work/purge.log" >&2; fail "apt-get purge"; }
for p in "${packages[@]}" "${pulled[@]}"; do
  ! known_to_dpkg "$p" || fail "$p is still known to dpkg after the purge"
done
# A directory may stay when another package still owns it.
while IFS= read -r f; do
  [ "$f" = /. ] || [ ! -e "$f" ] || { [ -d "$f" ] && dpkg-query -S "$f" >/dev/null 2>&1; } ||
    fail "$f is left after the purge"
done <"$work/files"
left=$(find /etc/systemd /var/lib/systemd/deb-systemd-helper-enabled \( -name "$unit" -o \
  -name "$recorder" \) 2>/dev/null)
[ -z "$left" ] || fail "the purge leaves $left"
echo "purge: every package, file and unit link removed"
echo "package test passed"
