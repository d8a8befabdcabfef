#!/usr/bin/env bash
# Installs dependencies from Debian's packages, by group:
#
#   scripts/install-deps.sh              building and running the daemon and its tools
#   scripts/install-deps.sh --test       ... and the tests, fuzzers and benchmarks
#   scripts/install-deps.sh --package    ... and building the Debian package (make deb)
#
# Options combine. Safe to run repeatedly: it does nothing when everything is present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libboost-dev libxml2-dev libxmlsec1-dev libxmlsec1-openssl xmlsec1 libssl-dev openssl
  libjwt-dev libjansson-dev libsqlite3-dev sqlite3 libpam0g-dev libpam-pwdfile uuid-dev
  libsystemd-dev libcli11-dev prometheus-cpp-dev curl
)
test_packages=(
  clang clang-format clang-tidy libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-pytest python3-requests python3-jwt python3-cryptography
  wrk nginx-light nodejs valgrind
  mmdebstrap systemd-container
)
package_packages=(debhelper dpkg-dev fakeroot lintian man-db systemd)

for option in "$@"; do
  case "$option" in
    --test) packages+=("${test_packages[@]}") ;;
    --package) packages+=("${package_packages[@]}") ;;
    *) echo "usage: $0 [--test] [--package]" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
