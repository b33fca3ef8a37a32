#!/usr/bin/env bash
# The Debian package on a clean Debian 12. A minimal bookworm (debootstrap --variant=minbase,
# made once and kept in build/debian12/minbase) is copied afresh, gets the package with
# `apt-get install ./tarvolo_*.deb`, which must fetch the libraries of the package's Depends:
# line that a minimal system lacks (SQLite, ODBC, libmicrohttpd, lhasa), and the installed programs then run a download into a
# virtual handset and a two-port station that writes its record. This proves the Depends: line
# and the installed files, not the build tree.
#   scripts/test-package.sh DEB
# Runs as root: debootstrap and chroot. The copy's mounts (proc, a pty instance, apt's lists
# and downloaded packages) live in a mount namespace of this script's own, so they end with it
# whatever happens, and the copy can then be removed without reaching the machine's own /dev.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
deb=$(realpath "${1:?usage: test-package.sh DEB}")
cache=$top/build/debian12
base=$cache/minbase
root=$cache/root

if [ -z "${TARVOLO_PACKAGE_TEST_NS:-}" ]; then
  TARVOLO_PACKAGE_TEST_NS=1 exec unshare --mount --propagation private "$0" "$deb"
fi

if [ ! -e "$base/.complete" ]; then
  echo "== debootstrap: a minimal Debian 12 into $base (once; kept for later runs)"
  mkdir -p "$cache"
  rm -rf --one-file-system "$base.partial"
  debootstrap --variant=minbase bookworm "$base.partial" http://deb.debian.org/debian >"$cache/debootstrap.log" 2>&1 ||
    { tail -n 20 "$cache/debootstrap.log"; exit 1; }
  touch "$base.partial/.complete"
  mv "$base.partial" "$base"
fi

echo "== A fresh copy of the minimal Debian 12, with this machine's apt sources, certificates and resolver"
# The copy is an overlay on the kept tree where the kernel allows one (nothing to copy), a
# full copy otherwise; either way the kept tree is never written.
rm -rf --one-file-system "$root" "$cache/overlay"
mkdir -p "$root" "$cache/overlay/upper" "$cache/overlay/work"
mount -t overlay overlay -o "lowerdir=$base,upperdir=$cache/overlay/upper,workdir=$cache/overlay/work" "$root" \
  2>/dev/null || { rmdir "$root"; cp -a "$base" "$root"; }
cp /etc/apt/sources.list.d/debian.sources "$root/etc/apt/sources.list.d/"
rm -f "$root/etc/apt/sources.list"
shopt -s nullglob
certificates=(/usr/local/share/ca-certificates/*.crt)
mkdir -p "$root/usr/local/share/ca-certificates"
[ ${#certificates[@]} -eq 0 ] || cp "${certificates[@]}" "$root/usr/local/share/ca-certificates/"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/tmp/"
# apt's package lists and downloaded packages are kept between runs (an update then fetches
# only what changed); what is installed is decided afresh in each copy.
mkdir -p "$cache/apt-archives/partial" "$cache/apt-lists/partial"
mount --bind "$cache/apt-archives" "$root/var/cache/apt/archives"
mount --bind "$cache/apt-lists" "$root/var/lib/apt/lists"
mount -t proc proc "$root/proc"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
mount --bind "$root/dev/pts/ptmx" "$root/dev/ptmx"

# What runs inside: install, then use only what was installed (no build tree is visible).
cat >"$root/tmp/inside.sh" <<'INSIDE'
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8
cd /tmp
echo "== apt-get install ./$(basename /tmp/tarvolo_*.deb)"
apt-get update -qq
apt-get install -y -qq ./tarvolo_*.deb >apt.log || { cat apt.log; exit 1; }
grep -E '^(Setting up|The following NEW)' apt.log | sed 's/^/  /' | head -n 40
echo "  $(dpkg-query -W -f='Depends: ${Depends}' tarvolo)"

echo "== What the package installed"
version=$(dpkg-query -W -f='${Version}' tarvolo)
for program in tarvolo tarvolo-handset; do
  said=$($program --version)
  [ "$said" = "$program $version" ] || { echo "FAIL: $program --version says '$said', the package $version"; exit 1; }
  echo "  $said"
done
for file in /usr/share/man/man1/tarvolo.1.gz /usr/share/man/man1/tarvolo-handset.1.gz \
            /usr/lib/udev/rules.d/60-tarvolo.rules /usr/share/doc/tarvolo/copyright; do
  [ -e "$file" ] || { echo "FAIL: the package installed no $file"; exit 1; }
  echo "  $file"
done
zcat /usr/share/man/man1/tarvolo.1.gz | grep -q '^\.SH "\{0,1\}TARVOLO DOWNLOAD' ||
  { echo "FAIL: tarvolo(1) has no section for tarvolo download"; exit 1; }

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait || true; }
trap cleanup EXIT
await_link() { for _ in $(seq 100); do [ -e "$1" ] && return 0; sleep 0.1; done; echo "FAIL: no $1"; exit 1; }

mkdir -p /tmp/line && cd /tmp/line
head -c 32768 /dev/urandom >image.bin
{ printf KM52; cat image.bin; } >firmware.rel

echo "== A download into a virtual handset"
tarvolo-handset --link ttyHANDSET --image-blocks 32 --flash-out flash.bin --exit-after-download \
  >handset.out 2>handset.err &
pids+=($!)
await_link ttyHANDSET
tarvolo download --port ttyHANDSET --speed 115200 --mode erase --give-up-after 20 firmware.rel >download.out 2>&1 ||
  { cat download.out; exit 1; }
tail -n 1 download.out
wait "${pids[0]}"
pids=()
cmp flash.bin image.bin || { echo "FAIL: the handset's flash differs from the image"; cat handset.err; exit 1; }
echo "  the handset's flash equals the image"

echo "== A two-port station writing its record"
for n in 1 2; do
  tarvolo-handset --link ttyPORT$n --units 1 --unit-stay-ms 2000 --flash-out port$n-unit%d.bin \
    >/dev/null 2>handset$n.err &
  pids+=($!)
  await_link ttyPORT$n
done
tarvolo station --ports ttyPORT1,ttyPORT2 --units 2 --speed 115200 --station-id package-test \
  --operator packager --lot PKG-1 firmware.rel >station.out 2>&1 || { cat station.out; exit 1; }
tarvolo log
completed=$(tarvolo log --json | grep -o '"outcome":"completed"' | wc -l)
[ "$completed" -eq 2 ] || { echo "FAIL: the record holds $completed completed units, not 2"; tarvolo log --json; exit 1; }
echo "  the record (tarvolo-production.db) holds both units, completed"
INSIDE

status=0
timeout --kill-after=10 300 chroot "$root" /bin/bash /tmp/inside.sh || status=$?
umount "$root/dev/ptmx" "$root/dev/pts" "$root/proc" "$root/var/cache/apt/archives" "$root/var/lib/apt/lists"
mountpoint -q "$root" && umount "$root"
rm -rf --one-file-system "$root" "$cache/overlay"
[ $status -eq 0 ] && echo "== The package works on a clean Debian 12" || echo "FAIL: the package on a clean Debian 12 (exit $status)"
exit $status
