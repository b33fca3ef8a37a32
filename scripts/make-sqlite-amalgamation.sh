#!/bin/sh
# Makes SQLite's amalgamation (sqlite3.c, sqlite3.h) in the current folder from an unpacked
# sqlite3 source tree, with the host's compiler and tclsh; the Windows builds call it once.
#   make-sqlite-amalgamation.sh SOURCE_TREE
# A failed step shows its log's end and leaves no sqlite3.c behind.
set -u
src=${1:?usage: make-sqlite-amalgamation.sh SOURCE_TREE}
# The generators run on this machine: a cross compiler in the environment must not reach them.
unset CC CFLAGS CPPFLAGS LDFLAGS
if ! "$src/configure" --quiet >configure.log 2>&1; then
  tail -n 20 configure.log >&2
  exit 1
fi
if ! make sqlite3.c >make.log 2>&1; then
  tail -n 20 make.log >&2
  rm -f sqlite3.c sqlite3.h
  exit 1
fi
