#!/usr/bin/env bash
# Builds the Windows installer, an MSI, from a Windows build (scripts/build.sh windows|windows32):
#   scripts/package-windows.sh [windows|windows32] [--out DIR]
# writes DIR/tarvolo-VERSION-x64.msi (or -x86; DIR defaults to build/FLAVOUR/installer) and
# prints its path. The version is the one of project() in CMakeLists.txt, as the build's cache
# holds it. The programs are stripped of their symbols first (the 64-bit tarvolo-cli.exe goes
# from 14.5 MB to 5.8 MB).
#
# Signing (Authenticode, with osslsigncode) when TARVOLO_SIGN_KEY is set: the programs inside,
# then the MSI; each signature is verified before the next step. See docs/windows-installer.md.
#   TARVOLO_SIGN_KEY      the private key: a PEM file, or a PKCS#11 URI ("pkcs11:token=...")
#   TARVOLO_SIGN_CERT     the certificate (chain) as a PEM file, or a PKCS#11 URI
#   TARVOLO_SIGN_PKCS11_MODULE  the token's PKCS#11 module, when the key is on a token
#   TARVOLO_SIGN_PKCS11_ENGINE  OpenSSL's PKCS#11 engine, when it is not found by itself
#   TARVOLO_SIGN_PASS_FILE      a file holding the key's password or the token's PIN
#   TARVOLO_SIGN_TIMESTAMP      an RFC 3161 time-stamping server's URL
#   TARVOLO_SIGN_CAFILE   the certificates the verification trusts (default: the system's)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
flavour=windows
out=
while [ $# -gt 0 ]; do
  case $1 in
    windows|windows32) flavour=$1; shift ;;
    --out) out=${2:?--out needs a folder}; shift 2 ;;
    *) echo "package-windows.sh: unknown argument '$1' (windows, windows32, --out DIR)" >&2; exit 64 ;;
  esac
done
build=$top/build/$flavour
bin=$build/bin
out=${out:-$build/installer}
fail() { echo "package-windows.sh: $*" >&2; exit 1; }
for f in Tarvolo.exe tarvolo-cli.exe Tarvolo.BAT; do
  [ -f "$bin/$f" ] || fail "no $bin/$f: build it first (scripts/build.sh $flavour)"
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[[ $version =~ ^[0-9]+(\.[0-9]+){1,3}$ ]] ||
  fail "no project version in $build/CMakeCache.txt (project(... VERSION ...) in CMakeLists.txt)"
bits=$("$top/scripts/pe-bits.sh" "$bin/Tarvolo.exe")
case $bits in
  64) arch=x64 triplet=x86_64-w64-mingw32 ;;
  32) arch=x86 triplet=i686-w64-mingw32 ;;
esac

mkdir -p "$out"
msi=$out/tarvolo-$version-$arch.msi
stage=$(mktemp -d "$out/stage.XXXXXX")
# A failed run leaves no MSI behind that could pass for a finished one.
done=
trap 'rm -rf "$stage" "$msi.signed"; [ -n "$done" ] || rm -f "$msi"' EXIT
rm -f "$msi"

sign() {  # sign FILE: signs FILE in place and verifies the signature
  [ -n "${TARVOLO_SIGN_KEY:-}" ] || return 0
  local args=(sign -h sha256 -n Tarvolo -key "$TARVOLO_SIGN_KEY")
  if [ -n "${TARVOLO_SIGN_PKCS11_MODULE:-}" ]; then
    args+=(-pkcs11module "$TARVOLO_SIGN_PKCS11_MODULE")
    [ -z "${TARVOLO_SIGN_PKCS11_ENGINE:-}" ] || args+=(-pkcs11engine "$TARVOLO_SIGN_PKCS11_ENGINE")
    [[ ${TARVOLO_SIGN_CERT:?TARVOLO_SIGN_CERT is not set} == pkcs11:* ]] &&
      args+=(-pkcs11cert "$TARVOLO_SIGN_CERT") || args+=(-certs "$TARVOLO_SIGN_CERT")
  else
    args+=(-certs "${TARVOLO_SIGN_CERT:?TARVOLO_SIGN_CERT is not set}")
  fi
  [ -z "${TARVOLO_SIGN_PASS_FILE:-}" ] || args+=(-readpass "$TARVOLO_SIGN_PASS_FILE")
  [ -z "${TARVOLO_SIGN_TIMESTAMP:-}" ] || args+=(-ts "$TARVOLO_SIGN_TIMESTAMP")
  local said
  said=$(osslsigncode "${args[@]}" -in "$1" -out "$1.signed" 2>&1) ||
    fail "signing $(basename "$1") failed: $said"
  mv "$1.signed" "$1"
  local verify=(verify -in "$1")
  [ -z "${TARVOLO_SIGN_CAFILE:-}" ] || verify+=(-CAfile "$TARVOLO_SIGN_CAFILE")
  said=$(osslsigncode "${verify[@]}" 2>&1) ||
    fail "the signature of $(basename "$1") does not verify: $(tail -n 5 <<<"$said")"
}

cp "$bin/Tarvolo.exe" "$bin/tarvolo-cli.exe" "$bin/Tarvolo.BAT" "$top/resources/tarvolo.ico" "$stage/"
for exe in Tarvolo.exe tarvolo-cli.exe; do
  "$triplet-strip" --strip-all "$stage/$exe"
  sign "$stage/$exe"
done

# wixl reports an attribute or element it does not know only as a warning and goes on: here
# any such word is an error, so that nothing the source asks for is silently left out.
log=$stage/wixl.log
(cd "$stage" && wixl -a "$arch" -D Version="$version" -D Bits="$bits" -o "$msi" \
   "$top/packaging/windows/tarvolo.wxs") >"$log" 2>&1 || { cat "$log" >&2; fail "wixl failed"; }
if grep -q -E 'WARNING|CRITICAL|ERROR' "$log"; then
  cat "$log" >&2; fail "wixl warned: the MSI was not kept"
fi

# What wixl cannot write: the PATH entry (the Environment table and its actions), the
# component condition that makes it an option, the settings file the uninstall removes, and
# an upgrade that also replaces the same version (the other architecture's package).
upgrade_code=$(msiinfo export "$msi" Property | sed -n 's/^UpgradeCode\t//p' | tr -d '\r' | tr a-f A-F)
msibuild "$msi" -i "$top/packaging/windows/Environment.idt" >/dev/null ||
  fail "msibuild could not add the Environment table"
while IFS= read -r query; do
  [[ -z $query || $query == \#* ]] && continue
  query=${query//@VERSION@/$version}
  query=${query//@UPGRADE_CODE@/$upgrade_code}
  msibuild "$msi" -q "$query" >/dev/null 2>&1 || fail "msibuild refused: $query"
done <"$top/packaging/windows/after-wixl.sql"

sign "$msi"
done=1
echo "$msi"
