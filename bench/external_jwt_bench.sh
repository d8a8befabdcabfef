#!/usr/bin/env bash
# Token creation with an external issuer's RS256 JWT over HTTP, beside the floor of OpenSSL's
# RSA-2048 verification on one core (`openssl speed rsa2048`) and `verify` of the daemon's own
# token in the same run (a create also mints a token, so `verify` bounds it from above):
#
#   bench/external_jwt_bench.sh [BUILD_DIR]     (default: build; needs noxtokend)
#
# The JWT is made by PyJWT with an exp an hour ahead and serves the whole run. Each round runs
# create, verify and the floor one after another; the ratios are of the rounds' medians, since
# the floor alone moves by a tenth between runs a minute apart here. Environment: BENCH_SECONDS
# (default 10), BENCH_THREADS (2), BENCH_CONNECTIONS (16), BENCH_ROUNDS (5: single rounds here
# land anywhere from 0.85 to 1.18 of the floor).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$repo/build}
case "$build" in /*) ;; *) build=$repo/$build ;; esac
seconds=${BENCH_SECONDS:-10}
threads=${BENCH_THREADS:-2}
connections=${BENCH_CONNECTIONS:-16}
rounds=${BENCH_ROUNDS:-5}
python=/usr/bin/python3

source "$repo/bench/daemon.sh"
start_bench_daemon nox-jwt-bench

openssl req -x509 -nodes -days 2 -newkey rsa:2048 -subj /CN=bench-idp \
  -keyout "$work/idp.key" -out "$work/idp.crt" 2>/dev/null

# Registers the issuer and a profile as root and writes the body of one create call.
"$python" - "$work" "$port" <<'PY'
import json, sys, time
from pathlib import Path
import jwt, requests

work, port = Path(sys.argv[1]), sys.argv[2]
url = f"http://127.0.0.1:{port}/api"
def body(service, operation, input, security):
    return {"jsonrpc": "2.0", "id": "1", "method": "invoke",
            "params": {"serviceId": service, "operationId": operation, "input": input,
                       "ctx": {"securityCtx": security}}}
def call(*args):
    answer = requests.post(url, json=body(*args), timeout=30).json()
    assert "output" in answer.get("result", {}), answer
    return answer["result"]["output"]
token_svc = "com.tessel.nox.authentication.token"
root = {"schemeId": "com.tessel.orbi.std.security.user_pass", "userName": "root", "password": "secret1"}
admin = {"schemeId": "com.tessel.orbi.std.security.oauth",
         "accessToken": call(token_svc, "create", {}, root)["token"]}
call("com.tessel.nox.authentication.trust.security_token_issuers", "create",
     {"spec": {"issuer_alias": "bench", "issuer": "https://bench-idp",
               "signing_cert_chains": [{"cert_chain": [(work / "idp.crt").read_text()]}]}}, admin)
call("com.tessel.nox.authentication.client_profiles", "create",
     {"spec": {"external_user": "ann", "issuer_alias": "bench", "domain": "corp",
               "grants": [{"resource_type": "HOST", "entitlement": "OPERATOR"}]}}, admin)
external = jwt.encode({"iss": "https://bench-idp", "exp": int(time.time()) + 3600,
                       "username": "ann", "domain": "corp", "group_names": ["ops@corp"]},
                      (work / "idp.key").read_text(), algorithm="RS256")
security = {"schemeId": "com.tessel.orbi.std.security.oauth", "accessToken": external}
own = call(token_svc, "create", {}, security)["token"]
(work / "body.json").write_text(json.dumps(body(token_svc, "create", {}, security)))
(work / "verify.json").write_text(json.dumps(body(
    "com.tessel.nox.authentication.verification", "verify", {},
    {"schemeId": "com.tessel.orbi.std.security.oauth", "accessToken": own})))
PY

run_wrk() {
  BENCH_BODY=$(cat "$1") BENCH_EXPECT=$2 \
    wrk -t"$threads" -c"$connections" -d"${seconds}s" --timeout 10s -s "$repo/bench/post.lua" \
    "http://127.0.0.1:$port/api" | grep '^BENCH '
}
# "rsa 2048 bits 0.000030s 0.000008s 33000.0 120000.0": the last column is verifications/s.
rsa_floor() {
  taskset -c 0 openssl speed -seconds 3 rsa2048 2>/dev/null | awk '/^rsa 2048 bits/ {print int($NF)}'
}
field() { sed -n "s/.* $1=\([0-9.]*\).*/\1/p" <<<" $2"; }
creates=() verifies=() floors=() bad=0 socket_errors=0
for round in $(seq "$rounds"); do
  line=$(run_wrk "$work/body.json" '"token"')
  verify_line=$(run_wrk "$work/verify.json" '"ann"')
  # The floor runs while the daemon idles, on a core of its own.
  floor=$(rsa_floor)
  creates+=("$(field calls_per_s "$line")")
  verifies+=("$(field calls_per_s "$verify_line")")
  floors+=("$floor")
  bad=$((bad + $(field bad "$line") + $(field bad "$verify_line")))
  socket_errors=$((socket_errors + $(field socket_errors "$line") + $(field socket_errors "$verify_line")))
  echo "  round $round: create $(field calls_per_s "$line") (p50 $(field p50_ms "$line") ms, p99 $(field p99_ms "$line") ms), verify $(field calls_per_s "$verify_line"), floor $floor" >&2
done
stop_bench_daemon

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
rate=$(median "${creates[@]}")
verify_rate=$(median "${verifies[@]}")
floor=$(median "${floors[@]}")
ratio() { "$python" -c "import sys; print(f'{float(sys.argv[1]) / float(sys.argv[2]):.3f}')" "$1" "$2"; }
per_round=$(for i in "${!creates[@]}"; do ratio "${creates[$i]}" "${floors[$i]}"; done | paste -sd' ')

cat <<OUT

Date: $(date -u '+%Y-%m-%d %H:%M UTC'); machine: $(nproc) cores; wrk -t$threads -c$connections -d${seconds}s, $rounds rounds (medians); load average $(cut -d' ' -f1-3 /proc/loadavg)

| measure | calls/s | ratio |
|---|---:|---|
| create with an external issuer's RS256 JWT | $rate | $(ratio "$rate" "$floor") of the floor (rounds: $per_round) |
| floor: RSA-2048 verifications, openssl speed, one core | $floor | 1.00 |
| verify of the daemon's own token (bound) | $verify_rate | create is $(ratio "$rate" "$verify_rate") of it |

Bad answers (not 200 with a token, or with the user for verify): $bad; socket errors: $socket_errors.
OUT
