#!/bin/bash
# libc.sh <folder>: musl itself, from Debian's source of the version pinned in
# the Makefile (VELMORA_MUSL_DEB), installed into <folder> with its loader
# there too (the programs it links name <folder>/lib/ld-musl-*.so.1), beside
# Debian 12's own musl 1.2.3 and not in its place. The musl CPython of
# make test-wheels LIBC=musl runs on it: the test tools' musllinux wheels,
# built on a current Alpine, carry DT_RELR relocations (libgcc_s, libstdc++),
# which musl loads from 1.2.4 on; under 1.2.3 they crash at load.
# Kept: reruns are free until the pin moves.
set -euo pipefail
out=$(realpath -m "$1") version=${VELMORA_MUSL_DEB:?the Makefile pins it}
[ -f "$out/.complete" ] && [ "$(cat "$out/debian-version")" = "$version" ] && exit 0
dsc=$("$(dirname "$0")/../release/debsrc.sh" musl "$version" build/musl/src trixie)
rm -rf "$out" "$out.build"
# Upstream's tree as it is: Debian's patches fit its own file layout.
dpkg-source --no-check --skip-patches -x "$dsc" "$out.build" > /dev/null
cd "$out.build"
./configure --prefix="$out" --syslibdir="$out/lib" > configure.log 2>&1 || { tail -n 30 configure.log; exit 1; }
nice -n 10 make -s -j "${JOBS:-2}" > make.log 2>&1 || { tail -n 30 make.log; exit 1; }
make -s install > install.log 2>&1 || { tail -n 30 install.log; exit 1; }
cd / && rm -rf "$out.build"
echo "$version" > "$out/debian-version"
touch "$out/.complete"
