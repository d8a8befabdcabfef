#!/usr/bin/env bash
# Idle resident memory of the daemon, measured the same way for every figure in bench/RESULTS.md:
#
#   bench/idle_rss.sh [BUILD_DIR] [STARTS] [--mappings]
#
# Each start lays out a fresh root as `make run` does (scripts/dev-root defaults, one user), starts
# the daemon, waits until its port accepts a connection, waits one second more and reads VmRSS.
# Prints "idle_rss_kb=MEDIAN min=.. max=.. starts=N" (STARTS defaults to 7: address-space
# randomisation moves where each library's pages fall, so single starts differ by about 100 kB);
# --mappings adds the last start's resident kB per mapping (Rss, Anonymous) from smaps.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$repo/build}
case "$build" in /*) ;; *) build=$repo/$build ;; esac
starts=${2:-7}
mappings=${3:-}
python=/usr/bin/python3
export GLIBC_TUNABLES=${GLIBC_TUNABLES-glibc.malloc.tcache_count=32}  # as the service unit sets it

work=$(mktemp -d /tmp/nox-idle-rss.XXXXXX)
daemon_pid=""
trap '[ -n "$daemon_pid" ] && kill -TERM "$daemon_pid" 2>/dev/null; rm -rf "$work"' EXIT

samples=()
for start in $(seq "$starts"); do
  rm -rf "$work/root"
  port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  "$repo/scripts/dev-root" "$work/root" --port "$port" --user root:secret1 >/dev/null
  TESSEL_ROOT=$work/root "$build/bin/noxtokend" 2>"$work/daemon.log" &
  daemon_pid=$!
  for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.05; done
  sleep 1
  samples+=("$(awk '/^VmRSS:/ {print $2}' "/proc/$daemon_pid/status")")
  if [ "$start" = "$starts" ] && [ "$mappings" = --mappings ]; then
    "$python" - "$daemon_pid" <<'PY'
import collections, sys
rows = collections.defaultdict(collections.Counter)
name = None
for line in open(f"/proc/{sys.argv[1]}/smaps"):
    fields = line.split()
    if not fields[0].endswith(":"):
        name = fields[5].rsplit("/", 1)[-1] if len(fields) > 5 else "[anonymous]"
    elif fields[0] in ("Rss:", "Anonymous:"):
        rows[name][fields[0][:-1]] += int(fields[1])
print(f"{'mapping':32} {'Rss kB':>7} {'of it anonymous':>16}")
for name, kb in sorted(rows.items(), key=lambda item: -item[1]["Rss"]):
    if kb["Rss"]:
        print(f"{name[:32]:32} {kb['Rss']:7} {kb['Anonymous']:16}")
PY
  fi
  kill -TERM "$daemon_pid" 2>/dev/null || true
  wait "$daemon_pid" 2>/dev/null || true
  daemon_pid=""
done
sorted=($(printf '%s\n' "${samples[@]}" | sort -n))
echo "idle_rss_kb=${sorted[$(( (starts - 1) / 2 ))]} min=${sorted[0]} max=${sorted[$((starts - 1))]} starts=$starts"
