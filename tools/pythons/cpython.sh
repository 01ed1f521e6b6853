#!/bin/bash
# cpython.sh gil|nogil|musl <folder>: the newest CPython from Debian's own
# source packages (the unstable suite carries them; bookworm does not),
# configured and installed into <folder>. nogil is the free-threaded build
# (--disable-gil); musl is compiled against a musl of its own (the Makefile's
# MUSL_DEB, tools/musl/libc.sh) and a zlib of its own, with no other library
# (no ssl: its pip installs from files). Kept: reruns are free once
# <folder>/.complete exists (for musl: names the musl pinned now).
#
# 3.14 first; where the archive lists its source but serves no file of it
# (seen on this project's mirror), 3.13, the first series with a
# free-threaded build, said so on the terminal.
#
# The upstream tree of the package is built as it is, without Debian's
# patches: those adapt the interpreter to Debian's file layout (dist-packages,
# multiarch paths), which a private prefix does not have.
set -euo pipefail
kind=$1 out=$(realpath -m "$2")
# make passes its command line on (make test-wheels LIBC=musl) in the
# environment and in MAKEFLAGS, and CPython's build takes LIBC for the
# library to link.
unset LIBC MAKEFLAGS MAKEOVERRIDES MFLAGS
stamp=$kind; [ "$kind" != musl ] || stamp="musl ${VELMORA_MUSL_DEB:?the Makefile pins it}"
[ -f "$out/.complete" ] && { [ "$kind" != musl ] || [ "$(cat "$out/.complete")" = "$stamp" ]; } && exit 0
src=$(realpath -m build/pythons/src)
list=/etc/apt/sources.list.d/velmora-unstable-src.sources

if ! ls "$src"/python3.1*_*.dsc > /dev/null 2>&1; then
  if ! apt-cache showsrc python3.14 2>/dev/null | grep -q '^Version'; then
    printf '%s\n' "# Debian unstable's source packages: the newest CPython, for velmora's make test-pythons." \
      'Types: deb-src' 'URIs: http://deb.debian.org/debian' 'Suites: unstable' 'Components: main' \
      'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' > "$list"
    apt-get update -qq
  fi
  mkdir -p "$src"
  # The newest version whose files the archive still serves.
  for series in 3.14 3.13; do
    for v in $(apt-cache showsrc python$series | sed -n 's/^Version: //p' | sort -Vru); do
      (cd "$src" && apt-get source -qq --download-only "python$series=$v" > /dev/null 2>&1) &&
        ls "$src"/python"$series"_*.dsc > /dev/null 2>&1 && break 2
      rm -f "$src"/*
    done
    echo "CPython $series: the archive serves no source of it" >&2
  done
fi
dsc=$(ls "$src"/python3.1*_*.dsc)
series=$(basename "$dsc" | sed 's/^python\(3\.[0-9]*\)_.*/\1/')
tree=$out.build
rm -rf "$out" "$tree"
dpkg-source --no-check --skip-patches -x "$dsc" "$tree" > /dev/null

flags=(--prefix="$out" --with-ensurepip=no)
[ "$kind" = nogil ] && flags+=(--disable-gil)
check="import ssl, zlib, ctypes, sys"
if [ "$kind" = musl ]; then
  tools/musl/zlib.sh build/musl/zlib
  tools/musl/libc.sh build/musl/libc
  z=$(realpath build/musl/zlib) check="import zlib, sys"
  # Nothing of the build machine's glibc libraries: pkg-config sees only zlib.
  export VELMORA_MUSL_GCC=$(realpath build/musl/libc/bin/musl-gcc) CC=$(realpath tools/musl/musl-cc)
  export CPPFLAGS="-I$z/include" LDFLAGS="-L$z/lib" PKG_CONFIG_LIBDIR=$z/lib/pkgconfig
fi
cd "$tree"
echo "CPython $(sed -n 's/^Version: //p' "$dsc") ($kind): building in $tree"
./configure -q "${flags[@]}" > configure.log 2>&1 || { tail -n 30 configure.log; exit 1; }
nice -n 19 make -s -j "${JOBS:-2}" > make.log 2>&1 || { tail -n 40 make.log; exit 1; }
make -s install > install.log 2>&1 || { tail -n 40 install.log; exit 1; }
cd / && rm -rf "$tree"
ln -sf "python$series" "$out/bin/python"
"$out/bin/python" -c "$check; print(sys.version)"
echo "$stamp" > "$out/.complete"
