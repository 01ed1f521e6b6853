#!/bin/bash
# zlib.sh <folder>: a static zlib for musl, from Debian's zlib source, built by
# Debian's musl-gcc with position-independent code (it goes into the musl
# wheel's module and into the musl CPython). Kept: reruns are free.
set -euo pipefail
out=$(realpath -m "$1")
[ -f "$out/.complete" ] && exit 0
src=$(realpath -m build/musl/src)
mkdir -p "$src"
if ! ls "$src"/zlib_*.dsc > /dev/null 2>&1; then
  # The newest version whose files the archive serves.
  for v in $(apt-cache showsrc zlib | sed -n 's/^Version: //p' | sort -Vru); do
    (cd "$src" && apt-get source -qq --download-only "zlib=$v" > /dev/null 2>&1) &&
      ls "$src"/zlib_*.dsc > /dev/null 2>&1 && break
    rm -f "$src"/zlib_*
  done
fi
rm -rf "$out" "$out.build"
dpkg-source --no-check -x "$src"/zlib_*.dsc "$out.build" > /dev/null
cd "$out.build"
CC=musl-gcc CFLAGS="-O2 -fPIC" ./configure --static --prefix="$out" > configure.log
nice -n 10 make -s -j "${JOBS:-2}" libz.a > make.log 2>&1 && make -s install > install.log 2>&1
cd / && rm -rf "$out.build"
touch "$out/.complete"
