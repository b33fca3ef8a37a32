#!/usr/bin/env bash
# Makes the Debian package build/deb/tarvolo_VERSION_ARCH.deb the Debian way (debian/,
# debhelper, dpkg-buildpackage) from a copy of the source tree, then checks it with lintian,
# which must find no error. The version is the project's (CMakeLists.txt), which
# debian/changelog must repeat: a package that says another version than its programs is
# refused here.
#   scripts/package-deb.sh        prints the package's path last
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/build/deb

version=$(sed -n 's/^project(Tarvolo VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
packaged=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
if [ "$packaged" != "$version" ]; then
  echo "package-deb.sh: debian/changelog says version $packaged, CMakeLists.txt $version: add a" \
       "debian/changelog entry for $version (dch -v $version)" >&2
  exit 1
fi

# The build runs in a copy, so that it neither writes into the source tree nor reads the
# trees of other builds; dpkg-buildpackage puts its results in the copy's parent, $out.
source=$out/tarvolo-$version
rm -rf "$out"
mkdir -p "$source"
tar -C "$top" --exclude=./build --exclude=./.git -cf - . | tar -C "$source" -xf -
echo "== dpkg-buildpackage (log: $out/build.log)"
(cd "$source" && dpkg-buildpackage -b -us -uc -jauto) >"$out/build.log" 2>&1 ||
  { tail -n 40 "$out/build.log"; echo "package-deb.sh: the package build failed (log: $out/build.log)" >&2; exit 1; }

deb=$(ls "$out"/tarvolo_"$version"_*.deb)
echo "== lintian $(basename "$deb")"
status=0
lintian --fail-on error --display-info "$deb" | tee "$out/lintian.log" || status=$?
echo "lintian: $(grep -c '^E:' "$out/lintian.log" || true) errors, $(grep -c '^W:' "$out/lintian.log" || true) warnings," \
     "$(grep -c '^I:' "$out/lintian.log" || true) notes"
[ $status -eq 0 ] || { echo "package-deb.sh: lintian found errors" >&2; exit 1; }
dpkg-deb --field "$deb" Package Version Architecture Installed-Size Depends
echo "package size: $(stat -c %s "$deb") bytes"
echo "$deb"
