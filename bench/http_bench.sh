#!/usr/bin/env bash
# HTTP benchmarks of the daemon on loopback, each beside a stock nginx answering a static 200
# (the loopback ceiling) and the daemon's own HTTP layer answering alone (bench/transportFloor.cc,
# what verify costs below the API) in the same run:
#
#   bench/http_bench.sh [BUILD_DIR]   (default: build; needs noxtokend, pam_cost and transport_floor
#                                      in BUILD_DIR/bin)
#
# The peer beside them is oidc-provider's token introspection (bench/peer/), installed with npm into
# the run's temporary directory; without node, npm or the registry the table says so.
#
# Environment: BENCH_SECONDS (default 10) per run, BENCH_THREADS (2) and BENCH_CONNECTIONS (16)
# for wrk, BENCH_PAIRS (0) alternating nginx, HTTP layer and verify runs at the end with the
# medians of their ratios.
# Everything runs under a temporary directory; nothing outside it is written.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$repo/build}
case "$build" in /*) ;; *) build=$repo/$build ;; esac
daemon_bin=$build/bin/noxtokend
export GLIBC_TUNABLES=${GLIBC_TUNABLES-glibc.malloc.tcache_count=32}  # as the service unit sets it
pam_cost_bin=$build/bin/pam_cost
floor_bin=$build/bin/transport_floor
seconds=${BENCH_SECONDS:-10}
threads=${BENCH_THREADS:-2}
connections=${BENCH_CONNECTIONS:-16}
python=/usr/bin/python3

for tool in wrk nginx curl "$python"; do
  command -v "$tool" >/dev/null || { echo "http_bench: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
[ -x "$daemon_bin" ] || { echo "http_bench: $daemon_bin is not built" >&2; exit 1; }
[ -x "$pam_cost_bin" ] || { echo "http_bench: $pam_cost_bin is not built" >&2; exit 1; }
[ -x "$floor_bin" ] || { echo "http_bench: $floor_bin is not built" >&2; exit 1; }

work=$(mktemp -d /tmp/nox-bench.XXXXXX)
daemon_pid=""
nginx_pid=""
floor_pid=""
sampler_pid=""
peer_pid=""
cleanup() {
  for pid in $sampler_pid $peer_pid $nginx_pid $floor_pid $daemon_pid; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  "$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_listening() {
  local port=$1 pid=$2
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || { echo "http_bench: process $pid exited" >&2; return 1; }
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "http_bench: nothing listens on port $port" >&2
  return 1
}

# rpc SERVICE OPERATION [SECURITY_CONTEXT_JSON [INPUT_JSON]]: one JSON-RPC request body.
rpc() {
  local security=${3:-}
  local input=${4:-"{}"}
  local ctx=""
  [ -n "$security" ] && ctx=",\"ctx\":{\"securityCtx\":$security}"
  printf '{"jsonrpc":"2.0","id":"1","method":"invoke","params":{"serviceId":"%s","operationId":"%s","input":%s%s}}' \
    "$1" "$2" "$input" "$ctx"
}

user_pass() {
  printf '{"schemeId":"com.tessel.orbi.std.security.user_pass","userName":"%s","password":"%s"}' "$1" "$2"
}

vm_rss_kb() {
  awk '/^VmRSS:/ {print $2}' "/proc/$daemon_pid/status"
}

# Records the daemon's highest VmRSS into $work/rss.max until killed.
sample_rss() {
  local max=0 now
  while kill -0 "$daemon_pid" 2>/dev/null; do
    now=$(vm_rss_kb)
    if [ "${now:-0}" -gt "$max" ]; then
      max=$now
      echo "$max" >"$work/rss.max"
    fi
    sleep 0.5
  done
}

# cpu_ticks PID...: user and system clock ticks of the processes' threads so far.
cpu_ticks() {
  local pid
  for pid in "$@"; do cat "/proc/$pid"/task/*/stat; done 2>/dev/null |
    awk '{u += $14; s += $15} END {print u + 0, s + 0}'
}

# measure NAME URL BODY EXPECT [wrk options]: one wrk run; sets the globals
# <NAME>_rate <NAME>_p50 <NAME>_p99 <NAME>_bad <NAME>_requests, and <NAME>_cpu ("user/system
# microseconds a call") for the processes in $CPU_PIDS.
measure() {
  local name=$1 url=$2 body=$3 expect=$4
  shift 4
  local line before after
  before=$(cpu_ticks ${CPU_PIDS:-})
  line=$(BENCH_BODY=$body BENCH_EXPECT=$expect wrk "$@" -s "$repo/bench/post.lua" "$url" | grep '^BENCH ')
  after=$(cpu_ticks ${CPU_PIDS:-})
  echo "  $name: ${line#BENCH }" >&2
  for field in requests calls_per_s p50_ms p99_ms bad socket_errors; do
    local value
    value=$(sed -n "s/.* $field=\([0-9.]*\).*/\1/p" <<<" ${line#BENCH }")
    printf -v "${name}_${field}" '%s' "$value"
  done
  local requests_var=${name}_requests
  printf -v "${name}_cpu" '%s' "$("$python" -c '
import os, sys
b, a, n = sys.argv[1].split(), sys.argv[2].split(), int(sys.argv[3])
tick = 1e6 / os.sysconf("SC_CLK_TCK")
print("/".join(f"{(int(y) - int(x)) * tick / n:.1f}" for x, y in zip(b, a)) if n else "n/a")
' "$before" "$after" "${!requests_var}")"
}

ratio() {
  "$python" -c "import sys; a, b = map(float, sys.argv[1:]); print(f'{a / b:.3f}' if b else 'n/a')" "$1" "$2"
}

load=(-t"$threads" -c"$connections" -d"${seconds}s" --timeout 10s)

# --- daemon --------------------------------------------------------------------------------
daemon_port=$(free_port)
"$repo/scripts/dev-root" "$work/root" --port "$daemon_port" --log-level 3 \
  --user root:secret1 --user bench:bench-pw >/dev/null
TESSEL_ROOT=$work/root "$daemon_bin" 2>"$work/daemon.log" &
daemon_pid=$!
wait_listening "$daemon_port" "$daemon_pid"
daemon_url=http://127.0.0.1:$daemon_port/api

# --- nginx: the loopback ceiling -------------------------------------------------------------
nginx_port=$(free_port)
mkdir -p "$work/nginx/tmp"
cat >"$work/nginx/nginx.conf" <<EOF
daemon off;
worker_processes $threads;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx/tmp/body;
  proxy_temp_path $work/nginx/tmp/proxy;
  fastcgi_temp_path $work/nginx/tmp/fastcgi;
  uwsgi_temp_path $work/nginx/tmp/uwsgi;
  scgi_temp_path $work/nginx/tmp/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    location / { return 200 "ok"; }
  }
}
EOF
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx/" -e "$work/nginx/error.log" &
nginx_pid=$!
wait_listening "$nginx_port" "$nginx_pid"

# --- the daemon's HTTP layer alone, with the daemon's configuration ---------------------------
floor_port=$(free_port)
"$floor_bin" "$work/root/etc/tessel/cpservices/noxtoken/config.xml" "$floor_port" \
  2>"$work/floor.log" &
floor_pid=$!
wait_listening "$floor_port" "$floor_pid"
floor_url=http://127.0.0.1:$floor_port/api

# --- the peer: oidc-provider's introspection endpoint -------------------------------------------
source "$repo/bench/peer/peer.sh"
start_peer "$work"
[ -n "$peer_missing" ] && echo "http_bench: no peer: $peer_missing" >&2

echo "http_bench: wrk ${load[*]}, daemon on port $daemon_port, nginx on port $nginx_port" >&2
sleep 1
# Idle memory from daemons of its own, started as `make run` starts one (bench/idle_rss.sh).
rss_idle=$(bash "$repo/bench/idle_rss.sh" "$build" | sed -n 's/^idle_rss_kb=\([0-9]*\).*/\1/p')

provider_body=$(rpc com.tessel.orbi.std.introspection.provider get)
create_body=$(rpc com.tessel.nox.authentication.token create "$(user_pass bench bench-pw)")
wrong_body=$(rpc com.tessel.nox.authentication.token create "$(user_pass bench wrong-pw)")
# post BODY: the daemon's answer.
post() {
  curl -sf -H 'Content-Type: application/json' --data-binary "$1" "$daemon_url"
}
# oauth_of USER PASSWORD: the security context of a fresh daemon token of the user.
oauth_of() {
  local token
  token=$(post "$(rpc com.tessel.nox.authentication.token create "$(user_pass "$1" "$2")")" |
    "$python" -c 'import json, sys; print(json.load(sys.stdin)["result"]["output"]["token"])')
  printf '{"schemeId":"com.tessel.orbi.std.security.oauth","accessToken":"%s"}' "$token"
}
new_verify_body() {
  rpc com.tessel.nox.authentication.verification verify "$(oauth_of bench bench-pw)"
}

# Ten registered issuers for list; root's default profile makes its token an administrator's.
issuers_svc=com.tessel.nox.authentication.trust.security_token_issuers
issuers_admin=$(oauth_of root secret1)
for i in $(seq 10); do
  post "$(rpc "$issuers_svc" create "$issuers_admin" \
    "{\"spec\":{\"issuer_alias\":\"bench-$i\",\"issuer\":\"https://issuer-$i.test\",\"signing_cert_chains\":[]}}")" |
    grep -q '"output":null' || { echo "http_bench: cannot register issuer bench-$i" >&2; exit 1; }
done

sample_rss &
sampler_pid=$!

CPU_PIDS="$nginx_pid $(pgrep -P "$nginx_pid" | tr '\n' ' ')" \
  measure ceiling "http://127.0.0.1:$nginx_port/" "$provider_body" ok "${load[@]}"
CPU_PIDS=$floor_pid measure floor "$floor_url" "$(new_verify_body)" '"output"' "${load[@]}"
measure provider "$daemon_url" "$provider_body" AsyncLocalProvider "${load[@]}"
CPU_PIDS=$daemon_pid measure verify "$daemon_url" "$(new_verify_body)" '"bench"' "${load[@]}"
if [ -z "$peer_missing" ]; then
  BENCH_CONTENT_TYPE=application/x-www-form-urlencoded BENCH_AUTHORIZATION=$peer_auth \
    measure peer "$peer_url" "$peer_body" '"active":true' "${load[@]}"
  peer_row="| (g) peer: oidc-provider $peer_version token introspection (node, one process) | $peer_calls_per_s | $peer_p50_ms | $peer_p99_ms | $(ratio "$peer_calls_per_s" "$ceiling_calls_per_s") of ceiling; (b) is $(ratio "$verify_calls_per_s" "$peer_calls_per_s") × the peer |"
  peer_bad=", (g) $peer_bad"
  kill -TERM "$peer_pid" 2>/dev/null || true
  wait "$peer_pid" 2>/dev/null || true
  peer_pid=""
else
  peer_row="| (g) peer: oidc-provider $peer_version token introspection | not measured: $peer_missing | | | |"
  peer_bad=""
fi
measure create "$daemon_url" "$create_body" '"token"' "${load[@]}"
measure issuers "$daemon_url" "$(rpc "$issuers_svc" list "$(oauth_of root secret1)")" '"bench-10"' \
  "${load[@]}"
measure profile_get "$daemon_url" \
  "$(rpc com.tessel.nox.authentication.client_profiles get "$(oauth_of root secret1)" \
    '{"profile":"LU###root"}')" '"ADMINISTRATOR"' "${load[@]}"

# Two connections keep sending wrong passwords (each answer waits out PAM's failure delay) while
# the others verify.
verify_body=$(new_verify_body)
BENCH_BODY=$wrong_body BENCH_EXPECT=UNAUTHENTICATED \
  wrk -t1 -c2 -d"$((seconds + 2))s" --timeout 10s -s "$repo/bench/post.lua" "$daemon_url" \
  >"$work/wrong.txt" &
wrong_pid=$!
sleep 1
measure contended "$daemon_url" "$verify_body" '"bench"' "${load[@]}"
wait "$wrong_pid"
wrong_line=$(grep '^BENCH ' "$work/wrong.txt")
wrong_requests=$(sed -n 's/.* requests=\([0-9]*\).*/\1/p' <<<" ${wrong_line#BENCH }")
wrong_bad=$(sed -n 's/.* bad=\([0-9]*\).*/\1/p' <<<" ${wrong_line#BENCH }")

kill "$sampler_pid" 2>/dev/null || true
wait "$sampler_pid" 2>/dev/null || true
sampler_pid=""
rss_load=$(cat "$work/rss.max" 2>/dev/null || echo "$rss_idle")

# Resident memory with 1,000 connections open, each after one get call, and once they closed
# (the daemon trims its allocator every 5 s).
read -r rss_conns rss_closed conns_answered < <("$python" - "$repo/bench" "$daemon_port" "$daemon_pid" "$provider_body" <<'PY'
import resource, socket, sys, time
sys.path.insert(0, sys.argv[1])
import benchdaemon
port, pid, body = int(sys.argv[2]), sys.argv[3], sys.argv[4].encode()
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
request = benchdaemon.post_head(port, len(body)) + body
rss = lambda: next(l.split()[1] for l in open(f"/proc/{pid}/status") if l.startswith("VmRSS"))
sockets = [socket.create_connection(("127.0.0.1", port)) for _ in range(1000)]
for s in sockets:
    s.sendall(request)
answered = 0
for s in sockets:
    s.settimeout(10)
    answered += s.recv(65536).startswith(b"HTTP/1.1 200")
held = rss()
for s in sockets:
    s.close()
time.sleep(6)
print(held, rss(), answered)
PY
)

pam_line=$(TESSEL_ROOT=$work/root "$pam_cost_bin" bench bench-pw 500)
pam_rate=$(sed -n 's/.* calls_per_s=\([0-9.]*\).*/\1/p' <<<"$pam_line")
pam_p50=$(sed -n 's/.* p50_ms=\([0-9.]*\).*/\1/p' <<<"$pam_line")
pam_p99=$(sed -n 's/.* p99_ms=\([0-9.]*\).*/\1/p' <<<"$pam_line")

cat <<EOF

Date: $(date -u '+%Y-%m-%d %H:%M UTC'); machine: $(nproc) cores ($(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)); wrk ${load[*]}; load average $(cut -d' ' -f1-3 /proc/loadavg)

| measure | calls/s | p50 ms | p99 ms | ratio |
|---|---:|---:|---:|---|
| nginx static 200 (loopback ceiling) | $ceiling_calls_per_s | $ceiling_p50_ms | $ceiling_p99_ms | 1.00 |
| the daemon's HTTP layer alone, an answer of verify's size (transport_floor) | $floor_calls_per_s | $floor_p50_ms | $floor_p99_ms | $(ratio "$floor_calls_per_s" "$ceiling_calls_per_s") of ceiling |
| (a) introspection provider get | $provider_calls_per_s | $provider_p50_ms | $provider_p99_ms | $(ratio "$provider_calls_per_s" "$ceiling_calls_per_s") of ceiling |
| (b) verify with a daemon token | $verify_calls_per_s | $verify_p50_ms | $verify_p99_ms | $(ratio "$verify_calls_per_s" "$ceiling_calls_per_s") of ceiling, $(ratio "$verify_calls_per_s" "$floor_calls_per_s") of the HTTP layer |
| (c) create with user name and password | $create_calls_per_s | $create_p50_ms | $create_p99_ms | $(ratio "$create_calls_per_s" "$ceiling_calls_per_s") of ceiling, $(ratio "$create_calls_per_s" "$pam_rate") of PAM alone |
| (d) verify while 2 connections send wrong passwords | $contended_calls_per_s | $contended_p50_ms | $contended_p99_ms | $(ratio "$contended_calls_per_s" "$verify_calls_per_s") of (b) |
| (e) security_token_issuers list (10 issuers) with an administrator token | $issuers_calls_per_s | $issuers_p50_ms | $issuers_p99_ms | $(ratio "$issuers_calls_per_s" "$ceiling_calls_per_s") of ceiling |
| (f) client_profiles get with an administrator token | $profile_get_calls_per_s | $profile_get_p50_ms | $profile_get_p99_ms | $(ratio "$profile_get_calls_per_s" "$ceiling_calls_per_s") of ceiling |
$peer_row
| PAM alone (pam_cost, 1 thread, sequential) | $pam_rate | $pam_p50 | $pam_p99 | |

Wrong-password calls answered during (d): $wrong_requests (answers that were not UNAUTHENTICATED: $wrong_bad).
Bad answers (not 200 with the expected output): nginx $ceiling_bad, HTTP layer $floor_bad, (a) $provider_bad, (b) $verify_bad, (c) $create_bad, (d) $contended_bad, (e) $issuers_bad, (f) $profile_get_bad$peer_bad.
CPU a call (user/system microseconds, all threads, both cores): nginx $ceiling_cpu, HTTP layer $floor_cpu, (b) verify $verify_cpu.
Daemon resident memory (VmRSS): idle $rss_idle kB (median of 7 starts, bench/idle_rss.sh), highest under load $rss_load kB; with 1,000 connections open $rss_conns kB ($conns_answered of 1,000 answered), 6 s after they closed $rss_closed kB.
EOF

# BENCH_PAIRS=N: N more rounds of nginx, the HTTP layer and verify, in turn, with each round's
# ratios and their medians. Ten-second runs of the same build move by a quarter on a shared
# machine; medians of rounds tell a change from that.
pairs=${BENCH_PAIRS:-0}
if [ "$pairs" -gt 0 ]; then
  ratios=() floor_ratios=() above_ratios=()
  for i in $(seq "$pairs"); do
    CPU_PIDS="$nginx_pid $(pgrep -P "$nginx_pid" | tr '\n' ' ')" \
      measure ceiling "http://127.0.0.1:$nginx_port/" "$provider_body" ok "${load[@]}" 2>/dev/null
    CPU_PIDS=$floor_pid measure floor "$floor_url" "$verify_body" '"output"' "${load[@]}" 2>/dev/null
    CPU_PIDS=$daemon_pid measure verify "$daemon_url" "$verify_body" '"bench"' "${load[@]}" 2>/dev/null
    ratios+=("$(ratio "$verify_calls_per_s" "$ceiling_calls_per_s")")
    floor_ratios+=("$(ratio "$floor_calls_per_s" "$ceiling_calls_per_s")")
    above_ratios+=("$(ratio "$verify_calls_per_s" "$floor_calls_per_s")")
    echo "Round $i: nginx $ceiling_calls_per_s, HTTP layer $floor_calls_per_s, verify $verify_calls_per_s calls/s; CPU a call nginx $ceiling_cpu, HTTP layer $floor_cpu, verify $verify_cpu; verify ÷ nginx ${ratios[-1]}, HTTP layer ÷ nginx ${floor_ratios[-1]}, verify ÷ HTTP layer ${above_ratios[-1]}."
  done
  median() { "$python" -c 'import statistics, sys; print(f"{statistics.median(map(float, sys.argv[1:])):.3f}")' "$@"; }
  echo "verify ÷ nginx over $pairs rounds: median $(median "${ratios[@]}") (${ratios[*]})."
  echo "HTTP layer ÷ nginx: median $(median "${floor_ratios[@]}") (${floor_ratios[*]}); verify ÷ HTTP layer: median $(median "${above_ratios[@]}") (${above_ratios[*]})."
fi
