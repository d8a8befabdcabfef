#!/usr/bin/env bash
# Token creation with a SAML holder-of-key assertion over HTTP, beside the floor of saml_bench
# (xmlsec verifying the same kind of assertion, one core) in the same run:
#
#   bench/saml_http_bench.sh [BUILD_DIR]     (default: build; needs noxtokend and saml_bench)
#
# The assertion is signed by xmlsec1 and the call by the client's P-256 key (ES256), as
# tests/e2e/saml_client.py does. A proof is accepted once, so every call carries its own: proofs
# with microsecond timestamps are signed before the run (BENCH_PROOFS, default 25,000 per second
# of the run), which stays inside their 600-second window. Environment: BENCH_SECONDS (default
# 10), BENCH_THREADS (2), BENCH_CONNECTIONS (16).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$repo/build}
case "$build" in /*) ;; *) build=$repo/$build ;; esac
seconds=${BENCH_SECONDS:-10}
threads=${BENCH_THREADS:-2}
connections=${BENCH_CONNECTIONS:-16}
python=/usr/bin/python3
[ "$seconds" -le 300 ] || { echo "saml_http_bench: BENCH_SECONDS must stay within the proof's window" >&2; exit 1; }

source "$repo/bench/daemon.sh"
start_bench_daemon nox-saml-bench

# Registers the issuer as root and writes the body of one signed holder-of-key create call.
PYTHONPATH=$repo/tests/e2e "$python" - "$work" "$port" "${BENCH_PROOFS:-$((seconds * 25000))}" <<'PY'
import datetime, json, multiprocessing, sys
from pathlib import Path
import requests
from saml_client import ISSUER, canonical, make_key, render, security_context, sign, signature

work, port = Path(sys.argv[1]), sys.argv[2]
url = f"http://127.0.0.1:{port}/api"
def call(service, operation, input, security):
    body = {"jsonrpc": "2.0", "id": "1", "method": "invoke",
            "params": {"serviceId": service, "operationId": operation, "input": input,
                       "ctx": {"securityCtx": security}}}
    answer = requests.post(url, json=body, timeout=30).json()
    assert "output" in answer.get("result", {}), answer
    return answer["result"]["output"], body
token_svc = "com.tessel.nox.authentication.token"
root = {"schemeId": "com.tessel.orbi.std.security.user_pass", "userName": "root", "password": "secret1"}
admin = {"schemeId": "com.tessel.orbi.std.security.oauth",
         "accessToken": call(token_svc, "create", {}, root)[0]["token"]}
issuer, client = make_key(work, "issuer"), make_key(work, "client", "ec -pkeyopt ec_paramgen_curve:P-256")
call("com.tessel.nox.authentication.trust.security_token_issuers", "create",
     {"spec": {"issuer_alias": "bench", "issuer": ISSUER,
               "signing_cert_chains": [{"cert_chain": [issuer.cert_text()]}]}}, admin)
assertion = sign(work, render(client), issuer)
_, body = call(token_svc, "create", {},
               security_context(assertion, client, "ES256", token_svc, "create"))
body["params"]["ctx"]["securityCtx"].update(signatureTimestamp="@1@", signatureValue="@2@")
(work / "body.json").write_text(json.dumps(body))
start = datetime.datetime.now(datetime.timezone.utc)
key = client.private_key()
def proofs(chunk):
    lines = []
    for n in chunk:
        stamp = (start + datetime.timedelta(microseconds=n + 1)).strftime("%Y-%m-%dT%H:%M:%S.%fZ")
        message = canonical({"input": {}, "operationId": "create", "serviceId": token_svc,
                             "timestamp": stamp})
        lines.append(f"{stamp}\t{signature(key, 'ES256', message)}\n")
    return "".join(lines)
count = int(sys.argv[3])
with multiprocessing.Pool(2) as pool, open(work / "proofs.tsv", "w") as out:
    for text in pool.imap(proofs, (range(n, min(n + 10000, count)) for n in range(0, count, 10000))):
        out.write(text)
PY

line=$(BENCH_BODY=$(cat "$work/body.json") BENCH_EXPECT='"token"' BENCH_VARIANTS=$work/proofs.tsv \
  BENCH_THREADS=$threads \
  wrk -t"$threads" -c"$connections" -d"${seconds}s" --timeout 10s -s "$repo/bench/post.lua" \
  "http://127.0.0.1:$port/api" | grep '^BENCH ')
stop_bench_daemon

# saml_bench prints its own table: the rate is the last column, e.g. "8.42k/s".
floor=$(taskset -c 0 "$build/bin/saml_bench" --benchmark_filter='XmlsecVerifyFloor' \
  --benchmark_color=false 2>/dev/null | "$python" -c '
import re, sys
rate = re.search(r"BM_XmlsecVerifyFloor.*?([0-9.]+)(k?)/s", sys.stdin.read())
print(round(float(rate[1]) * (1000 if rate[2] else 1)))')
field() { sed -n "s/.* $1=\([0-9.]*\).*/\1/p" <<<" ${line#BENCH }"; }
rate=$(field calls_per_s)

cat <<OUT

Date: $(date -u '+%Y-%m-%d %H:%M UTC'); machine: $(nproc) cores; wrk -t$threads -c$connections -d${seconds}s; load average $(cut -d' ' -f1-3 /proc/loadavg)

| measure | calls/s | p50 ms | p99 ms | ratio |
|---|---:|---:|---:|---|
| create with a SAML holder-of-key assertion (ES256 proof) | $rate | $(field p50_ms) | $(field p99_ms) | $("$python" -c "print(f'{$rate / $floor:.3f}')") of the floor |
| floor: xmlsec verification alone (saml_bench, one core) | $floor | | | 1.00 |

Bad answers (not 200 with a token): $(field bad); socket errors: $(field socket_errors).
OUT
