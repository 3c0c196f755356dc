#!/usr/bin/env bash
# sanperf_exporter's basic-auth logins under attack, over plain HTTP on
# loopback: honest clients on 127.0.0.1, wrong passwords from 127.0.0.2.
# Failed logins past the limit get 429, an honest login never gets 503
# because of a flood, bcrypt never stalls the threads serving connections,
# and a reload keeps logins whose hash stayed. Collectors are off.
# Usage: exporter_login_test.sh EXPORTER
set -euo pipefail
exporter=$1
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=support/exporter_test_lib.sh
. "$here/support/exporter_test_lib.sh"
quiet=(--no-collector.disk-queues --no-collector.sessions --no-collector.sockets)

# bcrypt COST PASSWORD: a hash at any cost (--hash-password makes cost 10 only).
bcrypt() {
  python3 -W ignore -c 'import crypt, sys
print(crypt.crypt(sys.argv[2], crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=2 ** int(sys.argv[1]))))' "$1" "$2"
}
# code URL CURL-ARGS...: the status of one request.
code() { curl -sS -o /dev/null -w '%{http_code}' "${@:2}" "$1"; }
# hashes URL CREDENTIALS: the exporter's count of bcrypt checks.
hashes() {
  curl -sS -u "$2" "$1" | sed -n 's/^sanperf_exporter_password_hashes_total \([0-9]*\)$/\1/p'
}
attacker=(--interface 127.0.0.2)
right='right horse'
hash10=$(bcrypt 10 "$right")

# ---- Failed logins past 5 per 10 s: 429 with Retry-After, without bcrypt ----
printf "basic_auth_users:\n  alice: '%s'\n" "$hash10" >"$work/one.yml"
start_exporter limit --web.config.file="$work/one.yml" "${quiet[@]}"
url=http://127.0.0.1:$port/metrics
# Wrong passwords until the first 429: after 5 failures, or a few more when
# a loaded machine makes them take longer than the 2 s that refills one.
started=$(date +%s%N)
for i in $(seq 20); do
  curl -sS "${attacker[@]}" -u "alice:wrong$i" -D "$work/h" -o /dev/null "$url"
  grep -q '^HTTP/1.1 429 ' "$work/h" && break
  status_is "$work/h" 401
done
refills=$((($(date +%s%N) - started) / 2000000000))
[ "$i" -gt 5 ] && [ "$i" -le $((6 + refills)) ] ||
  fail "the first 429 came at attempt $i, not after 5 failures and $refills refills"
before=$(hashes "$url" "alice:$right")
curl -sS "${attacker[@]}" -u alice:wrong -D "$work/h" -o /dev/null "$url"
status_is "$work/h" 429
retry=$(sed -n 's/^Retry-After: \([0-9]*\)\r$/\1/Ip' "$work/h")
[ "$retry" = 2 ] || [ "$retry" = 1 ] || fail "Retry-After '$retry' is not the 2 s a failure takes to refill"
# Past the limit even the right password is refused, so cached logins cannot
# be probed; another address is not held back.
[ "$(code "$url" "${attacker[@]}" -u "alice:$right")" = 429 ] || fail "the limit let a password through"
[ "$(code "$url" -u "alice:$right")" = 200 ] || fail "the honest address was held back"
[ "$(hashes "$url" "alice:$right")" = "$before" ] || fail "bcrypt ran for a request answered 429"
wait_for_log limit 'level=warn msg="too many failed logins, answered 429" client=127.0.0.2 limit="5 per 10s"'
grep -q 'level=warn msg="failed login" client=127.0.0.2' "$work/limit.log" || fail "failed logins not logged"
sleep "$((retry + 1))"
[ "$(code "$url" "${attacker[@]}" -u "alice:$right")" = 200 ] || fail "no login after Retry-After"
stop_within_5s limit TERM

# ---- A reload keeps the logins of users whose hash stayed --------------------
start_exporter reload --web.config.file="$work/one.yml" "${quiet[@]}"
url=http://127.0.0.1:$port/metrics
reloaded() {  # N: wait for the Nth reload line
  for _ in $(seq 100); do
    [ "$(grep -c 'level=info msg="reloaded ' "$work/reload.log")" -ge "$1" ] && return 0
    sleep 0.05
  done
  fail "reload $1 never logged"
}
[ "$(hashes "$url" "alice:$right")" = 1 ] || fail "the first login did not take one bcrypt check"
printf "basic_auth_users:\n  alice: '%s'\n  bob: '%s'\n" "$hash10" "$hash10" >"$work/one.yml"
kill -HUP "${exporter_pid[reload]}"
reloaded 1
[ "$(hashes "$url" "alice:$right")" = 1 ] || fail "a reload that kept alice's hash lost her login"
# A new hash of the same password is a new login.
printf "basic_auth_users:\n  alice: '%s'\n" "$(bcrypt 10 "$right")" >"$work/one.yml"
kill -HUP "${exporter_pid[reload]}"
reloaded 2
[ "$(hashes "$url" "alice:$right")" = 2 ] || fail "alice's login outlived her hash"
stop_within_5s reload TERM

# ---- 30 first logins while two connections send wrong passwords --------------
{
  echo "basic_auth_users:"
  echo "  victim: '$hash10'"
  for i in $(seq 30); do echo "  user$i: '$hash10'"; done
} >"$work/many.yml"
start_exporter flood --web.config.file="$work/many.yml" "${quiet[@]}"
url=http://127.0.0.1:$port/metrics
flood() {  # SECONDS: two keep-alive connections of wrong passwords, until
  # $work/calm exists or for SECONDS at most
  local end=$((SECONDS + $1)) n
  for n in 1 2; do
    while [ $SECONDS -lt $end ] && [ ! -e "$work/calm" ]; do
      curl -s "${attacker[@]}" -u victim:wrong -o /dev/null -w '%{http_code}\n' "$url?[1-50]" || true
    done >"$work/flood$n" &
    pids+=($!)
  done
}
flood 20
sleep 0.5
for i in $(seq 30); do code "$url" -u "user$i:$right"; echo; done >"$work/honest"
touch "$work/calm"
wait "${pids[@]: -2}"
[ "$(grep -c '^200$' "$work/honest")" = 30 ] || fail "honest first logins: $(sort "$work/honest" | uniq -c | xargs)"
grep -q '^429$' "$work/flood1" || fail "the flood was never answered 429"
! grep -qv '^\(401\|429\)$' "$work/flood1" "$work/flood2" || fail "the flood got other answers"
stop_within_5s flood TERM

# ---- Cached scrapes while the checking threads run slow bcrypt checks --------
# victim's hash takes about 1 s per check; five wrong passwords keep the
# checking threads busy for 2 s and more. Four logged-in clients scrape 10
# times a second over keep-alive connections, which the daemon's threads
# share out among themselves: none of their scrapes may wait for bcrypt,
# where a scrape takes milliseconds.
printf "basic_auth_users:\n  alice: '%s'\n  victim: '%s'\n" "$(bcrypt 4 "$right")" "$(bcrypt 14 x)" \
  >"$work/slow.yml"
start_exporter slow --web.config.file="$work/slow.yml" "${quiet[@]}"
url=http://127.0.0.1:$port/metrics
[ "$(code "$url" -u "alice:$right")" = 200 ] || fail "alice could not log in"
scrapers=()
for n in 1 2 3 4; do
  curl -sS -m 20 --rate 10/s -u "alice:$right" -o /dev/null -w '%{http_code} %{time_total}\n' \
    "$url?[1-15]" >"$work/scrapes$n" &
  scrapers+=($!)
done
pids+=("${scrapers[@]}")
sleep 0.3
attackers=()
for i in 1 2 3 4 5; do
  curl -s -m 30 "${attacker[@]}" -u "victim:wrong$i" -o /dev/null "$url?[1-3]" &
  attackers+=($!)
done
pids+=("${attackers[@]}")
wait "${scrapers[@]}"
cat "$work"/scrapes? >"$work/scrapes"
[ "$(grep -c '^200 ' "$work/scrapes")" = 60 ] || fail "cached scrapes failed: $(cut -d' ' -f1 "$work/scrapes" | sort | uniq -c | xargs)"
slowest=$(sort -k2 -g "$work/scrapes" | tail -1 | cut -d' ' -f2)
awk -v t="$slowest" 'BEGIN {exit !(t < 0.5)}' || fail "a cached scrape took $slowest s behind bcrypt checks"
# alice's login was one check; all five of the flood's done would mean the
# scrapes ran after them.
[ "$(hashes "$url" "alice:$right")" -lt 6 ] || fail "the checks were over before the scrapes: nothing measured"
# A stop waits for the checks running (those queued get 503); not measured here.
wait "${attackers[@]}"
stop_within_5s slow TERM
echo "PASS"
