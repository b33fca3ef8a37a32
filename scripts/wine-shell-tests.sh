#!/usr/bin/env bash
# Runs Tarvolo.exe in real windows under Wine on a headless X server, driven by the test
# driver of tests/shell/wine: start-up, menu, options and dialogs, the settings file, port
# settings, the error boxes, and (when the virtual handset is built) whole downloads over
# COM1: by Go!, through the Open and Save dialogs with the conversion, and in gang mode.
#   scripts/wine-shell-tests.sh BUILD_DIR [SCREENSHOT_DIR]
# The virtual handset is the native tarvolo-handset of build/asan or build/release (or
# $TARVOLO_HANDSET); without one, or without the program or its driver, the run fails. A
# 32-bit build on a kernel that refuses 32-bit programs is not run: the script says so and
# exits 77.
set -euo pipefail
build=$(cd "${1:?usage: wine-shell-tests.sh BUILD_DIR [SCREENSHOT_DIR]}" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
handset=${TARVOLO_HANDSET:-}
for candidate in "$top/build/release/bin/tarvolo-handset" "$top/build/asan/bin/tarvolo-handset"; do
  [ -z "$handset" ] && [ -x "$candidate" ] && handset=$candidate
done

shots=${2:-$build/screenshots}  # docs/screenshots holds the checked-in copies
bin=$build/bin
if [ ! -f "$bin/Tarvolo.exe" ] || [ ! -f "$bin/shell_wine_driver.exe" ] || [ ! -f "$bin/shell_menu_hook.dll" ]; then
  echo "FAIL Tarvolo.exe, the test driver or its menu hook is not built in $bin"
  exit 1
fi
if [ -z "$handset" ]; then
  echo "FAIL no tarvolo-handset built (scripts/build.sh asan tarvolo-handset): the downloads cannot run"
  exit 1
fi
bits=$("$top/scripts/pe-bits.sh" "$bin/Tarvolo.exe") || exit 1
if [ "$bits" = 32 ] && ! why=$("$top/scripts/runs-32bit.sh"); then
  [ -n "$why" ] || exit 1  # 32-bit Wine broken otherwise: a failure, said on stderr
  echo "skipped: $why (the 32-bit application in $build was not run)"
  exit 77
fi
if [ -z "${TARVOLO_XVFB:-}" ]; then
  exec env TARVOLO_XVFB=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
export TARVOLO_WINE_BITS=$bits TARVOLO_WINE="$top/scripts/wine.sh"
wine() { "$TARVOLO_WINE" "$@"; }

export WINEPREFIX=$(mktemp -d /tmp/tarvolo-shell-wine.XXXXXX)
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# The files the program works on live outside the prefix: Wine's file dialogs cannot enter
# the prefix's own directory ("Path does not exist").
scratch=$(mktemp -d /tmp/tarvolo-shell-scratch.XXXXXX)
mkdir -p "$scratch/work" "$scratch/closed"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX" "$scratch"
}
trap cleanup EXIT

wine --prefix
# COM1 is a pseudo-terminal (a plain one, then the handset's); COM2 to COM4 point at a
# directory, which cannot be opened.
socat pty,link="$scratch/ttyCOM1",raw,echo=0 pty,raw,echo=0 &
socat_pid=$!
pids+=($socat_pid)
for n in 2 3 4; do
  wine reg add 'HKLM\Software\Wine\Ports' /v COM$n /d "$scratch/closed" /f >/dev/null 2>&1
done
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$scratch/ttyCOM1" /f >/dev/null 2>&1
# Without a window manager Wine draws the title bars itself.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
wineserver -k || true
for _ in $(seq 50); do [ -e "$scratch/ttyCOM1" ] && break; sleep 0.1; done

w() { wine winepath -w "$1" 2>/dev/null; }
status=0
# Runs one driver scenario; false when it was not selected (TARVOLO_SHELL_SCENARIOS="download
# abort" runs just those).
scenario() {
  if [ -n "${TARVOLO_SHELL_SCENARIOS:-}" ] && [[ " $TARVOLO_SHELL_SCENARIOS " != *" $1 "* ]]; then
    return 1
  fi
  echo "--- $1 (at ${SECONDS} s)"
  # Wine notes on each file dialog that the root's volume label cannot be read: not ours.
  wine "$bin/shell_wine_driver.exe" "$1" "$(w "$bin/Tarvolo.exe")" "$(w "$scratch/work")" \
    "$(w "$bin/shell_menu_hook.dll")" "${@:2}" 2>&1 | grep --line-buffered -v 'FS volume label and serial'
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
}
# The main window with its Port menu opened by a click, as an operator sees it.
menu_shot() {
  (cd "$scratch/work" && exec "$TARVOLO_WINE" "$bin/Tarvolo.exe" 2>/dev/null) &
  local app=$!
  local window=
  for _ in $(seq 100); do
    window=$(xdotool search --name '^Tarvolo - Handset Flash Loader$' 2>/dev/null | head -1) && [ -n "$window" ] && break
    sleep 0.1
  done
  if [ -z "$window" ]; then
    echo "FAIL main window for the screenshot"; status=1
  else
    sleep 1
    eval "$(xdotool getwindowgeometry --shell "$window")"
    # "&Port" is the second item of the menu bar, under the title bar.
    xdotool mousemove $((X + 47)) $((Y + 33)) sleep 0.3 click 1
    sleep 1
    import -window root "$1" && echo "ok   screenshot $1"
    xdotool key Escape
  fi
  kill "$app" 2>/dev/null || true
  wait "$app" 2>/dev/null || true
}

scenario startup || true
scenario exit || true
mkdir -p "$shots"
menu_shot "$shots/main-window-menu.png"

# Conversion of a file whose directory and name would break an unquoted command line (no
# "%": Wine's cmd.exe, unlike Windows', expands variables again inside expanded text). The
# batch file runs from the start-up directory and calls the converter beside it.
cp "$bin/Tarvolo.BAT" "$bin/tarvolo-cli.exe" "$scratch/work/"
odd="$scratch/work/my builds & co (x)"
mkdir -p "$odd"
head -c 5000 /dev/urandom >"$odd/a&b ^c!d;e=f,g.bin"
if scenario convert "$(w "$odd/a&b ^c!d;e=f,g.bin")" "$(w "$odd/a&b ^c!d;e=f,g.rel")"; then
  if [ "$(head -c 4 "$odd/a&b ^c!d;e=f,g.rel" 2>/dev/null)" = KM52 ] &&
     tail -c +5 "$odd/a&b ^c!d;e=f,g.rel" | cmp -s - "$odd/a&b ^c!d;e=f,g.bin"; then
    echo "ok   Tarvolo.BAT converted the file into its release file"
  else
    echo "FAIL no release file converted from the oddly named file"; status=1
  fi
fi

# Port, Settings on COM1 (the plain pseudo-terminal) and on COM3.
scenario ports "$top/tests/shell/wine/pty_holders.sh" "$scratch/ttyCOM1" "$scratch/holders.txt" \
  "$(w "$scratch/holders.txt")" || true

# The error boxes. The Save dialog adds ".rel" to a name typed without one: the name is made
# so that the path then holds 261 characters, more than the program's 259.
errors="$scratch/work/errors"
deep="$errors/$(printf 'd%.0s' $(seq 60))/$(printf 'e%.0s' $(seq 60))/$(printf 'f%.0s' $(seq 60))"
mkdir -p "$deep"
echo "not a build file" >"$errors/notes.txt"
head -c 3000 /dev/urandom >"$errors/x.bin"
long_dir=$(w "$deep")
long_name=$long_dir\\$(printf 'n%.0s' $(seq $((257 - ${#long_dir} - 1))))
scenario errors "$(w "$errors")" "$long_name" "$shots/error-box.png" || true

kill "$socat_pid" 2>/dev/null || true
wait "$socat_pid" 2>/dev/null || true

# A release file: the product identifier, then 40 KiB of image with a blank stretch.
release=$scratch/work/image.rel
python3 - "$release" <<'PY'
import random, sys
random.seed(7)
image = bytes(random.randrange(256) for _ in range(24 * 1024)) + b"\xff" * 8192 + bytes(range(256)) * 32
open(sys.argv[1], "wb").write(b"KM52" + image)
PY

# Starts the handset on COM1's link with extra options; waits for the link. Under Wine an
# answer that comes back within a few milliseconds can be reported before the end of the
# frame it answers (and so be missed): the handset takes the time a real one would.
start_handset() {
  rm -f "$scratch/ttyCOM1"
  "$handset" --link "$scratch/ttyCOM1" --linger-ms 2000 --turnaround-ms 60 "$@" >"$scratch/handset.out" 2>&1 &
  handset_pid=$!
  pids+=($handset_pid)
  for _ in $(seq 100); do [ -e "$scratch/ttyCOM1" ] && break; sleep 0.05; done
}
stop_handset() {
  kill -CONT "$handset_pid" 2>/dev/null || true  # the gang scenario stops it for a while
  kill "$handset_pid" 2>/dev/null || true
  wait "$handset_pid" 2>/dev/null || true
  [ $status -eq 0 ] || sed 's/^/handset: /' "$scratch/handset.out" | tail -20
}

start_handset --flash-out "$scratch/flash.bin" --erase-ms 500
if scenario download "$(w "$release")" "$shots/download-dialog.png" "$shots/download-status.png" &&
   tail -c +5 "$release" | cmp -s - <(head -c $(( $(stat -c %s "$release") - 4 )) "$scratch/flash.bin"); then
  echo "ok   the handset's flash equals the image"
elif [ -z "${TARVOLO_SHELL_SCENARIOS:-}" ]; then
  echo "FAIL the handset's flash differs from the image"; status=1
fi
stop_handset

# Small release files for the downloads chosen through the dialogs.
releases="$scratch/work/releases"
mkdir -p "$releases"
for name in "first image" "older build" gang; do
  { printf KM52; head -c 3072 /dev/urandom; } >"$releases/$name.rel"
done

start_handset --flash-out "$scratch/flash.bin" --erase-ms 50
scenario open "$(w "$releases/first image.rel")" "$(w "$releases/older build.rel")" \
  "$(w "$scratch/flash.bin")" "$shots/open-dialog.png" || true
scenario save "$(w "$odd/a&b ^c!d;e=f,g.bin")" "$(w "$odd/out & co (2).rel")" \
  "$(w "$releases/first image.rel")" "$(w "$scratch/flash.bin")" || true
stop_handset

start_handset --flash-out "$scratch/flash.bin" --erase-ms 50
scenario gang "$(w "$releases/gang.rel")" "$(w "$scratch/flash.bin")" "$handset_pid" \
  "$shots/gang-dialog.png" || true
stop_handset

start_handset --product-id KM99
scenario refused "$(w "$release")" || true
stop_handset

start_handset --erase-ms 30000
scenario abort "$(w "$release")" || true
stop_handset
exit $status
