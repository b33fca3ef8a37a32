#!/usr/bin/env bash
# Cross-compiles libmicrohttpd's static library for a MinGW build from Debian's source tree
# (scripts/fetch-source.sh libmicrohttpd): only the library, plain HTTP (no TLS, no
# authentication helpers, no upgrade), Windows' own threads and sockets, so the program
# needs no DLL beyond those Windows ships.
#   scripts/build-microhttpd.sh SOURCE HOST CC OUT
# Leaves OUT/lib/libmicrohttpd.a and OUT/include/microhttpd.h; the work folder is OUT/work.
set -euo pipefail
source_tree=$1 host=$2 cc=$3 out=$4
work="$out/work"
rm -rf "$work" && mkdir -p "$work"
cd "$work"
if ! "$source_tree/configure" --host="$host" CC="$cc" --prefix="$out" --enable-static --disable-shared \
     --disable-https --without-gnutls --disable-curl --disable-doc --disable-examples --disable-nls \
     --disable-dauth --disable-bauth --disable-postprocessor --disable-httpupgrade --disable-tools \
     >configure.log 2>&1; then
  echo "libmicrohttpd's configure failed for $host:" >&2
  tail -n 20 configure.log >&2
  exit 1
fi
if ! { make -j"$(nproc)" -C src/microhttpd && make -C src/microhttpd install && make -C src/include install; } \
     >make.log 2>&1; then
  echo "libmicrohttpd's build failed for $host:" >&2
  tail -n 20 make.log >&2
  exit 1
fi
