#!/bin/bash
# openssl.sh x86_64|aarch64 <folder>: libcrypto.a for the wheel, from Debian's
# own OpenSSL source package of the version pinned in the Makefile
# (VELMORA_OPENSSL_DEB; tools/release/debsrc.sh fetches it), built with zig
# for glibc 2.28 (tools/release/zig-tool, VELMORA_ZIG and VELMORA_ZIG_TARGET
# set). Kept in <folder>: reruns are free until the pin moves.
#
# Linked statically, libcrypto carries the paths it was configured with. None
# may point into this build, and none may make it read a file by surprise on a
# user's machine: the configuration file is never loaded by itself
# (no-autoload-config), providers and engines are built in, never loaded from
# a folder (no-module, no-engine). OPENSSLDIR and MODULESDIR then name a
# folder of velmora's own that nothing reads.
set -euo pipefail
arch=$1 out=$(realpath -m "$2") version=${VELMORA_OPENSSL_DEB:?the Makefile pins it}
[ -f "$out/.complete" ] && [ "$(cat "$out/debian-version")" = "$version" ] && exit 0
tools=$(realpath "$(dirname "$0")")
dsc=$("$tools/debsrc.sh" openssl "$version" build/openssl/src)
rm -rf "$out"
dpkg-source --no-check -x "$dsc" "$out" > /dev/null

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
