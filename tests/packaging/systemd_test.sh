#!/usr/bin/env bash
# The Debian packages under a real systemd: boots ROOT (scripts/
# make-systemd-root.sh) with systemd-nspawn, systemd as PID 1 and no
# network, installs the .debs of DEB_DIR with apt, and checks every unit the
# packages ship as it runs. The root itself stays as it is: each run boots a
# copy, and the packages' dependencies are fetched into it before the boot.
# Every command has a time limit, and the container is stopped on any exit.
# Usage: tests/packaging/systemd_test.sh DEB_DIR ROOT   (as root)
set -euo pipefail
debs=$(cd "${1:?usage: systemd_test.sh DEB_DIR ROOT}" && pwd)
root=$(cd "${2:?usage: systemd_test.sh DEB_DIR ROOT}" && pwd)
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$root.run
started=$SECONDS

nspawn_pid=
leader=
cleanup() {
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    # SIGTERM asks systemd inside to power off; then it is killed.
    kill -TERM "$nspawn_pid" 2>/dev/null || true
    for _ in $(seq 40); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.5; done
    kill -KILL "$nspawn_pid" 2>/dev/null || true
    wait "$nspawn_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

failures=()
pass() { echo "PASS: $*"; }
fail() { echo "FAIL: $*"; failures+=("$*"); }
# check NAME COMMAND...: one check, its result printed, the run going on.
check() {
  local name=$1
  shift
  if "$@"; then
    pass "$name"
  else
    fail "$name"
    ct systemctl status --no-pager -n 8 "$unit" 2>&1 | sed 's/^/  | /' || true
  fi
}

mapfile -t packages < <(ls "$debs"/*.deb)
[ ${#packages[@]} -gt 0 ] || { echo "no .deb in $debs" >&2; exit 1; }
# Every unit the packages ship; each must have checks below.
mapfile -t units < <(for deb in "${packages[@]}"; do dpkg-deb -c "$deb"; done |
  awk '{ print $NF }' | grep -E '^\./(usr/)?lib/systemd/system/[^/]+\.(service|socket|timer|path)$' |
  xargs -rn1 basename | sort -u)

# A fresh copy of the root, with the packages' dependencies fetched while
# there is a network.
rm -rf "$work"
cp -a --reflink=auto "$root" "$work"
mkdir "$work/debs"
cp "${packages[@]}" "$work/debs/"
fetch() {
  timeout 600 systemd-nspawn -q -D "$work" --register=no --keep-unit sh -c \
    'apt-get install -qq --download-only -y /debs/*.deb' >"$work.fetch.log" 2>&1
}
fetch || {
  timeout 300 systemd-nspawn -q -D "$work" --register=no --keep-unit apt-get update -qq &&
    fetch
} || { cat "$work.fetch.log" >&2; exit 1; }
rm -f "$work.fetch.log"

# Two self-signed server certificates, as two CAs would issue them.
mkdir -p "$work/srv/certs"
for name in a b; do
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost \
    -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout "$work/srv/certs/$name.key" \
    -out "$work/srv/certs/$name.pem" 2>/dev/null
done

echo "booting $work ($((SECONDS - started)) s so far)"
SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 SYSTEMD_SECCOMP=0 timeout 1200 systemd-nspawn -q -b -D "$work" \
  --register=no --keep-unit --private-network --capability=CAP_BPF,CAP_PERFMON \
  >"$work.console" 2>&1 </dev/null &
nspawn_pid=$!

children() {
  local d
  for d in /proc/[0-9]*; do
    [ "$(awk '/^PPid:/ { print $2 }' "$d/status" 2>/dev/null)" = "$1" ] && echo "${d#/proc/}"
  done
  return 0
}
# The container's PID 1: systemd, a child of nspawn's child.
for _ in $(seq 100); do
  for child in $(children "$nspawn_pid"); do
    for pid in $(children "$child"); do
      [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = systemd ] && leader=$pid
    done
  done
  [ -n "$leader" ] && break
  sleep 0.2
done
[ -n "$leader" ] || { cat "$work.console" >&2; echo "the container did not start" >&2; exit 1; }

# ct COMMAND...: runs in the container, within 120 s.
ct() {
  nsenter -t "$leader" -a -r -w env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    timeout 120 "$@"
}
state=$(ct systemctl is-system-running --wait || true)
echo "booted: $state ($((SECONDS - started)) s so far)"
unit=sanperf_exporter.service

# ---- Helpers ---------------------------------------------------------------
prop() { ct systemctl show -P "$2" "$1"; }
# until_true SECONDS COMMAND...: polls the command until it succeeds.
until_true() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.3
  done
}
is_state() { [ "$(prop "$1" ActiveState)" = "$2" ]; }
# http URL [CURL ARGS...]: the status code, 000 when no answer came.
http() {
  local url=$1
  shift
  ct curl -s -o /dev/null -w '%{http_code}' --max-time 5 "$@" "$url" || true
}
# Piped commands are read to their end (grep without -q): under pipefail a
# writer cut off by a closed pipe would fail the check.
body() { ct curl -sS --max-time 5 "$@"; }
served() { [ "$(http "$1")" = 200 ]; }
set_args() {
  printf 'ARGS="%s"\n%s\n' "$1" "${2:-}" | ct sh -c 'cat >/etc/default/sanperf-exporter'
}
# dropin NAME [TEXT]: a drop-in of the unit, removed when TEXT is absent.
dropin() {
  if [ $# -gt 1 ]; then
    printf '[Service]\n%s\n' "$2" | ct sh -c "mkdir -p /etc/systemd/system/$unit.d &&
      cat >/etc/systemd/system/$unit.d/$1.conf"
  else
    ct rm -f "/etc/systemd/system/$unit.d/$1.conf"
  fi
  ct systemctl daemon-reload
}
# The start limit counts manual starts too: the checks' many restarts
# must not reach it.
restart() {
  ct systemctl reset-failed "$unit" 2>/dev/null || true
  ct systemctl restart "$unit"
}
restart_served() { restart && until_true 10 served "${1:-http://127.0.0.1:9748/-/healthy}"; }
# unit_log [JOURNALCTL ARGS...]: the unit's lines. (--after-cursor together
# with -p misses lines in systemd 252's journalctl: the checks look for text
# of their own instead.)
unit_log() { ct journalctl -q -o cat -u "$unit" "$@"; }
write_web_config() { ct sh -c 'mkdir -p /etc/sanperf && cat >/etc/sanperf/web.yml'; }

# ---- Checks ----------------------------------------------------------------
no_procps() { ! ct sh -c 'test -e /bin/kill || test -e /usr/bin/kill'; }
check "the root is minimal: no procps, so no /bin/kill" no_procps

installed() {
  ct sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -qq /debs/*.deb' >/dev/null 2>&1 &&
    [ "$(ct systemctl is-enabled "$unit")" = enabled ] &&
    until_true 10 served http://127.0.0.1:9748/-/healthy
}
check "install enables and starts $unit" installed

hardened() {
  local pid status
  pid=$(prop "$unit" MainPID)
  status=$(ct cat "/proc/$pid/status")
  awk '/^Uid:/ { exit !($2 >= 61184 && $2 <= 65519) }' <<<"$status" &&
    grep -qx $'CapEff:\t0000000000000000' <<<"$status" &&
    grep -qx $'CapPrm:\t0000000000000000' <<<"$status" &&
    grep -qx $'CapBnd:\t0000000000000000' <<<"$status" &&
    grep -qx $'NoNewPrivs:\t1' <<<"$status" &&
    grep -qx $'Seccomp:\t2' <<<"$status"
}
check "$unit runs as a dynamic user, no capabilities, NoNewPrivs, seccomp" hardened

# The recorder: enabled and started by the install, keeping its archive in
# its state directory even while there is no tree (read back as no sampling),
# confined like the exporter, and stopped with its sampling stored.
recorder=sanperf-recorder.service
recorder_records() {
  [ "$(ct systemctl is-enabled "$recorder")" = enabled ] && is_state "$recorder" active &&
    until_true 30 ct test -s /var/lib/sanperf/archive.db
}
check "install enables and starts $recorder, which keeps /var/lib/sanperf/archive.db" \
  recorder_records
unit=$recorder check "$recorder runs as a dynamic user, no capabilities, NoNewPrivs, seccomp" hardened
recorder_stops() {
  local out
  ct systemctl stop "$recorder" && [ "$(prop "$recorder" Result)" = success ] || return 1
  # No tree, so no sampling: said of an archive that was opened, not refused.
  out=$(ct sanstat --archive /var/lib/sanperf/archive.db 2>&1 || true)
  grep -q 'holds no sampling of the tree' <<<"$out" && ct systemctl start "$recorder"
}
check "$recorder stops cleanly and its archive reads back" recorder_stops

# The container's own /sys/kernel has no statistics tree.
nothing_for_a_missing_tree() {
  local text
  text=$(body http://127.0.0.1:9748/metrics)
  grep -qx 'sanperf_up 0' <<<"$text" &&
    [ "$(grep -c '^sanperf_scrape_collector_success{.*} 0$' <<<"$text")" = 3 ] &&
    grep -q '^sanperf_exporter_build_info{' <<<"$text" &&
    ! grep -E '^sanperf_(disk_queue|session|socket)' <<<"$text"
}
check "no tree: sanperf_up 0, the success series, no object series" nothing_for_a_missing_tree

# Generic checks of every shipped unit; each unit must have its own too.
verify_clean() { [ -z "$(ct systemd-analyze verify "/lib/systemd/system/$1" 2>&1)" ]; }
scores=()
for u in "${units[@]}"; do
  case $u in
    sanperf_exporter.service | sanperf_exporter.socket | sanperf-recorder.service) ;;
    *) fail "$u: the packages ship it, and this test has no checks for it" ;;
  esac
  check "systemd-analyze verify $u: clean" verify_clean "$u"
  if [[ $u == *.service ]]; then
    score=$(ct systemd-analyze security "$u" 2>/dev/null |
      sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p' || true)
    scores+=("$u $score")
    check "systemd-analyze security $u: ${score:-none} <= 1.5" \
      awk -v s="${score:-99}" 'BEGIN { exit !(s <= 1.5) }'
  fi
done

# A simulated tree bound over /sys/kernel.
ct sanperf-sim /srv/tree --once --sessions 3 --sockets 2 >/dev/null
dropin tree 'BindReadOnlyPaths=/srv/tree:/sys/kernel'
reads_the_tree() {
  restart_served &&
    body http://127.0.0.1:9748/metrics | grep '^sanperf_session_samples_total{session=' >/dev/null &&
    body http://127.0.0.1:9748/metrics | grep -x 'sanperf_up 1' >/dev/null
}
check "a simulated tree bound over /sys/kernel by a drop-in is read" reads_the_tree

# /etc/default: a host name binds every address it resolves to.
set_args "--web.listen-address=localhost:9749" "SANPERF_TIME_UNIT=us"
defaults_apply() {
  restart_served http://127.0.0.1:9749/-/healthy && served 'http://[::1]:9749/-/healthy' &&
    body http://127.0.0.1:9749/metrics | grep -x 'sanperf_time_unit_seconds 1e-06' >/dev/null
}
check "/etc/default: ARGS and SANPERF_TIME_UNIT apply; localhost is [::1] and 127.0.0.1" \
  defaults_apply

thousands() { sed ':a; s/\([0-9]\)\([0-9]\{3\}\)\($\|,\)/\1,\2\3/; ta' <<<"$1"; }
# The start-up line and the docs give the limits the unit's LimitNOFILE gives.
limits_documented() {
  local limit line total per_source
  limit=$(ct systemctl show -P LimitNOFILE "$unit")
  line=$(ct journalctl -q -o cat -u "$unit" | grep 'listening on' | tail -n 1)
  total=$(sed -n 's/.* max_connections=\([0-9]*\).*/\1/p' <<<"$line")
  per_source=$(sed -n 's/.* max_connections_per_source=\([0-9]*\).*/\1/p' <<<"$line")
  grep -q "descriptor_limit=$limit " <<<"$line" && [ -n "$total" ] &&
    tr '\n' ' ' <"$top/docs/exporter.md" | tr -s ' ' |
    grep -F "LimitNOFILE=$limit\` that is $(thousands "$total") connections and $per_source from" >/dev/null
}
check "the start-up line names the descriptor limit; docs/exporter.md has its figures" \
  limits_documented

# Reload: a changed file applies; a refused one fails systemctl reload.
frame_options() {
  [ "$(ct curl -sS -D - -o /dev/null --max-time 5 http://127.0.0.1:9749/ | tr -d '\r' |
    sed -n 's/^x-frame-options: //Ip')" = "$1" ]
}
printf 'http_server_config:\n  headers:\n    X-Frame-Options: deny\n' | write_web_config
set_args "--web.listen-address=localhost:9749 --web.config.file=/etc/sanperf/web.yml"
restart_served http://127.0.0.1:9749/-/healthy || true
reload_applies() {
  printf 'http_server_config:\n  headers:\n    X-Frame-Options: sameorigin\n' | write_web_config
  ct systemctl reload "$unit" && until_true 5 frame_options sameorigin
}
check "systemctl reload applies a changed web configuration" reload_applies
refused_reload_fails() {
  printf 'http_server_config:\n  refused_key_for_test: 1\n' | write_web_config
  ! ct systemctl reload "$unit" 2>/dev/null && frame_options sameorigin &&
    until_true 5 eval 'unit_log -p err | grep refused_key_for_test >/dev/null'
}
check "a refused web configuration fails systemctl reload, at priority err, old one in force" \
  refused_reload_fails
warning_priority() {
  printf "basic_auth_users:\n  u: '%s'\n" "$(printf pw | ct sanperf_exporter --hash-password)" |
    write_web_config
  ct systemctl reload "$unit" && until_true 5 eval 'unit_log -p warning..warning | grep "in clear" >/dev/null'
}
check "a warning reaches the journal at priority warning" warning_priority

# Certificate rotation the way docs/exporter.md has it: the key readable by
# the ssl-cert group, which the unit joins.
install_pair() {
  ct install -m 0644 "/srv/certs/$1.pem" /etc/sanperf/exporter.pem
  ct install -m 0640 -g ssl-cert "/srv/certs/$2.key" /etc/sanperf/exporter.key
}
tls_ok() { [ "$(http https://127.0.0.1:9749/-/healthy --cacert "/srv/certs/$1.pem")" = 200 ]; }
install_pair a a
printf 'tls_server_config:\n  cert_file: exporter.pem\n  key_file: exporter.key\n' | write_web_config
dropin tls 'SupplementaryGroups=ssl-cert'
restart || true
until_true 10 tls_ok a || true
rotates() {
  tls_ok a && install_pair b a && ! ct systemctl reload "$unit" 2>/dev/null && tls_ok a &&
    install_pair b b && ct systemctl reload "$unit" && until_true 5 tls_ok b && ! tls_ok a
}
check "certificate rotation: a stale key fails the reload; key and certificate renewed, reload serves them" \
  rotates

# SystemCallErrorNumber=kill: a system call outside the filter would kill
# the exporter instead of failing. TLS, basic auth, gzip, collect[], a
# reload, a lockout and the stop must all stay inside.
hash=$(printf pw | ct sanperf_exporter --hash-password)
printf "tls_server_config:\n  cert_file: exporter.pem\n  key_file: exporter.key\nbasic_auth_users:\n  u: '%s'\n" \
  "$hash" | write_web_config
dropin kill 'SystemCallErrorNumber=kill'
restart || true
until_true 10 tls_ok b || true
tls=(--cacert /srv/certs/b.pem)
within_filter() {
  local pid code i
  pid=$(prop "$unit" MainPID)
  [ "$(http https://127.0.0.1:9749/metrics "${tls[@]}" -u u:pw)" = 200 ] || return 1
  body https://127.0.0.1:9749/metrics "${tls[@]}" -u u:pw --compressed | grep '^sanperf_up 1' >/dev/null ||
    return 1
  body "https://127.0.0.1:9749/metrics?collect%5B%5D=sessions" "${tls[@]}" -u u:pw |
    grep '^sanperf_session_' >/dev/null || return 1
  ct systemctl reload "$unit" || return 1
  # 5 failures at once, then one more every 2 s: slow bcrypt may earn a few.
  for i in $(seq 20); do
    code=$(http https://127.0.0.1:9749/metrics "${tls[@]}" -u u:wrong --interface 127.0.0.2)
    [ "$code" = 401 ] || break
  done
  [ "$code" = 429 ] || return 1
  [ "$(http https://127.0.0.1:9749/metrics "${tls[@]}" -u u:pw)" = 200 ] || return 1
  [ "$(prop "$unit" MainPID)" = "$pid" ] && [ "$(prop "$unit" NRestarts)" = 0 ] || return 1
  local t0=$SECONDS
  ct systemctl stop "$unit" || return 1
  echo "  stopped in $((SECONDS - t0)) s"
  [ "$(prop "$unit" Result)" = success ] && [ "$(prop "$unit" ExecMainCode)" = 1 ] &&
    [ "$(prop "$unit" ExecMainStatus)" = 0 ]
}
check "SystemCallErrorNumber=kill: TLS, auth, gzip, collect[], reload, lockout, stop (exit 0)" \
  within_filter
dropin kill
dropin tls
ct rm -rf /etc/sanperf
set_args ""

crash_restarts() {
  local pid
  restart_served || return 1
  pid=$(prop "$unit" MainPID)
  ct sh -c "kill -SEGV $pid"
  until_true 20 eval '[ "$(prop "$unit" MainPID)" != "$pid" ] && [ "$(prop "$unit" MainPID)" != 0 ]' &&
    until_true 10 served http://127.0.0.1:9748/-/healthy && [ "$(prop "$unit" NRestarts)" -ge 1 ]
}
check "a crash restarts the service" crash_restarts

allow_list() {
  dropin allow $'IPAddressDeny=any\nIPAddressAllow=127.0.0.2'
  restart &&
    until_true 10 eval '[ "$(http http://127.0.0.2:9748/-/healthy --interface 127.0.0.2)" = 200 ]' &&
    [ "$(http http://127.0.0.2:9748/-/healthy --interface 127.0.0.2)" = 200 ] &&
    [ "$(http http://127.0.0.2:9748/-/healthy --interface 127.0.0.1 --max-time 2)" = 000 ]
}
check "an admin's IPAddressDeny=any + IPAddressAllow=127.0.0.2: 127.0.0.1 gets nothing" allow_list
dropin allow

ends_failed() {
  set_args "$1"
  restart 2>/dev/null || true
  until_true 60 is_state "$unit" failed
}
check "a configuration error (--root, exit 1) ends in failed" ends_failed "--root=/srv/tree"
echo "  after $(prop "$unit" NRestarts) restarts"
usage_error_stops() { ends_failed --no-such-flag && [ "$(prop "$unit" NRestarts)" = 0 ]; }
check "a usage error (exit 2) ends in failed without a restart" usage_error_stops

socket=sanperf_exporter.socket
set_args "--web.systemd-socket"
ct systemctl reset-failed "$unit"
ct systemctl disable -q --now "$unit"
ct systemctl enable -q --now "$socket"
socket_activates() {
  served http://127.0.0.1:9748/-/healthy && is_state "$unit" active &&
    [ "$(prop "$unit" TriggeredBy)" = "$socket" ]
}
check "$socket: the first connection starts the service on the passed socket" socket_activates
socket_without_flag() {
  set_args ""
  ct systemctl stop "$unit"
  http http://127.0.0.1:9748/-/healthy --max-time 3 >/dev/null
  until_true 30 is_state "$unit" failed &&
    until_true 5 eval 'unit_log -p err | grep "LISTEN_FDS.*--web.systemd-socket is not given" >/dev/null' &&
    ! unit_log | grep 'already in use' >/dev/null
}
check "$socket enabled without --web.systemd-socket: failed, one line saying why" \
  socket_without_flag
ct systemctl disable -q --now "$socket"
ct systemctl reset-failed "$unit" "$socket" 2>/dev/null || true
ct systemctl enable -q --now "$unit"

reinstall_restarts() {
  local pid
  until_true 10 served http://127.0.0.1:9748/-/healthy || return 1
  pid=$(prop "$unit" MainPID)
  ct sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall \
    /debs/sanperf-exporter_*.deb' >/dev/null 2>&1 &&
    until_true 10 served http://127.0.0.1:9748/-/healthy && [ "$(prop "$unit" MainPID)" != "$pid" ]
}
check "reinstalling restarts the service" reinstall_restarts

purge_leaves_nothing() {
  dropin tree
  ct rmdir "/etc/systemd/system/$unit.d"
  mapfile -t names < <(for deb in "${packages[@]}"; do dpkg-deb -f "$deb" Package; done)
  ct env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${names[@]}" >/dev/null 2>&1 &&
    ct systemctl daemon-reload &&
    [ -z "$(ct find / -xdev -name '*sanperf*' -not -path '/debs/*')" ] &&
    [ -z "$(ct systemctl list-units --all --plain --no-legend 'sanperf*')" ] &&
    ! ct sh -c 'dpkg -l | grep -q sanperf'
}
check "purge leaves no file, unit or package behind" purge_leaves_nothing

echo "systemd-analyze security: ${scores[*]}"
echo "took $((SECONDS - started)) s"
if [ ${#failures[@]} -gt 0 ]; then
  echo "${#failures[@]} check(s) failed:"
  printf '  %s\n' "${failures[@]}"
  exit 1
fi
