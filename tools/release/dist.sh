#!/bin/bash
# dist.sh x86_64|aarch64 ON|OFF 3.9|3.10: `make wheel`. The sdist, and from it
# the abi3 wheel of that limited-API floor for glibc 2.28 and later: compiled
# by zig for that glibc, with libcrypto from Debian's OpenSSL source linked in statically
# (tools/release/openssl.sh); on x86-64 libipsec-mb (IPSEC_MB=ON) is the one
# shared library auditwheel copies in. Then the checks a release needs.
set -euo pipefail
arch=$1 ipsec=$2 floor=${3:-3.9}
tag=cp${floor/./}
[ "$arch" = x86_64 ] || ipsec=OFF  # the IPsec library is x86-64 code
src=$(pwd) tools=$(pwd)/tools/release py=$(pwd)/.venv/bin/python
work=$src/build/dist/$arch-$tag
export VELMORA_ZIG VELMORA_ZIG_TARGET=$arch-linux-gnu.2.28
VELMORA_ZIG=$("$py" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')

"$tools/openssl.sh" "$arch" "$src/build/openssl/$arch"
ossl=$src/build/openssl/$arch

# Headers from folders of their own: -I/usr/include would put the build
# machine's glibc headers before zig's glibc 2.28 ones.
rm -rf "$work" dist/*-"$tag"-abi3-*"$arch".whl dist/*.tar.gz && mkdir -p "$work/include" dist
ln -s /usr/include/rapidjson "$work/include/rapidjson"
defines=(-C cmake.define.VELMORA_IPSEC_MB="$ipsec" -C cmake.define.VELMORA_ABI3_FLOOR="$floor"
  -C wheel.py-api="$tag" -C cmake.define.RAPIDJSON_INCLUDE_DIR="$work/include"
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
# which every manylinux system has (auditwheel's policy lists it).
zroot=; [ "$arch" = "$(uname -m)" ] || zroot=$src/build/cross/$arch/root
ln -s "$zroot/usr/include/zlib.h" "$work/include/zlib.h"
ln -s "$zroot/usr/include/zconf.h" "$work/include/zconf.h"
# Debian's libz.so is an absolute link: followed inside the target's folder.
zlib=$zroot/usr/lib/$arch-linux-gnu/libz.so
case $(readlink "$zlib") in /*) zlib=$zroot$(readlink "$zlib") ;; esac
defines+=(-C cmake.define.ZLIB_INCLUDE_DIR="$work/include" -C cmake.define.ZLIB_LIBRARY="$zlib")

unset PYTHONPATH
CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2} "$py" -m build --no-isolation "${defines[@]}" --outdir "$work" . \
  > "$work/build.log" 2>&1 || { tail -n 40 "$work/build.log"; exit 1; }
# auditwheel names the policies of its own machine's processor only; for
# another it finds the tag itself (auto), from the module's glibc symbols.
plat=manylinux_2_28_$arch; [ "$arch" = "$(uname -m)" ] || plat=auto
PATH=$src/.venv/bin:$PATH "$src/.venv/bin/auditwheel" repair --plat "$plat" --wheel-dir dist \
  "$work"/*.whl > "$work/repair.log" 2>&1 || { cat "$work/repair.log"; exit 1; }
grep -E 'New filename tags|Fixed-up' "$work/repair.log" || true
mv "$work"/*.tar.gz dist/
whl=$(ls "$src"/dist/*-"$tag"-abi3-*"$arch".whl)
"$src/.venv/bin/abi3audit" --strict --summary --assume-minimum-abi3 "$floor" "$whl"

# The module inside the wheel: no libcrypto of the system's (none at all: it
# is linked in), no glibc symbol past 2.28, no path of this build.
cd "$work" && "$py" -m zipfile -e "$whl" unpacked
so=unpacked/velmora/ext.abi3.so
objdump=objdump; [ "$arch" = "$(uname -m)" ] || objdump=$arch-linux-gnu-objdump
if "$objdump" -p "$so" | grep -E 'NEEDED.*(libcrypto|libssl)'; then echo "the module needs a shared libcrypto"; exit 1; fi
newest=$("$objdump" -T "$so" | grep -o 'GLIBC_[0-9.]*' | sort -Vu | tail -n 1)
if [ "$(printf '%s\nGLIBC_2.28\n' "$newest" | sort -V | tail -n 1)" != GLIBC_2.28 ]; then
  echo "the module needs $newest"; exit 1; fi
if grep -q "$src" "$so"; then echo "the module holds a path of this build"; exit 1; fi
echo "== $(basename "$whl"): $(du -k "$whl" | cut -f1) KB;" \
  "$(file -b "$so" | cut -d, -f2); the module's newest glibc symbol: $newest;" \
  "OpenSSL $(cat "$ossl/debian-version") linked in"
