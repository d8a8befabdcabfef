#!/usr/bin/env bash
# Installs every build, test and benchmark dependency from Debian's packages.
# Safe to run repeatedly: it does nothing when everything is present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang clang-format libclang-rt-14-dev
  libboost-dev libxml2-dev libxmlsec1-dev libxmlsec1-openssl xmlsec1 libssl-dev openssl
  libjwt-dev libjansson-dev libsqlite3-dev sqlite3 libpam0g-dev libpam-pwdfile uuid-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-pytest python3-requests python3-jwt
  curl wrk nginx-light nodejs
)

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
