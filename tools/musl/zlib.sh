#!/bin/bash
# zlib.sh <folder> [cc]: a static zlib for musl, from Debian's zlib source of
# the version pinned in the Makefile (VELMORA_ZLIB_DEB), built with
# position-independent code (it goes into the musl wheel's module and into the
# musl CPython) by Debian's musl-gcc, or by <cc> for another processor (zig's,
# with VELMORA_ZIG_TARGET naming it; its ar too, which reads any target's
# objects). Kept: reruns are free until the pin moves.
set -euo pipefail
out=$(realpath -m "$1") cc=${2:-musl-gcc} version=${VELMORA_ZLIB_DEB:?the Makefile pins it}
tools=$(realpath "$(dirname "$0")/../release")
[ -f "$out/.complete" ] && [ "$(cat "$out/debian-version")" = "$version" ] && exit 0
dsc=$("$tools/debsrc.sh" zlib "$version" build/musl/src)
rm -rf "$out" "$out.build"
dpkg-source --no-check -x "$dsc" "$out.build" > /dev/null
cd "$out.build"
tool=(); [ "$cc" = musl-gcc ] || tool=(AR="$tools/zig-ar" RANLIB="$tools/zig-ranlib")
env CC="$cc" "${tool[@]}" CFLAGS="-O2 -fPIC" ./configure --static --prefix="$out" > configure.log
nice -n 10 make -s -j "${JOBS:-2}" libz.a > make.log 2>&1 || { tail -n 30 make.log; exit 1; }
make -s install > install.log 2>&1 || { tail -n 30 install.log; exit 1; }
cd / && rm -rf "$out.build"
echo "$version" > "$out/debian-version"
touch "$out/.complete"
