# Sourced by the bench scripts: one daemon under a throw-away root, stopped with the script.
# start_bench_daemon PREFIX: sets work, port and daemon_pid; user root:secret1, log level
# BENCH_LOG_LEVEL (default 3: no line a call; the shipped configuration says 5).
export GLIBC_TUNABLES=${GLIBC_TUNABLES-glibc.malloc.tcache_count=32}  # as the service unit sets it

start_bench_daemon() {
  work=$(mktemp -d "/tmp/$1.XXXXXX")
  daemon_pid=""
  trap 'stop_bench_daemon; rm -rf "$work"' EXIT
  port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  "$repo/scripts/dev-root" "$work/root" --port "$port" --log-level "${BENCH_LOG_LEVEL:-3}" --user root:secret1 >/dev/null
  # shellcheck disable=SC2086 # BENCH_DAEMON_ENV: env(1) arguments, "-u NAME" or "NAME=VALUE"
  env ${BENCH_DAEMON_ENV:-} TESSEL_ROOT="$work/root" "$build/bin/noxtokend" 2>"$work/daemon.log" &
  daemon_pid=$!
  for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.05; done
}

stop_bench_daemon() {
  [ -n "$daemon_pid" ] && { kill -TERM "$daemon_pid" 2>/dev/null || true; wait "$daemon_pid" 2>/dev/null || true; }
  daemon_pid=""
}
