#!/usr/bin/env bash
# The example web configuration that the exporter's package ships must be
# one the exporter accepts: as it stands (TLS), and with its basic-auth
# section filled in as its comments say (TLS and a user).
# Usage: web_config_example_test.sh EXPORTER EXAMPLE
set -euo pipefail
exporter=$1
example=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/exporter_test_lib.sh
. "$here/../support/exporter_test_lib.sh"

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
  -subj /CN=localhost -keyout "$work/exporter.key" -out "$work/exporter.pem" 2>/dev/null

# accepts WANT: the exporter starts on $work/web.yml with a start line that
# mentions WANT, and stops cleanly on SIGTERM.
accepts() {
  start_exporter example --web.config.file="$work/web.yml" \
    --no-collector.disk-queues --no-collector.sessions --no-collector.sockets
  grep -q "$1" "$work/example.log" || fail "start line lacks '$1'"
  stop_within_5s example TERM
}

cp "$example" "$work/web.yml"
accepts "TLS on"

hash=$(printf '%s' 'a long test password' | "$exporter" --hash-password)
sed -e 's/^# basic_auth_users:/basic_auth_users:/' \
  -e "s|^#   prometheus: '\\\$2b\\\$10\\\$\\.\\.\\.'|  prometheus: '$hash'|" "$example" >"$work/web.yml"
grep -q "^  prometheus: '\\\$2" "$work/web.yml" || fail "the example's basic-auth lines have changed"
accepts "authentication on"
echo "the example web configuration is accepted, with and without its user"
