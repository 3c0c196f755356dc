#!/usr/bin/env bash
# sanperf_exporter's start as systemd and an operator meet it: --check-config,
# sockets passed without --web.systemd-socket, a host name with several
# addresses in --web.listen-address, the descriptor limit in the start-up
# line; and no series for what cannot be read, checked by promtool too.
# Needs root (--root, and a private /etc/hosts) and python3.
# Usage: exporter_startup_test.sh EXPORTER SIMULATOR PROMETHEUS_DIR
set -euo pipefail
exporter=$1
sim=$2
promdir=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=support/exporter_test_lib.sh
. "$here/support/exporter_test_lib.sh"
need_prometheus promtool

"$sim" "$work/tree" --once --sessions 2 --sockets 2 >/dev/null
mkdir "$work/empty"

# ---- --check-config ------------------------------------------------------------
printf 'http_server_config:\n  headers:\n    X-Frame-Options: deny\n' >"$work/good.yml"
printf 'http_server_config:\n  refused_key: 1\n' >"$work/bad.yml"
"$exporter" --check-config --web.config.file="$work/good.yml" 2>"$work/check.log" ||
  fail "--check-config refuses a good file"
grep -q 'level=info msg="configuration valid"' "$work/check.log" || fail "no verdict: $(cat "$work/check.log")"
rc=0
"$exporter" --check-config --web.config.file="$work/bad.yml" --web.listen-address=127.0.0.1:0 \
  2>"$work/check.log" || rc=$?
[ "$rc" -eq 1 ] || fail "--check-config of a refused file exits $rc, not 1"
grep -q 'level=error .*refused_key' "$work/check.log" || fail "no reason: $(cat "$work/check.log")"
! grep -q 'listening' "$work/check.log" || fail "--check-config listened"

# ---- Sockets passed without --web.systemd-socket -------------------------------
# Told to bind its own port, the exporter would leave the passed socket's
# connections hanging; it refuses to start instead, saying why.
sa_port=$(free_port)
systemd-socket-activate -l "127.0.0.1:$sa_port" "$exporter" --root="$work/tree" 2>"$work/sa.log" &
pids+=($!)
wait_for_log sa "Listening on 127.0.0.1:$sa_port"
curl -sS --max-time 3 -o /dev/null "http://127.0.0.1:$sa_port/metrics" 2>/dev/null &&
  fail "served without --web.systemd-socket"
wait_for_log sa 'level=error msg="systemd passed 1 socket(s) (LISTEN_FDS) but --web.systemd-socket is not given'
! grep -q 'cannot listen' "$work/sa.log" || fail "tried its own port: $(cat "$work/sa.log")"

# ---- A host name binds every address it resolves to -----------------------------
# Two addresses for one name, in an /etc/hosts of this test's own.
printf '127.0.0.1 localhost\n127.0.0.4 sanperf-test-host\n127.0.0.5 sanperf-test-host\n' >"$work/hosts"
unshare -m sh -c 'mount --bind "$1" /etc/hosts && exec "$2" --web.listen-address=sanperf-test-host:0 --root="$3"' \
  sh "$work/hosts" "$exporter" "$work/tree" 2>"$work/name.log" &
pids+=($!)
wait_for_log name 'listening on'
name_port=$(sed -n 's/.*listening on 127\.0\.0\.4:\([0-9]*\), 127\.0\.0\.5:\1".*/\1/p' "$work/name.log")
[ -n "$name_port" ] || fail "not on both addresses at one port: $(cat "$work/name.log")"
for address in 127.0.0.4 127.0.0.5; do
  curl -sS --max-time 5 -o /dev/null "http://$address:$name_port/-/healthy" ||
    fail "nothing on $address, one of the name's addresses"
done
# Port 0 means one port free on every address: in a network namespace whose
# only free ports are 40000 and 40001, with 40000 taken on the second
# address, the name gets 40001 however the first address's port is drawn.
cat >"$work/one-port.sh" <<'EOF'
set -e
ip link set lo up
sysctl -qw net.ipv4.ip_local_port_range="40000 40001"
mount --bind "$1" /etc/hosts
python3 -c 'import socket, time
s = socket.socket(); s.bind(("127.0.0.5", 40000)); s.listen()
print("held", flush=True); time.sleep(60)' >"$4" &
# The holder goes with the script, or the test would wait on its stderr.
trap "kill $!" EXIT
until [ -s "$4" ]; do sleep 0.05; done
for _ in 1 2 3 4 5 6; do
  : >"$5"
  "$2" --web.listen-address=sanperf-test-host:0 --root="$3" 2>>"$5" &
  until grep -q 'listening on\|cannot listen' "$5"; do sleep 0.05; done
  kill "$!"
  wait "$!" || true
  ! grep -q 'cannot listen' "$5"
done
EOF
unshare -n -m sh "$work/one-port.sh" "$work/hosts" "$exporter" "$work/tree" "$work/held" \
  "$work/one-port.log" ||
  fail "port 0 on a name whose port is taken on its other address: $(cat "$work/one-port.log")"
# One address that cannot be bound fails the start, naming it.
printf '127.0.0.4 sanperf-test-host\n192.0.2.1 sanperf-test-host\n' >"$work/hosts"
rc=0
unshare -m sh -c 'mount --bind "$1" /etc/hosts && exec "$2" --web.listen-address=sanperf-test-host:0 --root="$3"' \
  sh "$work/hosts" "$exporter" "$work/tree" 2>"$work/name.log" || rc=$?
[ "$rc" -eq 1 ] || fail "an address that cannot be bound exits $rc, not 1"
grep -q 'err="sanperf-test-host resolves to 192.0.2.1, which cannot be bound' "$work/name.log" ||
  fail "the address is not named: $(cat "$work/name.log")"

# ---- The start-up line says which descriptor limit applied ----------------------
(
  ulimit -n 1000
  exec "$exporter" --web.listen-address=127.0.0.1:0 --root="$work/tree" 2>"$work/limit.log"
) &
pids+=($!)
wait_for_log limit 'listening on'
grep -q 'descriptor_limit=1000 max_connections=872 max_connections_per_source=54' "$work/limit.log" ||
  fail "limits in the start-up line: $(cat "$work/limit.log")"

# ---- No series for what cannot be read ------------------------------------------
# Without the tree: sanperf_up 0, each collector's success 0 and the
# exporter's own families, and nothing that would read as zeros.
for args in "" --collector.sockets.aggregate; do
  start_exporter "empty$args" --root="$work/empty" $args
  curl -sS -o "$work/body" "http://127.0.0.1:$port/metrics"
  grep -qx 'sanperf_up 0' "$work/body" || fail "sanperf_up is not 0 without the tree"
  [ "$(grep -c '^sanperf_scrape_collector_success{collector="[a-z-]*"} 0$' "$work/body")" -eq 3 ] ||
    fail "not three failed collectors: $(grep collector_success "$work/body")"
  grep -q '^sanperf_exporter_build_info{' "$work/body" && grep -q '^process_open_fds ' "$work/body" ||
    fail "the exporter's own families are missing"
  ! grep -E '^sanperf_(disk_queue|session|socket)' "$work/body" ||
    fail "series for a tree that is not there ($args)"
  "$promdir/promtool" check metrics <"$work/body" || fail "promtool rejects the missing tree's exposition"
done
# A disk queue whose directory is missing has no series; the others stay.
rm -r "$work/tree/disk_queue/disk2_3"
start_exporter partial --root="$work/tree"
curl -sS -o "$work/body" "http://127.0.0.1:$port/metrics"
! grep -q 'queue="disk2_3"' "$work/body" || fail "series for the missing queue disk2_3"
[ "$(grep -c '^sanperf_disk_queue_max_num_active{' "$work/body")" -eq 31 ] ||
  fail "not the 31 queues present: $(grep -c '^sanperf_disk_queue_max_num_active{' "$work/body")"
"$promdir/promtool" check metrics <"$work/body" || fail "promtool rejects the partial tree's exposition"
echo "exporter start-up tests passed"
