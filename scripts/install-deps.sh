#!/usr/bin/env bash
# Installs everything the build, the demo and the tests need, from Debian's packages listed in
# scripts/packages.txt (the one list; scripts/check-deps.sh reads it too).
#   scripts/install-deps.sh          everything
#   scripts/install-deps.sh --demo   only what a download needs (the list's [demo] part)
# Safe to run again: packages already there are left alone.
# It also enables Debian's source packages (a sources entry of the project's own) and unpacks
# the sqlite3 and libmicrohttpd sources the Windows builds compile their SQLite and web server
# from (scripts/fetch-source.sh); and it
# installs puppeteer-core for the browser test under build/ (scripts/install-puppeteer.sh).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
part=all
case ${1:-} in
  "") ;;
  --demo) part=demo ;;
  *) echo "install-deps.sh: unknown argument '$1' (--demo or nothing)" >&2; exit 64 ;;
esac
# The packages of the list, or of its [demo] part only.
mapfile -t packages < <(sed -e 's/#.*//' "$top/scripts/packages.txt" |
  awk -v part="$part" '/^\[/ { section = $0; next } part == "all" || section == "[" part "]"' |
  tr -s ' \t' '\n' | sed '/^$/d')

# A package counts as there when an installed one provides it: Node's own repository's nodejs
# provides npm, and Debian's npm would conflict with it.
provided=$(dpkg-query -W -f='${db:Status-Abbrev} ${Provides}\n' 2>/dev/null | sed -n 's/^ii *//p' |
           tr ',' '\n' | sed -e 's/(.*)//' -e 's/ //g' | sort -u)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" && continue
  grep -qx "${p%:*}" <<<"$provided" || missing+=("$p")
done
export DEBIAN_FRONTEND=noninteractive

# Source packages only: the binary entries stay the system's own (a second deb entry for the
# same archive makes apt warn about every index configured twice).
src_entry=/etc/apt/sources.list.d/tarvolo-sources.sources
if [ ! -f "$src_entry" ]; then
  cat >"$src_entry" <<'ENTRY'
# Debian's source packages, for the libraries the Windows builds compile from source (SQLite,
# libmicrohttpd).
# Written by Tarvolo's scripts/install-deps.sh.
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
ENTRY
  apt-get update -qq
fi
fetch_sources() {
  [ "$part" = demo ] && return 0
  "$top/scripts/fetch-source.sh" sqlite3 >/dev/null
  "$top/scripts/fetch-source.sh" libmicrohttpd >/dev/null
  "$top/scripts/install-puppeteer.sh" >/dev/null
}

if [ ${#missing[@]} -eq 0 ]; then
  fetch_sources
  exit 0
fi

# 32-bit Wine comes from the i386 architecture.
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
echo "installing: ${missing[*]}"
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fetch_sources
