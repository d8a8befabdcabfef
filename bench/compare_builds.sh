#!/usr/bin/env bash
# Two builds of the daemon side by side in one run: idle resident memory, `verify` calls per
# second under wrk, and resident memory right after the load and once the allocator trimmed:
#
#   bench/compare_builds.sh BUILD_A BUILD_B [ROUNDS]
#
# Each round starts both afresh (same root layout, user root:secret1, log level 3), A first in odd
# rounds and B first in even ones, so a machine that gets busier during the run weighs on both.
# Prints one row per start and the ratios B/A of the medians. BENCH_SECONDS (default 5) per wrk
# run, 2 threads, 16 connections. BENCH_ENV_A and BENCH_ENV_B are env(1) arguments for each
# daemon ("-u GLIBC_TUNABLES", "NAME=VALUE").
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[ $# -ge 2 ] || { echo "usage: $0 BUILD_A BUILD_B [ROUNDS]" >&2; exit 2; }
builds=("$(cd "$1" && pwd)" "$(cd "$2" && pwd)")
rounds=${3:-3}
seconds=${BENCH_SECONDS:-5}
python=/usr/bin/python3
source "$repo/bench/daemon.sh"

rss() { awk '/^VmRSS:/ {print $2}' "/proc/$daemon_pid/status"; }
post() { curl -sf -H 'Content-Type: application/json' --data-binary "$1" "http://127.0.0.1:$port/api"; }
rpc() {
  printf '{"jsonrpc":"2.0","id":"1","method":"invoke","params":{"serviceId":"%s","operationId":"%s","input":{},"ctx":{"securityCtx":%s}}}' \
    "$1" "$2" "$3"
}

declare -A rows
echo "| build | round | idle kB | verify calls/s | after load kB | trimmed kB |"
echo "|---|---:|---:|---:|---:|---:|"
for round in $(seq "$rounds"); do
  order="0 1"
  [ $((round % 2)) -eq 0 ] && order="1 0"
  for i in $order; do
    build=${builds[$i]}
    BENCH_DAEMON_ENV=$([ "$i" = 0 ] && echo "${BENCH_ENV_A:-}" || echo "${BENCH_ENV_B:-}")
    start_bench_daemon nox-compare
    sleep 1
    idle=$(rss)
    token=$(post "$(rpc com.tessel.nox.authentication.token create \
      '{"schemeId":"com.tessel.orbi.std.security.user_pass","userName":"root","password":"secret1"}')" |
      sed -n 's/.*"token":"\([^"]*\)".*/\1/p')
    body=$(rpc com.tessel.nox.authentication.verification verify \
      "{\"schemeId\":\"com.tessel.orbi.std.security.oauth\",\"accessToken\":\"$token\"}")
    summary=$(BENCH_BODY=$body BENCH_EXPECT='"root"' wrk -t2 -c16 -d"${seconds}s" \
      -s "$repo/bench/post.lua" "http://127.0.0.1:$port/api" | grep '^BENCH ')
    [[ $summary == *" bad=0 socket_errors=0" ]] || { echo "compare_builds: $summary" >&2; exit 1; }
    calls=$(sed 's/.*calls_per_s=\([0-9]*\).*/\1/' <<<"$summary")
    loaded=$(rss)
    sleep 6  # one trim period and a little
    trimmed=$(rss)
    stop_bench_daemon
    rm -rf "$work"
    echo "| ${builds[$i]} | $round | $idle | $calls | $loaded | $trimmed |"
    rows[$i]+="$idle $calls $loaded $trimmed"$'\n'
  done
done

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
echo
for column in 1 2 3 4; do
  name=$(echo "idle_kB verify_calls_per_s after_load_kB trimmed_kB" | cut -d' ' -f"$column")
  a=$(printf '%s' "${rows[0]}" | awk -v c="$column" 'NF {print $c}' | median)
  b=$(printf '%s' "${rows[1]}" | awk -v c="$column" 'NF {print $c}' | median)
  awk -v n="$name" -v a="$a" -v b="$b" 'BEGIN { printf "%s: A %s, B %s, B/A %.3f\n", n, a, b, b / a }'
done
