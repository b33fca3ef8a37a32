#!/usr/bin/env bash
# Unpacks Debian's cpp-httplib source package (Debian's patches applied) into a cache folder:
# its single header httplib.h is the station's web server on every build. Debian's
# libcpp-httplib-dev is a compiled library with a declarations-only header, which no MinGW
# build can link; the source package's header serves Linux and both Windows builds alike.
#   scripts/fetch-httplib-source.sh [CACHE]     default CACHE: build/sources
# Prints the unpacked tree's folder. Needs the deb-src entry scripts/install-deps.sh writes.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cache=${1:-$top/build/sources}
mkdir -p "$cache"
tree=$(find "$cache" -maxdepth 1 -type d -name 'cpp-httplib-*' | sort | tail -n 1)
if [ -z "$tree" ] || [ ! -f "$tree/httplib.h" ]; then
  # Unpacked into a scratch folder first, so an interrupted fetch leaves no half tree behind.
  scratch=$(mktemp -d "$cache/fetch.XXXXXX")
  trap 'rm -rf "$scratch"' EXIT
  if ! (cd "$scratch" && apt-get source -qq cpp-httplib >/dev/null 2>"$scratch/apt.log"); then
    echo "cannot fetch the cpp-httplib source package (is the deb-src entry of scripts/install-deps.sh there?):" >&2
    tail -n 5 "$scratch/apt.log" >&2
    exit 1
  fi
  unpacked=$(find "$scratch" -maxdepth 1 -type d -name 'cpp-httplib-*' | head -n 1)
  tree="$cache/$(basename "$unpacked")"
  rm -rf "$tree"
  mv "$unpacked" "$tree"
fi
echo "$tree"
