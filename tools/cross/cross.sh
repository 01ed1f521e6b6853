#!/bin/bash
# cross.sh aarch64|s390x: `make test-cross`. Cross-builds the core, its C++
# tests and the module (AES-GCM on libcrypto) for another processor, then runs
# the C++ tests and the Python suite under qemu-user on the target's own
# Debian CPython. Installs the cross compiler and qemu-user; the target's
# packages are unpacked under build/cross/<arch>, not installed.
set -euo pipefail
case "${1:-}" in
  aarch64) deb=arm64 ;;
  s390x) deb=s390x ;;  # big-endian: proves the byte order of the wire
  *) echo "usage: make test-cross ARCH=aarch64|s390x" >&2; exit 2 ;;
esac
arch=$1 triplet=$1-linux-gnu
src=$(pwd) work=$(pwd)/build/cross/$1
jobs=${JOBS:-2}

need=""
for p in "g++-$triplet" qemu-user; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need="$need $p"
done
if ! dpkg --print-foreign-architectures | grep -qx "$deb"; then
  dpkg --add-architecture "$deb"  # lets apt-get download the target's packages
  apt-get update -qq
fi
if [ -n "$need" ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need
fi
tools/cross/sysroot.sh "$deb" "$triplet" "$work"

start=$(date +%s)
# Python_EXECUTABLE is the host's: it only locates the NIST files for the C++
# tests; the headers are the target's. The 1 GiB AES-GCM test takes minutes
# under emulation.
cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$src/tools/cross/toolchain.cmake" \
  -DVELMORA_CROSS_TRIPLET="$triplet" -DVELMORA_CROSS_ROOT="$work/root" \
  -DVELMORA_TESTS=ON -DVELMORA_IPSEC_MB=OFF -DVELMORA_TEST_TIMEOUT=900 \
  -DPython_EXECUTABLE="$src/.venv/bin/python" \
  -DPython_INCLUDE_DIR="$work/root/usr/include/python3.11" > "$work/configure.log"
cmake --build "$work/build" -j "$jobs" > "$work/build.log" || { tail -n 40 "$work/build.log"; exit 1; }
built=$(date +%s)
echo "== $arch: $(file -b "$work/build/python/velmora/ext.abi3.so" | cut -d, -f1-2), built in $((built - start)) s"

(cd "$work/build" && ctest --output-on-failure -j "$jobs" > ctest.log 2>&1) || { cat "$work/build/ctest.log"; exit 1; }
ctested=$(date +%s)
echo "== C++ unit tests under qemu-$arch: $(grep -E 'tests passed' "$work/build/ctest.log") in $((ctested - built)) s"

# The typing tests need mypy and the packaging tests pip and a compiler on
# the target; both are about the sources, not the processor.
set +e
PYTHONPATH="$work/build/python" VELMORA_EMULATED=1 "$work/root/usr/bin/python3" -m pytest -q -p no:cacheprovider \
  --ignore=tests/python/test_packaging.py --ignore=tests/python/test_typing.py tests/python \
  > "$work/pytest.log" 2>&1
rc=$?
set -e
echo "== Python tests under qemu-$arch (Debian's CPython $("$work/root/usr/bin/python3" -c \
  'import platform; print(platform.python_version(), platform.machine())')): $(tail -n 1 "$work/pytest.log")"
[ $rc -eq 0 ] || tail -n 60 "$work/pytest.log"
exit $rc
