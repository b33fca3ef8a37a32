#!/usr/bin/env bash
# Checks that every external command the scripts, the tests and the build call comes from a
# package that scripts/packages.txt lists (the list scripts/install-deps.sh installs), so that
# a command this machine happens to have from earlier work cannot hide a missing package.
#   scripts/check-deps.sh        exit 0 when all is well, 1 naming each command that is not
# A command passes when it is found on PATH and some file on its way (the name found, each
# link it goes through, the file it ends at) belongs to a listed package or to one that
# Debian marks essential (coreutils and the like, on every Debian system).
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# PostgreSQL keeps its server's programs off PATH; scripts/with-postgres.sh calls them there.
PATH=/usr/lib/postgresql/15/bin:$PATH

# command  package that provides it (named in the message when the command is missing or the
# package is not listed)
commands="
cmake cmake
ctest cmake
ninja ninja-build
pkg-config pkgconf
g++ g++
x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix
x86_64-w64-mingw32-gcc-posix gcc-mingw-w64-x86-64-posix
x86_64-w64-mingw32-windres binutils-mingw-w64-x86-64
i686-w64-mingw32-g++-posix g++-mingw-w64-i686-posix
i686-w64-mingw32-gcc-posix gcc-mingw-w64-i686-posix
i686-w64-mingw32-windres binutils-mingw-w64-i686
clang clang
clang++ clang
wine wine
wineserver wine
xvfb-run xvfb
Xvfb xvfb
xauth xauth
import imagemagick-6.q16
xdotool xdotool
wixl wixl
msibuild msitools
msiinfo msitools
msiextract msitools
osslsigncode osslsigncode
openssl openssl
x86_64-w64-mingw32-strip binutils-mingw-w64-x86-64
i686-w64-mingw32-strip binutils-mingw-w64-i686
socat socat
tshark tshark
srec_cat srecord
objcopy binutils
sh4-linux-gnu-as binutils-sh4-linux-gnu
sh4-linux-gnu-ld binutils-sh4-linux-gnu
sh4-linux-gnu-objcopy binutils-sh4-linux-gnu
powerpc64-linux-gnu-as binutils-powerpc64-linux-gnu
powerpc64-linux-gnu-ld binutils-powerpc64-linux-gnu
powerpc64-linux-gnu-objcopy binutils-powerpc64-linux-gnu
x86_64-linux-gnu-as binutils-x86-64-linux-gnu
x86_64-linux-gnu-ld binutils-x86-64-linux-gnu
x86_64-linux-gnu-objcopy binutils-x86-64-linux-gnu
jlha jlha-utils
cmp diffutils
find findutils
sh dash
mktemp coreutils
stat coreutils
timeout coreutils
dpkg dpkg
apt-get apt
dpkg-source dpkg-dev
tclsh tcl
make make
gcc gcc
chromium chromium
node nodejs
npm npm
initdb postgresql-15
pg_ctl postgresql-15
psql postgresql-client-15
pgbouncer pgbouncer
runuser util-linux
chrt util-linux
nice coreutils
dpkg-buildpackage dpkg-dev
dpkg-parsechangelog dpkg-dev
dh debhelper
help2man help2man
lintian lintian
debootstrap debootstrap
unshare util-linux
mount mount
umount mount
mountpoint util-linux
chroot coreutils
systemd-analyze systemd
"

mapfile -t listed < <(sed -e 's/#.*//' -e 's/^\[.*\]//' "$top/scripts/packages.txt" | tr -s ' \t' '\n' |
                      sed -e '/^$/d' -e 's/:i386$//')
is_listed() {
  local p
  for p in "${listed[@]}"; do [ "$p" = "$1" ] && return 0; done
  return 1
}
is_essential() { [ "$(dpkg-query -W -f='${Essential}' "$1" 2>/dev/null)" = yes ]; }

# The files a command goes through: the path found, each link, the file it ends at; on a
# merged-/usr system each also under its /bin <-> /usr/bin twin, which dpkg may know instead.
files_of() {
  local path=$1 hops=0
  while :; do
    echo "$path"
    case $path in
      /usr/bin/*|/usr/sbin/*|/usr/lib/*) echo "${path#/usr}" ;;
      /bin/*|/sbin/*|/lib/*) echo "/usr$path" ;;
    esac
    [ -L "$path" ] && [ $hops -lt 10 ] || break
    local target
    target=$(readlink "$path")
    case $target in /*) path=$target ;; *) path=$(dirname "$path")/$target ;; esac
    hops=$((hops + 1))
  done
  readlink -f "$1"
}

# Who owns each file of every command: one dpkg query for them all (one per file took a minute).
declare -A path_of owners
while read -r cmd package; do
  [ -n "$cmd" ] && path_of[$cmd]=$(command -v "$cmd" 2>/dev/null || true)
done <<<"$commands"
mapfile -t all_files < <(for p in "${path_of[@]}"; do [ -n "$p" ] && files_of "$p"; done | sort -u)
while IFS= read -r line; do
  file=${line#*: }
  owners[$file]+=" $(sed -e 's/: .*//' -e 's/, / /g' -e 's/:[a-z0-9]*\( \|$\)/\1/g' <<<"$line")"
done < <(dpkg -S "${all_files[@]}" 2>/dev/null)
owners_of() {
  local f
  for f in $(files_of "$1"); do echo ${owners[$f]:-}; done | tr ' ' '\n' | sed '/^$/d' | sort -u
}

failed=0
while read -r cmd package; do
  [ -z "$cmd" ] && continue
  path=${path_of[$cmd]}
  if [ -z "$path" ]; then
    echo "missing: $cmd (package $package$(is_listed "$package" || echo ", not listed in scripts/packages.txt"))"
    failed=1
    continue
  fi
  owners=$(owners_of "$path" | paste -sd' ')
  ok=0
  for o in $owners; do
    if is_listed "$o" || is_essential "$o"; then ok=1; break; fi
  done
  if [ $ok -eq 0 ]; then
    echo "not from a listed package: $cmd ($path, from ${owners:-no package}; add $package to scripts/packages.txt)"
    failed=1
  fi
done <<<"$commands"

# Python 3 runs the end-to-end tests: any interpreter will do, but there must be one.
if ! command -v python3 >/dev/null; then
  echo "missing: python3 (package python3)"
  failed=1
fi

if [ $failed -ne 0 ]; then
  echo "dependency check failed: install with scripts/install-deps.sh after fixing scripts/packages.txt"
  exit 1
fi
echo "dependency check: every command comes from a listed package"
