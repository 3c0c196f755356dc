#!/usr/bin/env bash
# Installs what debian/control's Build-Depends names and this machine lacks,
# so the packages' build needs no list of its own. Like install-deps.sh, it
# calls apt-get only when something is missing, and without root it prints
# the line to run and fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh dpkg-dev
dpkg-checkbuilddeps 2>/dev/null && exit 0

if [ "$(id -u)" -ne 0 ]; then
  dpkg-checkbuilddeps || true
  echo "install them with: sudo apt-get build-dep ./" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get build-dep -y -qq --no-install-recommends ./
