#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the demo and the benchmarks need.
# Does nothing when they are all present already.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ pkg-config
  qtbase5-dev qttools5-dev-tools
  zlib1g-dev liblzma-dev
  libtomcrypt-dev libtommath-dev libssl-dev
  libprotobuf-dev protobuf-compiler
  libboost-dev libboost-date-time-dev
  libdivsufsort-dev
  libgtest-dev libgmock-dev
  nginx
  clang lld libclang-rt-14-dev
  python3 openssl gzip xz-utils zstd bsdiff xdelta3 time
)

missing=()
for p in "${PACKAGES[@]}"; do
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
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
