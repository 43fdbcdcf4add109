#!/usr/bin/env bash
# Installs every system package the build, the tests and the benchmarks need.
# Idempotent: does nothing when all are present; runs apt-get update only when
# something is missing.
set -euo pipefail

packages=(
  build-essential g++ libtsan2 cmake ninja-build pkg-config
  libssl-dev openssl
  libgtest-dev libgmock-dev googletest
  libbenchmark-dev
  libengine-gost-openssl
  libgcrypt20-dev
  clang-format clang-tidy-22 clang libclang-rt-14-dev lld
  libsqlite3-dev sqlite3
  qt6-base-dev
  fonts-liberation fonts-dejavu-core poppler-utils cups-client
  libglib2.0-dev libglib2.0-bin desktop-file-utils shared-mime-info
  qt6-base-dev-tools dbus-daemon dbus-bin python3-dbus
  libarchive-dev tar
  valgrind
  libldap-dev slapd ldap-utils
  pcscd vsmartcard-vpcd libpcsclite-dev pcsc-tools
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
# The slapd and pcscd packages would start system-wide servers; the tests run
# their own (a private port; pcscd only for the e2e run), so service starts
# are refused while installing.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
  $SUDO chmod 755 "$policy"
  trap '$SUDO rm -f "$policy"' EXIT
fi
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
