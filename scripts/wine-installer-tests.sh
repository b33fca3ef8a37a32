#!/usr/bin/env bash
# The Windows installer under Wine, as an operator meets it, in a fresh prefix:
#   scripts/wine-installer-tests.sh windows|windows32
# builds the MSI from that build, signed with a throw-away certificate
# (scripts/package-windows.sh verifies each signature), installs it silently with the PATH
# option, runs a download over COM1 into the native virtual handset with the tarvolo-cli.exe
# the PATH finds, starts the installed Tarvolo.exe in its folder through the application's
# test driver (main window, menu, its settings file written beside it) and again through its
# Start-menu entry, installs the same version built again over it (an upgrade that keeps the
# PATH option), uninstalls it, and checks that no file, folder, PATH entry or registry value
# of Tarvolo is left.
# A 32-bit build on a kernel that refuses 32-bit programs: the installer is built, signed and
# verified but not run; the script says so and exits 77.
# The virtual handset is the native tarvolo-handset of build/release or build/asan (or
# $TARVOLO_HANDSET).
set -euo pipefail
flavour=${1:?usage: wine-installer-tests.sh windows|windows32}
top=$(cd "$(dirname "$0")/.." && pwd)
bin=$top/build/$flavour/bin
[ -f "$bin/Tarvolo.exe" ] || { echo "FAIL no $bin/Tarvolo.exe: scripts/build.sh $flavour"; exit 1; }
bits=$("$top/scripts/pe-bits.sh" "$bin/Tarvolo.exe") || exit 1
why_not=
if [ "$bits" = 32 ] && ! why_not=$("$top/scripts/runs-32bit.sh"); then
  [ -n "$why_not" ] || exit 1  # 32-bit Wine broken otherwise: a failure, said on stderr
fi
if [ -z "$why_not" ]; then
  handset=${TARVOLO_HANDSET:-}
  for candidate in "$top/build/release/bin/tarvolo-handset" "$top/build/asan/bin/tarvolo-handset"; do
    [ -z "$handset" ] && [ -x "$candidate" ] && handset=$candidate
  done
  [ -n "$handset" ] || { echo "FAIL no tarvolo-handset built (scripts/build.sh asan tarvolo-handset)"; exit 1; }
  for f in shell_wine_driver.exe shell_menu_hook.dll; do
    [ -f "$bin/$f" ] || { echo "FAIL no $bin/$f: scripts/build.sh $flavour"; exit 1; }
  done
  if [ -z "${TARVOLO_XVFB:-}" ]; then
    exec env TARVOLO_XVFB=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
  fi
fi

# The folder's name holds no "tarvolo", so that the registry's last look finds only what the
# installer wrote.
work=$(mktemp -d /tmp/wine-installer.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -z "${WINEPREFIX:-}" ] || wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
status=0
ok() { echo "ok   $*"; }
failed() { echo "FAIL $*"; status=1; }

# A throw-away code-signing certificate, trusted by the verification alone.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Tarvolo test signing (throw-away)" \
  -addext extendedKeyUsage=codeSigning -addext keyUsage=critical,digitalSignature \
  -keyout "$work/key.pem" -out "$work/cert.pem" >"$work/openssl.log" 2>&1 ||
  { cat "$work/openssl.log"; echo "FAIL no throw-away certificate"; exit 1; }
msi=$(TARVOLO_SIGN_KEY=$work/key.pem TARVOLO_SIGN_CERT=$work/cert.pem TARVOLO_SIGN_CAFILE=$work/cert.pem \
      "$top/scripts/package-windows.sh" "$flavour" --out "$work") || { echo "FAIL no installer built"; exit 1; }
ok "$(basename "$msi"): $(stat -c %s "$msi") bytes, its programs and itself signed, each signature verified"
if [ -n "$why_not" ]; then
  echo "skipped: $why_not (the 32-bit installer was built, signed and verified, not installed)"
  exit 77
fi

export TARVOLO_WINE_BITS=$bits TARVOLO_WINE="$top/scripts/wine.sh"
# winemenubuilder would copy the Start-menu entry into the desktop's menus outside the prefix.
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
wine() { "$TARVOLO_WINE" "$@"; }
w() { wine winepath -w "$1" 2>/dev/null | tr -d '\r'; }
wine --prefix
files() { (cd "$WINEPREFIX/drive_c" && find . | sort); }
# Windows Installer's own caches (the copy of the package it keeps for the uninstall, the
# icon) are the system's: they are there on every Windows machine.
files_but_installer_caches() { files | grep -v -E '^\./(windows|users/[^/]*/AppData/Roaming/Microsoft)/Installer(/|$)'; }
before=$(files_but_installer_caches)
user_path() {  # the user's own PATH (none in a fresh prefix)
  { wine reg query 'HKCU\Environment' /v PATH 2>/dev/null || true; } | tr -d '\r' | sed -n 's/.*REG_[A-Z_]*SZ *//p'
}
path_before=$(user_path)

echo "--- msiexec /i $(basename "$msi") /qn ADDTOPATH=1"
wine msiexec /i "$(w "$msi")" /qn ADDTOPATH=1 || failed "msiexec /i exited with $?"
installdir=$(find "$WINEPREFIX/drive_c/users" -path '*/AppData/Local/Programs/Tarvolo' -type d | head -1)
shortcut=$(find "$WINEPREFIX/drive_c/users" -path '*/Start Menu/Programs/Tarvolo.lnk' | head -1)
mkdir -p "$work/packaged"
(cd "$work/packaged" && msiextract "$msi" >/dev/null)
for f in Tarvolo.exe tarvolo-cli.exe Tarvolo.BAT; do
  if [ -n "$installdir" ] && cmp -s "$installdir/$f" "$work/packaged/Programs/Tarvolo/$f"; then
    ok "installed $f, the packaged one"
  else
    failed "$f is not installed as packaged in %LOCALAPPDATA%\\Programs\\Tarvolo"
  fi
done
[ -n "$shortcut" ] && ok "Start-menu entry Tarvolo.lnk" || failed "no Start-menu entry Tarvolo.lnk"
# A PATH entry, with or without its closing backslash.
on_path() { tr ';' '\n' <<<"$(user_path)" | sed 's/\\$//' | grep -qixF "$(w "$1" | sed 's/\\$//')"; }
if [ -n "$installdir" ] && on_path "$installdir"; then
  ok "the user's PATH holds $(w "$installdir")"
else
  failed "the user's PATH does not hold the install folder: '$(user_path)'"
fi

echo "--- tarvolo-cli.exe, found on the PATH, downloads over COM1 into tarvolo-handset"
mkdir -p "$work/download"
wine --map-ports "$work/download/ttyHANDSET" COM1 || failed "COM1 not mapped"
TARVOLO_BIN=$(dirname "$handset") PYTHONDONTWRITEBYTECODE=1 \
  python3 "$top/tests/e2e/wine_download.py" "$work/download" tarvolo-cli.exe --one || status=1

echo "--- the installed Tarvolo.exe in its folder: main window, menu, settings file written on close"
# The driver's start-up scenario expects the menu of scripts/wine-shell-tests.sh: COM1 opens
# (a pty), COM2 to COM4 do not (a folder).
mkdir -p "$work/closed"
socat pty,link="$work/ttyCOM1",raw,echo=0 pty,raw,echo=0 &
pids+=($!)
wine --map-ports "$work/closed" COM2 COM3 COM4 && wine --map-ports "$work/ttyCOM1" COM1 ||
  failed "COM1 to COM4 not mapped"
for _ in $(seq 50); do [ -e "$work/ttyCOM1" ] && break; sleep 0.1; done
# The driver runs from the work folder, whose path names no Tarvolo (see the registry's look).
cp "$bin/shell_wine_driver.exe" "$bin/shell_menu_hook.dll" "$work/"
if [ -n "$installdir" ]; then
  wine "$work/shell_wine_driver.exe" startup "$(w "$installdir/Tarvolo.exe")" "$(w "$installdir")" \
    "$(w "$work/shell_menu_hook.dll")" || failed "the installed Tarvolo.exe"
fi

echo "--- the Start-menu entry starts the main window"
if [ -n "$shortcut" ]; then
  wine start /unix "$shortcut" >/dev/null 2>&1 &
  pids+=($!)
  window=
  for _ in $(seq 150); do
    window=$(xdotool search --name '^Tarvolo - Handset Flash Loader$' 2>/dev/null | head -1) && [ -n "$window" ] && break
    sleep 0.1
  done
  [ -n "$window" ] && ok "Tarvolo.lnk opened the main window" || failed "no main window from Tarvolo.lnk"
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
fi

# A package of the same version built again (another product code) replaces the installed one
# and keeps the PATH option without being told; were the first left installed beside it, its
# files and keys would outlast the uninstall below.
echo "--- the same version built again, installed over it without ADDTOPATH"
msi=$("$top/scripts/package-windows.sh" "$flavour" --out "$work/again") || failed "no second installer built"
if [ -f "$msi" ]; then
  wine msiexec /i "$(w "$msi")" /qn || failed "msiexec /i of the second package exited with $?"
  [ -n "$installdir" ] && on_path "$installdir" && ok "the PATH entry kept" || failed "the PATH entry lost: '$(user_path)'"
fi

echo "--- msiexec /x $(basename "$msi") /qn"
wine msiexec /x "$(w "$msi")" /qn || failed "msiexec /x exited with $?"
left=$( { diff <(echo "$before") <(files_but_installer_caches) || true; } | sed -n 's/^> //p')
[ -z "$left" ] && ok "no file or folder left" || failed "left behind: $(echo $left)"
[ "$(user_path)" = "$path_before" ] && ok "the user's PATH as before" || failed "the user's PATH is now '$(user_path)'"
wineserver -w 2>/dev/null || true  # the registry files are written when the server ends
traces=$(grep -i -h 'tarvolo' "$WINEPREFIX"/*.reg || true)
[ -z "$traces" ] && ok "no registry value names Tarvolo" || failed "left in the registry: $(head -n 5 <<<"$traces")"
exit $status
