# Sourced by bench/http_bench.sh: the peer authorization server beside the daemon.
#
# start_peer WORK_DIR: installs oidc-provider@$peer_version into WORK_DIR/peer with npm and starts
# it on a free loopback port. On success sets peer_pid, peer_url (its introspection endpoint),
# peer_body (the form body naming a valid access token) and peer_auth (the client's Basic
# credentials); otherwise sets peer_missing to the reason and returns 0, so the benchmark goes on.
peer_version=9.13.3
peer_client=bench-client
peer_secret=bench-secret-7d1c0a9e5b

start_peer() {
  local work=$1/peer here
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  peer_missing=""
  mkdir -p "$work"
  if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    peer_missing="node or npm is not installed"
    return 0
  fi
  if ! npm install --prefix "$work" --no-audit --no-fund --loglevel=error \
    "oidc-provider@$peer_version" >"$work/npm.log" 2>&1; then
    peer_missing="npm could not install oidc-provider@$peer_version ($(tail -1 "$work/npm.log"))"
    return 0
  fi
  local port
  port=$(free_port)
  NODE_ENV=production node "$here/introspection_peer.mjs" "$work" "$port" "$peer_client" "$peer_secret" \
    >"$work/out.txt" 2>"$work/err.txt" &
  peer_pid=$!
  for _ in $(seq 200); do
    grep -q '^READY ' "$work/out.txt" 2>/dev/null && break
    kill -0 "$peer_pid" 2>/dev/null || break
    sleep 0.05
  done
  if ! grep -q '^READY ' "$work/out.txt" 2>/dev/null; then
    peer_missing="oidc-provider@$peer_version did not start ($(tail -1 "$work/err.txt"))"
    return 0
  fi
  peer_url=http://127.0.0.1:$port/token/introspection
  peer_body="token=$(sed -n 's/^READY //p' "$work/out.txt")"
  peer_auth="Basic $(printf '%s:%s' "$peer_client" "$peer_secret" | base64 -w0)"
}
