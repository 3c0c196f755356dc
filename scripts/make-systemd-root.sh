#!/usr/bin/env bash
# Makes ROOT: a minimal Debian 12 system (debootstrap minbase) with systemd
# as its init, for booting with systemd-nspawn, with apt's package lists
# current. Kept between runs; remade only when the packages below or this
# machine's archive change. The archive, its suites and keys are apt's own
# configuration on this machine, copied into the root.
# Usage: scripts/make-systemd-root.sh ROOT
set -euo pipefail
root=${1:?usage: scripts/make-systemd-root.sh ROOT}
suite=bookworm
# dbus for systemd-analyze security, curl for the HTTP checks, ssl-cert for
# the group the documented TLS recipe reads the key through.
packages=systemd,systemd-sysv,dbus,curl,ssl-cert

# The first archive apt uses for the suite, in deb822 or one-line form.
mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v suite=$suite '
  /^URIs:/ { uri = $2 }
  /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite && uri != "") { print uri; exit } }')
if [ -z "$mirror" ]; then
  mirror=$(cat /etc/apt/sources.list 2>/dev/null | awk -v suite=$suite '
    $1 == "deb" { for (i = 2; i < NF; i++) if ($i ~ /^[a-z]+:\/\// && $(i + 1) == suite) { print $i; exit } }')
fi
[ -n "$mirror" ] || { echo "no archive for $suite in apt's sources" >&2; exit 1; }

stamp="$suite $packages $mirror"
if [ -f "$root/.made" ] && [ "$(cat "$root/.made")" = "$stamp" ]; then
  exit 0
fi

rm -rf "$root" "$root.new"
mkdir -p "$(dirname "$root")"
echo "debootstrap $suite into $root"
timeout 1200 debootstrap --variant=minbase --include=$packages $suite "$root.new" "$mirror" \
  >"$root.log" 2>&1 || {
  tail -n 20 "$root.log" >&2
  exit 1
}
rm -f "$root.new/etc/apt/sources.list"
cp /etc/apt/sources.list.d/*.sources "$root.new/etc/apt/sources.list.d/" 2>/dev/null || true
[ ! -f /etc/apt/sources.list ] || cp /etc/apt/sources.list "$root.new/etc/apt/"
printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$root.new/etc/hosts"
timeout 600 systemd-nspawn -q -D "$root.new" --register=no --keep-unit \
  sh -c 'apt-get update -qq && apt-get clean' >>"$root.log" 2>&1 || {
  tail -n 20 "$root.log" >&2
  exit 1
}
echo "$stamp" >"$root.new/.made"
mv "$root.new" "$root"
