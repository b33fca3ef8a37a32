#!/usr/bin/env bash
# Installs everything the build, the demo and the tests need, from Debian's packages.
# Safe to run again: packages already there are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libcli11-dev nlohmann-json3-dev
  g++-mingw-w64-x86-64 wine64 xvfb xauth
  clang libclang-rt-14-dev
  socat python3 python3-serial
  liblhasa-dev srecord binutils-sh4-linux-gnu jlha-utils
  binutils-powerpc64-linux-gnu
  imagemagick xdotool
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
