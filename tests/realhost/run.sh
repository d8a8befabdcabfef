#!/usr/bin/env bash
# The Debian package on a real host: a minimal Debian root boots systemd as PID 1 in a container
# (systemd-nspawn, no network but its own loopback) and the package is installed, used, upgraded,
# removed and purged there as an administrator would.
#
#   tests/realhost/run.sh [BUILD_DIR]     (needs root; the package in BUILD_DIR/deb)
#
# The root is made once by mmdebstrap and cached under $NOX_REALHOST_CACHE (default
# /var/cache/noxtokend-test), keyed on its package list; each run boots it under a throw-away
# overlay, so the cache stays clean. Everything started or mounted is torn down on exit. Prints
# each step; the last line is "realhost: PASS" or "realhost: FAIL ..." (exit status 1).
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
cache=${NOX_REALHOST_CACHE:-/var/cache/noxtokend-test}
started=$SECONDS

leader=""  # the container's PID 1, once booted
fail() {
  if [ -n "$leader" ]; then
    echo "realhost: the unit's last journal lines:" >&2
    inside journalctl -u noxtokend --no-pager -n 25 -o short-monotonic >&2 || true
  fi
  echo "realhost: FAIL: $*" >&2
  exit 1
}
step() { printf 'realhost: [%3ds] %s\n' $((SECONDS - started)) "$*"; }

[ "$(id -u)" -eq 0 ] || fail "needs root (it boots a container)"
for tool in mmdebstrap systemd-nspawn nsenter dpkg-deb openssl; do
  command -v "$tool" >/dev/null || fail "$tool is missing: scripts/install-deps.sh --package"
done
version=$(cd "$repo" && dpkg-parsechangelog -S Version)
deb=$build/deb/noxtokend_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $deb: make deb (or make test-unit) builds it"

# The cached root: what the checks need, and the package's dependencies so that apt installs it
# without a network.
base=(systemd systemd-sysv dbus libpam-runtime libpam-modules passwd curl ca-certificates)
mapfile -t depends < <(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/ //g')
packages=$(printf '%s\n' "${base[@]}" "${depends[@]}" | sort -u | paste -sd, -)
key=$(echo "bookworm $packages" | sha256sum | cut -c1-16)
root=$cache/root-$key
mkdir -p "$cache"
exec 8>"$cache/lock"
flock 8
if [ ! -d "$root" ]; then
  step "making the root (mmdebstrap bookworm: $packages)"
  rm -rf "$root.partial" "$cache"/root-*
  mmdebstrap --variant=minbase --include="$packages" bookworm "$root.partial" \
    >"$cache/mmdebstrap.log" 2>&1 || fail "mmdebstrap failed: $cache/mmdebstrap.log"
  mv "$root.partial" "$root"
fi
flock -u 8

work=$(mktemp -d /tmp/noxtokend-realhost.XXXXXX)
merged=$work/merged
nspawn_pid=""
teardown() {
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    kill -TERM "$nspawn_pid" 2>/dev/null || true  # the container's systemd powers off
    for _ in $(seq 100); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$nspawn_pid" 2>/dev/null || true
    wait "$nspawn_pid" 2>/dev/null || true
  fi
  mountpoint -q "$merged" && umount -R "$merged"
  rm -rf "$work"
}
trap teardown EXIT
mkdir -p "$work"/{upper,overlay-work,merged}
mount -t overlay overlay \
  -o "lowerdir=$root,upperdir=$work/upper,workdir=$work/overlay-work" "$merged"

# The packages under test: this one, and a newer version of it made by repacking.
cp "$deb" "$merged/root/noxtokend.deb"
dpkg-deb -R "$deb" "$work/newer"
sed -i "s/^Version: .*/Version: ${version}+realhost1/" "$work/newer/DEBIAN/control"
dpkg-deb -b "$work/newer" "$merged/root/noxtokend-newer.deb" >/dev/null
openssl req -x509 -nodes -days 2 -newkey rsa:2048 -subj "/CN=realhost issuer" \
  -keyout /dev/null -out "$merged/root/issuer.pem" 2>/dev/null

step "booting systemd in the container"
machine=noxtokend-realhost-$$
SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 systemd-nspawn --quiet --boot --directory="$merged" \
  --machine="$machine" --private-network --register=no --keep-unit --console=passive \
  --capability=CAP_BPF,CAP_PERFMON --system-call-filter=bpf >"$work/nspawn.log" 2>&1 &
nspawn_pid=$!
for _ in $(seq 100); do
  leader=$(pgrep -P "$nspawn_pid" -x systemd || true)
  [ -n "$leader" ] && break
  kill -0 "$nspawn_pid" 2>/dev/null || fail "the container did not boot: $(tail -5 "$work/nspawn.log")"
  sleep 0.1
done
[ -n "$leader" ] || fail "no systemd in the container after 10 s"

# A command inside the container, as root with a clean environment.
inside() {
  nsenter --target "$leader" --all \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root XDG_RUNTIME_DIR=/run/user/0 LANG=C.UTF-8 \
    "$@"
}
state=""
for _ in $(seq 300); do
  state=$(inside systemctl is-system-running 2>/dev/null || true)
  case "$state" in running | degraded | maintenance | stopping) break ;; esac
  sleep 0.2
done
[ "$state" = running ] || fail "the container's systemd is ${state:-unreachable}: $(inside systemctl --failed --no-legend 2>&1)"
inside mkdir -p -m 0700 /run/user/0

# --- helpers over the container ---
unit() { inside systemctl show noxtokend -p "$1" --value; }
wait_for() {  # wait_for SECONDS COMMAND...: until the command succeeds
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt "$deadline" ] || return 1
    sleep 0.2
  done
}
is_active() { [ "$(inside systemctl is-active noxtokend || true)" = active ]; }
is_failed() { [ "$(inside systemctl is-failed noxtokend || true)" = failed ]; }
# The README's call: a token for USER with PASSWORD; prints the token, nothing when refused.
password_token() {
  inside curl -s http://localhost:9199/api -H 'Content-Type: application/json' -d '{
    "jsonrpc": "2.0", "id": 1, "method": "invoke",
    "params": {"serviceId": "com.tessel.nox.authentication.token", "operationId": "create",
               "ctx": {"securityCtx": {"schemeId": "com.tessel.orbi.std.security.user_pass",
                                       "userName": "'"$1"'", "password": "'"$2"'"}},
               "input": {}}}' | sed -n 's/.*"token":"\([^"]*\)".*/\1/p'
}
verifies_as() {  # verifies_as TOKEN USER
  [ "$(inside noxtokenctl token verify "$1" 2>&1)" = "$2" ]
}
ctl() { inside noxtokenctl "$@"; }
lists() {  # lists profile|issuer TEXT
  local out
  out=$(ctl "$1" list) && grep -qF -- "$2" <<<"$out"
}
main_pid() { unit MainPID; }
journal_has() {  # journal_has TEXT [journalctl options]: the unit's journal holds TEXT
  local lines
  lines=$(inside journalctl -u noxtokend --no-pager -o cat "${@:2}")
  grep -qF -- "$1" <<<"$lines"
}

# --- the checks ---
step "apt install ./noxtokend.deb: enabled, started, active through READY=1"
inside rm -f /etc/hosts  # the daemon listens on loopback without asking the name service
inside apt-get install -y -q /root/noxtokend.deb >"$work/apt.log" 2>&1 || fail "apt install: $(tail -5 "$work/apt.log")"
[ "$(inside systemctl is-enabled noxtokend)" = enabled ] || fail "the unit is not enabled"
wait_for 10 is_active || fail "not active: $(inside systemctl status noxtokend --no-pager | tail -5)"
[ "$(unit Type)" = notify ] || fail "the unit is not Type=notify"
start_us=$(unit ExecMainStartTimestampMonotonic)
active_us=$(unit ActiveEnterTimestampMonotonic)
pid=$(main_pid)
[ "$(inside cat "/proc/$pid/comm")" = noxtokend ] || fail "main process $pid is named $(inside cat "/proc/$pid/comm")"
[ "$(inside pidof noxtokend)" = "$pid" ] || fail "pidof noxtokend does not find $pid"
journal_has "Starting NOX Token CPS on port 9199." ||
  fail "the journal lacks the start-up lines"
journal_has "write error" && fail "the secret helper wrote an error to the journal"
journal_has "Signing secret" && fail "the helper's signing secret is reported unfit at start-up"
echo "realhost:       start to active $(((active_us - start_us) / 1000)) ms, main process noxtokend ($pid)"
inside sh -c 'printf "127.0.0.1 localhost\n::1 localhost\n" >/etc/hosts'  # the client asks the name service

step "sandbox: /run read-only for the unit, /run/faillock writable, exposure"
inside nsenter --target "$pid" --mount sh -c ': >>/run/tessel/tokend-secret' 2>/dev/null &&
  fail "the unit can write the signing secret"
inside nsenter --target "$pid" --mount sh -c ': >/run/realhost-probe' 2>/dev/null &&
  fail "the unit can create files in /run"
inside nsenter --target "$pid" --mount sh -c ': >/run/faillock/.probe && rm /run/faillock/.probe' ||
  fail "the unit cannot write /run/faillock"
exposure=$(inside systemd-analyze security noxtokend --no-pager | sed -n 's/.*Overall exposure level for noxtokend.service: \([0-9.]*\).*/\1/p')
[ -n "$exposure" ] || fail "systemd-analyze security gave no exposure"
awk -v e="$exposure" 'BEGIN { exit !(e <= 1.5) }' || fail "exposure $exposure is above 1.5"
echo "realhost:       systemd-analyze security: exposure $exposure"
memory_idle=$(inside awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")

step "a host user: token through pam_unix (curl and noxtokenctl login), wrong password refused"
inside useradd -m alice
inside sh -c 'echo alice:Alice-realhost-1 | chpasswd'
alice_token=$(password_token alice Alice-realhost-1)
[ -n "$alice_token" ] || fail "no token for alice with her password"
memory_called=$(inside awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
verifies_as "$alice_token" alice || fail "alice's token does not verify as alice"
[ -z "$(password_token alice wrong-password)" ] || fail "a wrong password got a token"
echo Alice-realhost-1 | inside sh -c 'HOME=/home/alice noxtokenctl login --user alice --password-stdin' >/dev/null ||
  fail "noxtokenctl login as alice failed"
echo "realhost:       resident memory idle ${memory_idle} kB, after a password call ${memory_called} kB"

step "journal priorities: the refusal among warnings, start-up lines not"
journal_has "MethodResult [FAIL] (MethodId:com.tessel.nox.authentication.token.create)" -p warning ||
  fail "journalctl -p warning shows no refusal"
journal_has "noxtokend version" -p notice && fail "a level 5 line has priority notice or higher"
journal_has "noxtokend version" -p info || fail "a level 5 line is not at priority info"

step "root: ADMINISTRATOR token, a profile and an issuer"
inside sh -c 'echo root:Root-realhost-1 | chpasswd'
root_token=$(password_token root Root-realhost-1)
payload=$(cut -d. -f2 <<<"$root_token" | tr '_-' '/+')
while [ $((${#payload} % 4)) -ne 0 ]; do payload+="="; done
grep -q '"entitlement":\[[^]]*"ADMINISTRATOR"' <<<"$(base64 -d <<<"$payload")" ||
  fail "root's token carries no ADMINISTRATOR entitlement"
echo Root-realhost-1 | ctl login --user root --password-stdin >/dev/null || fail "root cannot log in"
ctl profile create --local-user alice --grant HOST:OPERATOR >/dev/null || fail "profile create"
ctl issuer create realhost --issuer https://issuer.realhost.test --chain /root/issuer.pem >/dev/null ||
  fail "issuer create"
lists profile alice || fail "the new profile is not listed"
lists issuer realhost || fail "the new issuer is not listed"
kept_state() {
  lists profile alice && lists issuer realhost &&
    verifies_as "$alice_token" alice
}

step "restart keeps the store and earlier tokens; stop exits 0; kill -9 restarts"
inside systemctl restart noxtokend
wait_for 10 is_active || fail "not active after restart"
echo Root-realhost-1 | ctl login --user root --password-stdin >/dev/null
kept_state || fail "restart lost the store or earlier tokens"
inside systemctl stop noxtokend
[ "$(unit ExecMainStatus)" = 0 ] && [ "$(unit Result)" = success ] ||
  fail "stop: status $(unit ExecMainStatus), result $(unit Result)"
inside systemctl start noxtokend
wait_for 10 is_active || fail "not active after start"
pid=$(main_pid)
inside sh -c "kill -9 $pid"
restarted() { is_active && [ "$(main_pid)" != "$pid" ] && [ "$(main_pid)" != 0 ]; }
wait_for 15 restarted || fail "no restart after kill -9"
kept_state || fail "kill -9 lost the store or earlier tokens"

step "a daemon that cannot start ends failed (start limit)"
inside mkdir -p /run/systemd/system/noxtokend.service.d
inside sh -c 'printf "[Service]\nExecStart=\nExecStart=/usr/sbin/noxtokend /nonexistent/config.xml\n" \
  >/run/systemd/system/noxtokend.service.d/broken.conf'
inside systemctl daemon-reload
inside systemctl restart noxtokend 2>/dev/null || true
wait_for 40 is_failed || fail "still $(inside systemctl is-active noxtokend) with a missing configuration"
inside rm -r /run/systemd/system/noxtokend.service.d
inside systemctl daemon-reload
inside systemctl reset-failed noxtokend
inside systemctl start noxtokend
wait_for 10 is_active || fail "not active after the start limit was reset"

step "reinstall, then upgrade to a newer version: the store stays"
inside apt-get install -y -q --reinstall /root/noxtokend.deb >>"$work/apt.log" 2>&1 || fail "reinstall"
wait_for 10 is_active || fail "not active after reinstall"
kept_state || fail "reinstall lost the store or earlier tokens"
inside apt-get install -y -q /root/noxtokend-newer.deb >>"$work/apt.log" 2>&1 || fail "upgrade"
[ "$(inside dpkg-query -W -f '${Version}' noxtokend)" = "${version}+realhost1" ] || fail "not upgraded"
wait_for 10 is_active || fail "not active after upgrade"
kept_state || fail "the upgrade lost the store or earlier tokens"

step "pam_faillock in the PAM service: the right password after a wrong one"
inside sh -c 'cat >/etc/pam.d/noxtokend' <<'PAM'
auth     required                    pam_faillock.so preauth
auth     [success=1 default=bad]     pam_unix.so
auth     [default=die]               pam_faillock.so authfail
auth     sufficient                  pam_faillock.so authsucc
auth     required                    pam_deny.so
account  required                    pam_faillock.so
@include common-account
PAM
[ -z "$(password_token alice wrong-password)" ] || fail "a wrong password got a token under faillock"
inside test -s /run/faillock/alice || fail "pam_faillock kept no tally"
[ -n "$(password_token alice Alice-realhost-1)" ] || fail "the right password is refused under faillock"

step "audit trail: a file of 0600 records, and the journal finds them by MESSAGE_ID"
[ "$(inside stat -c %a /var/log/tessel/noxtokend/audit.log)" = 600 ] || fail "audit.log is not 0600"
inside grep -q '"event":"token.issued"' /var/log/tessel/noxtokend/audit.log ||
  fail "no token.issued record in audit.log"
inside grep -qF "$alice_token" /var/log/tessel/noxtokend/audit.log && fail "a token in audit.log"
[ -n "$(inside journalctl -u noxtokend --no-pager -o cat MESSAGE_ID=4cfa876d70844600ae11c8d3d59a25e3)" ] ||
  fail "journalctl MESSAGE_ID= finds no token.issued record"
# A password typed as the user name: refused, and recorded without the name (NSS has no such user).
[ -z "$(password_token Alice-realhost-1 x)" ] || fail "a password as user name got a token"
inside grep -q '"subject":{"user":"alice","host_user":true}' /var/log/tessel/noxtokend/audit.log ||
  fail "the refused password of host user alice is not recorded with her name"
inside grep -q '"subject":{"host_user":false}' /var/log/tessel/noxtokend/audit.log ||
  fail "no record of the refused unknown name"
# The daemon's own lines and records only: what PAM's modules log is theirs.
inside sh -c 'journalctl -u noxtokend _TRANSPORT=stdout --no-pager; cat /var/log/tessel/noxtokend/audit.log
              journalctl NOX_EVENT=credential.refused --no-pager -o verbose' |
  grep -qF Alice-realhost-1 && fail "a password typed as user name is in the log or the trail"

step "metrics: opt-in endpoint scraped from inside, noxtokenctl status"
inside sed -i 's|</config>|  <metrics><portNum>9299</portNum></metrics>\n</config>|' \
  /etc/tessel/cpservices/noxtoken/config.xml
inside systemctl restart noxtokend
wait_for 10 is_active || fail "not active with metrics on"
[ -z "$(password_token alice wrong-password)" ] || fail "a wrong password got a token"
scrape() { inside curl -sf http://localhost:9299/metrics; }
wait_for 10 scrape >/dev/null || fail "no answer on the metrics port"
grep '^noxtokend_authentications_total{' <<<"$(scrape)" | grep 'scheme="user_pass"' |
  grep -q 'outcome="refused"} [1-9]' || fail "the refused password is not counted"
ctl status --metrics-port 9299 >/dev/null || fail "noxtokenctl status does not answer"

step "remove keeps the configuration, the store and the secret"
inside apt-get remove -y -q noxtokend >>"$work/apt.log" 2>&1 || fail "apt remove"
for path in /etc/tessel/cpservices/noxtoken/config.xml /var/lib/tessel/configstore/global.db \
  /run/tessel/tokend-secret; do
  inside test -e "$path" || fail "remove took $path"
done
inside test -e /usr/sbin/noxtokend && fail "remove left the daemon"

step "purge removes them; a new install starts afresh"
inside apt-get purge -y -q noxtokend >>"$work/apt.log" 2>&1 || fail "apt purge"
for path in /etc/tessel/cpservices/noxtoken /var/lib/tessel /run/tessel/tokend-secret \
  /run/tessel/tokend-secret.noxtokend; do
  inside test -e "$path" && fail "purge left $path"
done
inside apt-get install -y -q /root/noxtokend.deb >>"$work/apt.log" 2>&1 || fail "install after purge"
wait_for 10 is_active || fail "not active after install after purge"
echo Root-realhost-1 | ctl login --user root --password-stdin >/dev/null
lists profile alice && fail "a purged profile came back"
verifies_as "$alice_token" alice && fail "a token from before the purge still verifies"

step "done in $((SECONDS - started)) s"
echo "realhost: PASS"
