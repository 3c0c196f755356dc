#!/usr/bin/env bash
# What the web configuration file costs a scrape, measured with curl against
# exporters on loopback with their collectors off (so the gate in front is
# what differs): a request with no auth, with basic auth on a user's first
# request (one bcrypt at cost 10) and on later ones (the login cache), and a
# new connection over TLS against one over plain HTTP.
# Usage: bench/exporter_security.sh EXPORTER [REQUESTS]
set -euo pipefail
exporter=$(realpath "${1:?usage: bench/exporter_security.sh EXPORTER [REQUESTS]}")
n=${2:-200}
here=$(cd "$(dirname "$0")/../tests" && pwd)
# shellcheck source=../tests/support/exporter_test_lib.sh
. "$here/support/exporter_test_lib.sh"
quiet=(--no-collector.disk-queues --no-collector.sessions --no-collector.sockets)

(
  cd "$work"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost \
    -addext subjectAltName=DNS:localhost -keyout server.key -out server.pem
) >/dev/null 2>&1
hash=$(printf 'bench password' | "$exporter" --hash-password)
users=20
{
  echo "basic_auth_users:"
  for i in $(seq "$users"); do echo "  user$i: '$hash'"; done
} >"$work/auth.yml"
printf 'tls_server_config:\n  cert_file: server.pem\n  key_file: server.key\n' >"$work/tls.yml"

# median of the numbers on standard input, in milliseconds
median_ms() { sort -g | awk '{v[NR] = $1} END {printf "%.3f", 1000 * v[int((NR + 1) / 2)]}'; }

start_exporter open "${quiet[@]}"
open=http://127.0.0.1:$port/metrics
start_exporter auth --web.config.file="$work/auth.yml" "${quiet[@]}"
auth=http://127.0.0.1:$port/metrics
start_exporter tls --web.config.file="$work/tls.yml" "${quiet[@]}"
tls=https://localhost:$port/metrics

# One keep-alive connection each; the first request warms it up.
no_auth=$(curl -s -o /dev/null -w '%{time_total}\n' "$open?[0-$n]" | tail -n +2 | median_ms)
first=$(for i in $(seq "$users"); do
  curl -s -o /dev/null -u "user$i:bench password" -w '%{time_total}\n' "$auth"
done | median_ms)
cached=$(curl -s -o /dev/null -u 'user1:bench password' -w '%{time_total}\n' "$auth?[0-$n]" | tail -n +2 | median_ms)

# A new connection per request.
plain_new=$(for _ in $(seq 50); do curl -s -o /dev/null -w '%{time_total}\n' "$open"; done | median_ms)
tls_new=$(for _ in $(seq 50); do
  curl -s -o /dev/null --cacert "$work/server.pem" -w '%{time_total}\n' "$tls"
done | median_ms)
handshake=$(for _ in $(seq 50); do
  curl -s -o /dev/null --cacert "$work/server.pem" -w '%{time_appconnect} %{time_connect}\n' "$tls"
done | awk '{print $1 - $2}' | median_ms)

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
echo "median request time, one keep-alive connection ($n requests):"
echo "  no auth:                   $no_auth ms"
echo "  basic auth, cached:        $cached ms  ($(ratio "$cached" "$no_auth") x no auth)"
echo "  basic auth, first request: $first ms  ($(ratio "$first" "$no_auth") x no auth; median of $users users)"
echo "new connection per request (50 each):"
echo "  plain HTTP:                $plain_new ms"
echo "  TLS 1.3:                   $tls_new ms  ($(ratio "$tls_new" "$plain_new") x plain)"
echo "  of which the TLS handshake: $handshake ms"
