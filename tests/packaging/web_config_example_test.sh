#!/usr/bin/env bash
# The example web configuration that the exporter's package ships must be
# one the exporter accepts: as it stands (TLS), and with its basic-auth
# section filled in as its comments say (TLS and a user).
# Usage: web_config_example_test.sh EXPORTER EXAMPLE
set -euo pipefail
exporter=$1
example=$2
work=$(mktemp -d)
pid=
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; [ ! -f "$work/log" ] || cat "$work/log"; exit 1; }

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
  -subj /CN=localhost -keyout "$work/exporter.key" -out "$work/exporter.pem" 2>/dev/null

# Starts the exporter on FILE, on a free loopback port, and waits for its
# start line, which must mention WANT; then stops it, which must exit 0.
accepts() {
  local file=$1 want=$2
  "$exporter" --web.config.file="$file" --web.listen-address=127.0.0.1:0 \
    --no-collector.disk-queues --no-collector.sessions --no-collector.sockets 2>"$work/log" &
  pid=$!
  for _ in $(seq 100); do
    grep -q 'listening on' "$work/log" && break
    kill -0 "$pid" 2>/dev/null || { wait "$pid" || true; pid=; fail "$file refused"; }
    sleep 0.1
  done
  grep -q 'listening on' "$work/log" || fail "no start line for $file"
  grep -q "$want" "$work/log" || fail "$file: start line lacks '$want'"
  kill -TERM "$pid"
  wait "$pid" || fail "exit status $? after SIGTERM"
  pid=
}

cp "$example" "$work/web.yml"
accepts "$work/web.yml" "TLS on"

hash=$(printf '%s' 'a long test password' | "$exporter" --hash-password)
sed -e 's/^# basic_auth_users:/basic_auth_users:/' \
  -e "s|^#   prometheus: '\\\$2b\\\$10\\\$\\.\\.\\.'|  prometheus: '$hash'|" "$example" >"$work/web.yml"
grep -q "^  prometheus: '\\\$2" "$work/web.yml" || fail "the example's basic-auth lines have changed"
accepts "$work/web.yml" "authentication on"
echo "the example web configuration is accepted, with and without its user"
