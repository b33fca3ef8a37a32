#!/usr/bin/env bash
# Installs everything the build, the demo and the tests need, from Debian's packages listed in
# scripts/packages.txt (the one list; scripts/check-deps.sh reads it too).
# Safe to run again: packages already there are left alone.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
mapfile -t packages < <(sed -e 's/#.*//' "$top/scripts/packages.txt" | tr -s ' \t' '\n' | sed '/^$/d')

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

export DEBIAN_FRONTEND=noninteractive
# 32-bit Wine comes from the i386 architecture.
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
echo "installing: ${missing[*]}"
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
