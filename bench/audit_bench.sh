#!/usr/bin/env bash
# The audit trail's cost over HTTP: `verify` and password `create` against a daemon with the trail
# on beside one with it off, in the same run, alternating so that both see the same machine:
#
#   bench/audit_bench.sh [BUILD_DIR]     (default: build; needs noxtokend, wrk)
#
# Prints calls per second of each and the ratio on/off (1.000 = no cost). Environment:
# BENCH_SECONDS (default 5) per run, BENCH_ROUNDS (2), BENCH_THREADS (2), BENCH_CONNECTIONS (16).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$repo/build}
case "$build" in /*) ;; *) build=$repo/$build ;; esac
seconds=${BENCH_SECONDS:-5}
rounds=${BENCH_ROUNDS:-2}
threads=${BENCH_THREADS:-2}
connections=${BENCH_CONNECTIONS:-16}
python=/usr/bin/python3
command -v wrk >/dev/null || { echo "audit_bench: wrk is missing (scripts/install-deps.sh)" >&2; exit 1; }

work=$(mktemp -d /tmp/nox-audit-bench.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# start NAME AUDIT_ELEMENT: a daemon under $work/NAME; sets port_NAME.
start() {
  local name=$1 audit=$2 port
  port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  "$repo/scripts/dev-root" "$work/$name" --port "$port" --log-level 3 --user root:secret1 >/dev/null
  sed -i "s|</config>|$audit</config>|" "$work/$name/etc/tessel/cpservices/noxtoken/config.xml"
  TESSEL_ROOT=$work/$name "$build/bin/noxtokend" 2>"$work/$name.log" &
  pids+=($!)
  for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.05; done
  printf -v "port_$name" '%s' "$port"
}
start on "<audit><required>true</required></audit>"
start off "<audit><enabled>false</enabled></audit>"

body() {
  printf '{"jsonrpc":"2.0","id":"1","method":"invoke","params":{"serviceId":"com.tessel.nox.authentication.%s","operationId":"%s","input":%s,"ctx":{"securityCtx":%s}}}' "$@"
}
password='{"schemeId":"com.tessel.orbi.std.security.user_pass","userName":"root","password":"secret1"}'
create_body=$(body token create '{}' "$password")
# The token of each daemon verifies on that daemon only (each root has its own secret).
verify_body() {
  local token
  token=$(curl -sf -H 'Content-Type: application/json' --data-binary "$create_body" \
    "http://127.0.0.1:$1/api" | sed -n 's/.*"token":"\([^"]*\)".*/\1/p')
  body verification verify '{}' "{\"schemeId\":\"com.tessel.orbi.std.security.oauth\",\"accessToken\":\"$token\"}"
}
verify_on=$(verify_body "$port_on")
verify_off=$(verify_body "$port_off")

declare -A total
# run KEY PORT BODY EXPECT: adds the run's calls per second to total[KEY].
run() {
  local line rate
  line=$(BENCH_BODY=$3 BENCH_EXPECT=$4 wrk -t"$threads" -c"$connections" -d"${seconds}s" \
    --timeout 10s -s "$repo/bench/post.lua" "http://127.0.0.1:$2/api" | grep '^BENCH ')
  echo "  $1: ${line#BENCH }" >&2
  case "$line" in *" bad=0 "*) ;; *) echo "audit_bench: $1 had bad answers" >&2; exit 1 ;; esac
  rate=$(sed -n 's/.* calls_per_s=\([0-9.]*\).*/\1/p' <<<"$line")
  total[$1]=$("$python" -c "print(${total[$1]:-0} + $rate)")
}
for round in $(seq "$rounds"); do
  echo "round $round" >&2
  run verify_off "$port_off" "$verify_off" '"root"'
  run verify_on "$port_on" "$verify_on" '"root"'
  run create_off "$port_off" "$create_body" '"token"'
  run create_on "$port_on" "$create_body" '"token"'
done

records=$(wc -l <"$work/on/var/log/tessel/noxtokend/audit.log")
printf '%-8s %14s %14s %10s\n' call "off calls/s" "on calls/s" "on/off"
for call in verify create; do
  "$python" -c "import sys; c, off, on, n = sys.argv[1], float(sys.argv[2]) / int(sys.argv[4]), float(sys.argv[3]) / int(sys.argv[4]), 0
print(f'{c:<8} {off:14.1f} {on:14.1f} {on / off:10.3f}')" "$call" "${total[${call}_off]}" "${total[${call}_on]}" "$rounds"
done
echo "audit records written by the daemon with the trail on: $records"
