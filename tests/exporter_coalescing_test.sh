#!/usr/bin/env bash
# Concurrent scrapes share reads of the tree: many clients at once make far
# fewer reads than requests, every one answered 200; requests in flight at
# SIGTERM are still answered; beyond --web.max-requests they get 503. Needs
# root (--root).
# Usage: exporter_coalescing_test.sh EXPORTER SIMULATOR
set -euo pipefail
exporter=$1
sim=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=support/exporter_test_lib.sh
. "$here/support/exporter_test_lib.sh"

# Big enough that one read takes a while, small enough to write quickly.
"$sim" "$work/tree" --sessions 200 --sockets 200 --once

# The counts come from a client of their own: the 32 requests' client may
# be served the read its responses still in progress hold.
reads() {
  curl -sS --interface 127.0.0.3 "http://127.0.0.1:$1/metrics" | sed -n 's/^sanperf_exporter_tree_reads_total //p'
}

start_exporter shared --root="$work/tree"
before=$(reads "$port")
curl --no-progress-meter --parallel --parallel-immediate --parallel-max 32 -o /dev/null \
  -w '%{http_code}\n' "http://127.0.0.1:$port/metrics?client=[1-32]" >"$work/codes"
after=$(reads "$port")
[ "$(grep -c '^200$' "$work/codes")" -eq 32 ] || fail "not every request answered 200: $(sort "$work/codes" | uniq -c)"
# The read for the second count is its own; the 32 requests made the rest.
made=$((after - before - 1))
echo "32 concurrent requests, $made reads"
[ "$made" -ge 1 ] && [ $((made * 4)) -le 32 ] || fail "$made reads for 32 concurrent requests"

# SIGTERM with requests in flight: at least one still unanswered when the
# signal goes (a tree big enough that its read takes a while), and every
# one answered 200; then the exporter exits 0 within 5 seconds.
"$sim" "$work/big" --sessions 500 --sockets 500 --once
start_exporter stopping --root="$work/big"
signalled=$("$here/support/in_flight_at_signal.py" "$port" "${exporter_pid[stopping]}" TERM 8) ||
  fail "requests in flight at SIGTERM"
exited_within_5s stopping TERM "$signalled"

start_exporter limited --root="$work/tree" --web.max-requests=2
curl --no-progress-meter --parallel --parallel-immediate --parallel-max 32 -o /dev/null \
  -w '%{http_code}\n' "http://127.0.0.1:$port/metrics?client=[1-32]" >"$work/codes"
grep -q '^503$' "$work/codes" || fail "no 503 beyond --web.max-requests: $(sort "$work/codes" | uniq -c)"
grep -q '^200$' "$work/codes" || fail "no request served within --web.max-requests"
! grep -qv '^\(200\|503\)$' "$work/codes" || fail "unexpected codes: $(sort "$work/codes" | uniq -c)"
# Read whole first: grep -q leaving early would fail curl's write.
curl -sS -o "$work/body" "http://127.0.0.1:$port/metrics"
grep -q '^sanperf_exporter_requests_total{code="503"} [1-9]' "$work/body" ||
  fail "the 503 answers are not counted"
echo PASS
