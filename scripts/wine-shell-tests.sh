#!/usr/bin/env bash
# Runs Tarvolo.exe in real windows under Wine on a headless X server, driven by the test
# driver of tests/shell/wine: start-up, menu, options and dialogs, the settings file, and
# (when the virtual handset is built) whole downloads over COM1.
#   scripts/wine-shell-tests.sh BUILD_DIR [SCREENSHOT_DIR]
set -euo pipefail
build=$(cd "${1:?usage: wine-shell-tests.sh BUILD_DIR [SCREENSHOT_DIR]}" && pwd)

shots=${2:-$build/screenshots}  # docs/screenshots holds the checked-in copies
bin=$build/bin
if [ ! -f "$bin/Tarvolo.exe" ] || [ ! -f "$bin/shell_wine_driver.exe" ]; then
  echo "Tarvolo.exe or the test driver is not built: skipped"
  exit 0
fi
if [ -z "${TARVOLO_XVFB:-}" ]; then
  exec env TARVOLO_XVFB=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

export WINEPREFIX=$(mktemp -d /tmp/tarvolo-shell-wine.XXXXXX)
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
scratch=$WINEPREFIX/scratch
mkdir -p "$scratch/work" "$scratch/closed"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

wineboot -i >/dev/null 2>&1 || true
# COM1 is a pseudo-terminal; COM2 to COM4 point at a directory, which cannot be opened.
socat pty,link="$scratch/ttyCOM1",raw,echo=0 pty,raw,echo=0 &
pids+=($!)
for n in 2 3 4; do
  wine reg add 'HKLM\Software\Wine\Ports' /v COM$n /d "$scratch/closed" /f >/dev/null 2>&1
done
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$scratch/ttyCOM1" /f >/dev/null 2>&1
# Without a window manager Wine draws the title bars itself.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
wineserver -k
for _ in $(seq 50); do [ -e "$scratch/ttyCOM1" ] && break; sleep 0.1; done

w() { winepath -w "$1" 2>/dev/null; }
status=0
scenario() {
  echo "--- $1"
  wine "$bin/shell_wine_driver.exe" "$1" "$(w "$bin/Tarvolo.exe")" "$(w "$scratch/work")" \
    "$(w "$bin/shell_menu_hook.dll")" "${@:2}" || status=1
}
scenario startup
scenario exit
mkdir -p "$shots"
scenario menu-shot "$shots/main-window-menu.png"
exit $status
