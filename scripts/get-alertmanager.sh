#!/usr/bin/env bash
# Puts Alertmanager into DIR and prints the path of DIR/alertmanager. It
# ships in Debian's prometheus-alertmanager package, whose installation would
# also start the service, so the package is only downloaded and unpacked,
# never installed.
#
# Debian's build reads its default notification templates from the fixed
# directory /usr/share/prometheus/alertmanager, which an unpacked package
# does not fill. So DIR/alertmanager is a wrapper that runs the real program
# (DIR/alertmanager.bin) in a private mount namespace where that directory
# shows the templates kept in DIR/alertmanager-share; it needs root, as a
# test's mount namespace does, and leaves the host's /usr/share untouched.
# Usage: scripts/get-alertmanager.sh DIR
set -euo pipefail
dir=${1:?usage: scripts/get-alertmanager.sh DIR}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
templates=alertmanager-share/prometheus/alertmanager
if [ -x "$dir/alertmanager.bin" ] && [ -f "$dir/$templates/default.tmpl" ] &&
  [ -x "$dir/alertmanager" ]; then
  echo "$dir/alertmanager"
  exit 0
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
if ! apt-get download prometheus-alertmanager >/dev/null 2>&1; then
  apt-get update -qq >/dev/null
  apt-get download prometheus-alertmanager >/dev/null
fi
dpkg -x prometheus-alertmanager_*.deb unpacked
cp unpacked/usr/bin/prometheus-alertmanager "$dir/alertmanager.bin"
mkdir -p "$dir/$templates"
cp unpacked/usr/share/prometheus/alertmanager/*.tmpl "$dir/$templates/"
cat >"$dir/alertmanager" <<'WRAPPER'
#!/bin/sh
# Alertmanager with its default templates where it looks for them; made by
# scripts/get-alertmanager.sh.
here=$(dirname "$(readlink -f "$0")")
exec unshare --mount --propagation private sh -c '
  here=$1
  shift
  mount -t overlay overlay -o "lowerdir=$here/alertmanager-share:/usr/share" /usr/share || exit 1
  exec "$here/alertmanager.bin" "$@"' sh "$here" "$@"
WRAPPER
chmod +x "$dir/alertmanager"
echo "$dir/alertmanager"
