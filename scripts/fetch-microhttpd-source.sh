#!/usr/bin/env bash
# Unpacks Debian's libmicrohttpd source package (Debian's patches applied) into a cache folder
# the Windows builds compile the web server's library from: Debian ships no libmicrohttpd for
# MinGW (the native build links Debian's libmicrohttpd-dev).
#   scripts/fetch-microhttpd-source.sh [CACHE]     default CACHE: build/sources
# Prints the unpacked tree's folder. Needs the deb-src entry scripts/install-deps.sh writes.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cache=${1:-$top/build/sources}
mkdir -p "$cache"
tree=$(find "$cache" -maxdepth 1 -type d -name 'libmicrohttpd-*' | sort | tail -n 1)
if [ -z "$tree" ] || [ ! -x "$tree/configure" ]; then
  # Unpacked into a scratch folder first, so an interrupted fetch leaves no half tree behind.
  scratch=$(mktemp -d "$cache/fetch.XXXXXX")
  trap 'rm -rf "$scratch"' EXIT
  if ! (cd "$scratch" && apt-get source -qq libmicrohttpd >/dev/null 2>"$scratch/apt.log"); then
    echo "cannot fetch the libmicrohttpd source package (is the deb-src entry of scripts/install-deps.sh there?):" >&2
    tail -n 5 "$scratch/apt.log" >&2
    exit 1
  fi
  unpacked=$(find "$scratch" -maxdepth 1 -type d -name 'libmicrohttpd-*' | head -n 1)
  tree="$cache/$(basename "$unpacked")"
  rm -rf "$tree"
  mv "$unpacked" "$tree"
fi
echo "$tree"
