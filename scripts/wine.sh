#!/usr/bin/env bash
# Wine for every script and test that starts a Windows program, with the loader that suits
# the programs of the prefix:
#   scripts/wine.sh PROGRAM [ARG...]   a Windows program, or one of Wine's own (wineboot, reg,
#                                      winepath), run in $WINEPREFIX
#   scripts/wine.sh --prefix           makes $WINEPREFIX with that same loader; fails, with
#                                      what Wine said, when no usable prefix came of it
#   scripts/wine.sh --map-ports LINK COM1 [COM12 ...]
#                                      maps those ports of $WINEPREFIX to LINK (a pty, or the
#                                      symlink its owner keeps) and ends Wine's server: the
#                                      next program Wine starts opens LINK as each port
# TARVOLO_WINE_BITS=64 (the default) runs Wine's 64-bit loader. Debian's /usr/bin/wine starts
# the 32-bit loader whenever wine32 is installed, even for a 64-bit program, and some kernels
# refuse 32-bit programs: the 64-bit steps must not depend on them.
# TARVOLO_WINE_BITS=32 runs Debian's wine, whose prefix runs 32- and 64-bit programs alike;
# it needs a kernel that runs 32-bit programs (scripts/runs-32bit.sh tells).
set -euo pipefail
case ${TARVOLO_WINE_BITS:-64} in
  64) loader=/usr/lib/wine/wine64; export WINELOADER=$loader ;;
  32) loader=/usr/bin/wine ;;
  *) echo "wine.sh: TARVOLO_WINE_BITS must be 32 or 64, not '$TARVOLO_WINE_BITS'" >&2; exit 64 ;;
esac
[ -x "$loader" ] || { echo "wine.sh: no Wine loader at $loader: run scripts/install-deps.sh" >&2; exit 127; }

if [ "${1:-}" = --prefix ]; then
  : "${WINEPREFIX:?wine.sh --prefix: WINEPREFIX is not set}"
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  # wineboot's own exit status says little (it warns and goes on), and the server writes the
  # registry only when it ends: wait for it, then the registry is the sign of a prefix that
  # programs can run in.
  "$loader" wineboot -i >"$log" 2>&1 || true
  wineserver -w >>"$log" 2>&1 || true
  if [ ! -s "$WINEPREFIX/system.reg" ]; then
    echo "wine.sh: cannot make a Wine prefix in $WINEPREFIX with $loader:" >&2
    tail -n 20 "$log" >&2
    exit 1
  fi
  exit 0
fi
if [ "${1:-}" = --map-ports ]; then
  # A symlink made by hand in dosdevices is overwritten when Wine starts: the registry's map
  # is what lasts. Wine enters every mapped port in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM
  # ("\Device\Serial11" = "COM12"), where port discovery finds it; ports from COM10 up too.
  link=${2:?wine.sh --map-ports LINK PORT...}
  shift 2
  for port in "$@"; do
    "$loader" reg add 'HKLM\Software\Wine\Ports' /v "$port" /d "$link" /f >/dev/null 2>&1 ||
      { echo "wine.sh: cannot map $port to $link in Wine's registry" >&2; exit 1; }
  done
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  exit 0
fi
exec "$loader" "$@"
