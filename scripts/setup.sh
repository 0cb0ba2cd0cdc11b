#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and demos with.
# Safe to run again; skips apt when everything is already there.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libasio-dev nlohmann-json3-dev libcli11-dev
  iproute2 procps
  libpcap-dev tshark tcpdump
  help2man
  clang libclang-rt-14-dev
)
if [ "${KELVANE_EXTRA_PACKAGES:-}" ]; then
  read -r -a extra <<<"$KELVANE_EXTRA_PACKAGES"
  PACKAGES+=("${extra[@]}")
fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
