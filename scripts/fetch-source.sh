#!/usr/bin/env bash
# Unpacks a Debian source package (Debian's patches applied) into a cache folder the Windows
# builds compile from, for the libraries Debian ships no MinGW build of: sqlite3 (the
# amalgamation) and libmicrohttpd (the web server; the native build links libmicrohttpd-dev).
#   scripts/fetch-source.sh PACKAGE [CACHE]     default CACHE: build/sources
# Prints the unpacked tree's folder. Needs the deb-src entry scripts/install-deps.sh writes.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
package=${1:?usage: scripts/fetch-source.sh PACKAGE [CACHE]}
cache=${2:-$top/build/sources}
mkdir -p "$cache"
tree=$(find "$cache" -maxdepth 1 -type d -name "$package-*" | sort | tail -n 1)
if [ -z "$tree" ] || [ ! -x "$tree/configure" ]; then
  # Unpacked into a scratch folder first, so an interrupted fetch leaves no half tree behind.
  scratch=$(mktemp -d "$cache/fetch.XXXXXX")
  trap 'rm -rf "$scratch"' EXIT
  if ! (cd "$scratch" && apt-get source -qq "$package" >/dev/null 2>"$scratch/apt.log"); then
    echo "cannot fetch the $package source package (is the deb-src entry of scripts/install-deps.sh there?):" >&2
    tail -n 5 "$scratch/apt.log" >&2
    exit 1
  fi
  unpacked=$(find "$scratch" -maxdepth 1 -type d -name "$package-*" | head -n 1)
  tree="$cache/$(basename "$unpacked")"
  rm -rf "$tree"
  mv "$unpacked" "$tree"
fi
echo "$tree"
