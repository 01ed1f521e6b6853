#!/bin/bash
# openssl.sh x86_64|aarch64 <folder>: libcrypto.a for the wheel, from Debian's
# own OpenSSL source package (the newest version whose Debian sources the
# archive still has), built with zig for glibc 2.28 (tools/release/zig-tool,
# VELMORA_ZIG and VELMORA_ZIG_TARGET set). Kept in <folder>: reruns are free.
#
# Linked statically, libcrypto carries the paths it was configured with. None
# may point into this build, and none may make it read a file by surprise on a
# user's machine: the configuration file is never loaded by itself
# (no-autoload-config), providers and engines are built in, never loaded from
# a folder (no-module, no-engine). OPENSSLDIR and MODULESDIR then name a
# folder of velmora's own that nothing reads.
set -euo pipefail
arch=$1 out=$(realpath -m "$2")
[ -f "$out/.complete" ] && exit 0
tools=$(realpath "$(dirname "$0")")
src=$(realpath -m build/openssl/src)

if ! ls "$src"/openssl_*.dsc > /dev/null 2>&1; then
  if ! apt-cache showsrc openssl > /dev/null 2>&1; then
    # apt-get source needs the archive's source lists: the binary ones, as deb-src.
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      > /etc/apt/sources.list.d/velmora-deb-src.sources
    apt-get update -qq
  fi
  mkdir -p "$src"
  # A version just published may be there without its Debian changes (only
  # the upstream tarball): then the one before.
  for v in $(apt-cache showsrc openssl | sed -n 's/^Version: //p' | sort -Vru); do
    if (cd "$src" && apt-get source -qq --download-only "openssl=$v" > /dev/null 2>&1) &&
       ls "$src"/openssl_*.dsc > /dev/null 2>&1; then break; fi
    rm -f "$src"/*
  done
fi
rm -rf "$out"
dpkg-source --no-check -x "$src"/openssl_*.dsc "$out" > /dev/null

case $arch in
  x86_64) target=linux-x86_64 ;;
  aarch64) target=linux-aarch64 ;;
  *) echo "openssl.sh: no OpenSSL target for $arch" >&2; exit 2 ;;
esac
cd "$out"
CC="$tools/zig-cc" AR="$tools/zig-ar" RANLIB="$tools/zig-ranlib" ./Configure "$target" \
  --prefix=/opt/velmora/openssl --openssldir=/opt/velmora/openssl/ssl --libdir=lib \
  no-shared no-tests no-engine no-module no-autoload-config -fPIC > configure.log
make -j "${JOBS:-2}" build_libs > build.log 2>&1 || { tail -n 30 build.log; exit 1; }
dpkg-parsechangelog -S Version > debian-version
touch .complete
