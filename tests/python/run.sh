#!/usr/bin/env bash
# Runs the Python module's tests with Debian's pytest, inside a private
# mount namespace with an empty tmpfs over /sys/kernel, so they write their
# trees on the module's real fixed path and never the host's.
# Usage: tests/python/run.sh BUILD_DIR [pytest arguments]
set -euo pipefail
build=$(cd "${1:?usage: run.sh BUILD_DIR [pytest arguments]}" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)
for f in "$build/python/sanperf/__init__.py" "$build/tools/sanstat/sanstat" \
  "$build/tools/sanperf-sim/sanperf-sim"; do
  [ -e "$f" ] || { echo "run.sh: $f is not built" >&2; exit 1; }
done
export PYTHONPATH=$build/python SANSTAT=$build/tools/sanstat/sanstat \
  SANPERF_SIM=$build/tools/sanperf-sim/sanperf-sim PYTHONDONTWRITEBYTECODE=1 \
  MYPY_CACHE_DIR=$build/python/mypy-cache
# As root the namespace is ours directly; otherwise through a user namespace.
[ "$(id -u)" = 0 ] && as=() || as=(--map-root-user)
exec unshare "${as[@]}" --mount --propagation private -- sh -c \
  'mount -t tmpfs -o mode=0755 sanperf-test /sys/kernel && exec "$@"' sh \
  /usr/bin/python3 -m pytest -p no:cacheprovider -q "$here" "$@"
