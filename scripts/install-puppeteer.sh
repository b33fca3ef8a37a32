#!/usr/bin/env bash
# Installs puppeteer-core, which drives the system's chromium in the web page tests, into a
# folder of its own under build/ (never a browser download: the tests point it at
# /usr/bin/chromium). A pinned version, installed once: a second run finds it and does nothing.
#   scripts/install-puppeteer.sh [FOLDER]     default FOLDER: build/node
# Prints the folder whose node_modules holds it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
folder=${1:-$top/build/node}
version=24.10.0
mkdir -p "$folder"
installed=$(sed -n 's/^ *"version": *"\([^"]*\)".*/\1/p' \
            "$folder/node_modules/puppeteer-core/package.json" 2>/dev/null | head -n 1 || true)
if [ "$installed" != "$version" ]; then
  [ -f "$folder/package.json" ] || echo '{"private": true}' >"$folder/package.json"
  if ! PUPPETEER_SKIP_DOWNLOAD=1 npm install --prefix "$folder" --no-audit --no-fund --loglevel=error \
      "puppeteer-core@$version" >"$folder/npm.log" 2>&1; then
    echo "cannot install puppeteer-core $version with npm:" >&2
    tail -n 5 "$folder/npm.log" >&2
    exit 1
  fi
fi
echo "$folder"
