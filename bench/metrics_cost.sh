#!/usr/bin/env bash
# What counting costs on the hot path: instructions per `verify` call (callgrind) with metrics off
# and on, in one run of one build. Each setting runs the daemon twice, with SMALL and LARGE calls;
# the difference over the difference in calls is the marginal cost of one call, free of start-up.
# Two figures: the whole process (which also holds timer work, such as the allocator's periodic
# trim, that grows with a run's length) and the provider chain alone (instructions inside the
# outermost provider's Invoke, where every count is made; verify answers before it returns).
#
#   bench/metrics_cost.sh [BUILD_DIR]      (default: build; needs valgrind)
#
# Environment: SMALL (default 100) and LARGE (600) calls per run. Writes only under a temporary
# directory.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$repo/build}
daemon_bin=$build/bin/noxtokend
small=${SMALL:-100}
large=${LARGE:-600}
command -v valgrind >/dev/null || { echo "metrics_cost: valgrind is missing" >&2; exit 1; }
[ -x "$daemon_bin" ] || { echo "metrics_cost: $daemon_bin is not built" >&2; exit 1; }

work=$(mktemp -d /tmp/nox-metrics-cost.XXXXXX)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT

free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# run METRICS(on|off) CALLS [CALLGRIND_OPTION] -> instructions counted
run() {
  local root=$work/root-$1-$2-${3:+chain} port metrics_port
  port=$(free_port)
  metrics_port=$(free_port)
  "$repo/scripts/dev-root" "$root" --port "$port" --log-level 3 --user root:secret1 >/dev/null
  if [ "$1" = on ]; then
    sed -i "s#</config>#<metrics><portNum>$metrics_port</portNum></metrics></config>#" \
      "$root/etc/tessel/cpservices/noxtoken/config.xml"
  fi
  # The allocator's settings are given here so that the daemon does not restart itself.
  TESSEL_ROOT=$root GLIBC_TUNABLES=glibc.malloc.arena_max=2 valgrind --tool=callgrind \
    --callgrind-out-file="$root.out" ${3:-} "$daemon_bin" 2>"$root.log" &
  local pid=$!
  /usr/bin/python3 - "$port" "$2" <<'PY'
import json, socket, sys, time, requests
port, calls = int(sys.argv[1]), int(sys.argv[2])
for _ in range(600):  # 60 s: the daemon starts slowly under valgrind
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        break
    except OSError:
        time.sleep(0.1)
url, session = f"http://127.0.0.1:{port}/api", requests.Session()
def invoke(operation_svc, operation, security):
    body = {"jsonrpc": "2.0", "id": "1", "method": "invoke",
            "params": {"serviceId": operation_svc, "operationId": operation, "input": {},
                       "ctx": {"securityCtx": security}}}
    answer = session.post(url, json=body, timeout=60).json()
    assert "output" in answer["result"], answer
    return answer["result"]["output"]
token = invoke("com.tessel.nox.authentication.token", "create",
               {"schemeId": "com.tessel.orbi.std.security.user_pass", "userName": "root",
                "password": "secret1"})["token"]
for _ in range(calls):
    invoke("com.tessel.nox.authentication.verification", "verify",
           {"schemeId": "com.tessel.orbi.std.security.oauth", "accessToken": token})
PY
  kill -TERM "$pid"
  wait "$pid" || true
  sed -n 's/^summary: //p' "$root.out"
}

chain="--toggle-collect=Zeph::Common::BasaltOrbi::OpIdProvider::Invoke*"
printf "%-8s %-8s %14s %14s %14s\n" metrics scope "Ir($small)" "Ir($large)" "Ir per verify"
for scope in process chain; do
  option=""
  [ "$scope" = chain ] && option=$chain
  for setting in off on; do
    a=$(run "$setting" "$small" "$option")
    b=$(run "$setting" "$large" "$option")
    printf "%-8s %-8s %14s %14s %14s\n" "$setting" "$scope" "$a" "$b" $(((b - a) / (large - small)))
  done
done
