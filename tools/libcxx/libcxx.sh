#!/bin/bash
# libcxx.sh: `make test-libcxx`. Every test with clang and LLVM's libc++, the
# C++ library of the macOS toolchain: GoogleTest rebuilt from Debian's
# sources against libc++ (Debian's own is built for libstdc++), then the core,
# the C++ tests and the module, then CTest and the Python suite.
set -euo pipefail
src=$(pwd) work=$(pwd)/build/libcxx
jobs=${JOBS:-2}
need=""
for p in clang libc++-dev libc++abi-dev googletest; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need="$need $p"
done
if [ -n "$need" ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need
fi
export CC=clang CXX=clang++ CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++
start=$(date +%s)
if [ ! -f "$work/gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$work/gtest-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$work/gtest" -DBUILD_GMOCK=OFF -Wno-dev -Wno-deprecated > /dev/null
  cmake --build "$work/gtest-build" -j "$jobs" --target install > /dev/null
fi
cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_TESTS=ON \
  -DGTest_DIR="$work/gtest/lib/cmake/GTest" -DPython_EXECUTABLE="$src/.venv/bin/python" > /dev/null
cmake --build "$work/build" -j "$jobs" > "$work/build.log" || { tail -n 40 "$work/build.log"; exit 1; }
built=$(date +%s)
lib=$(readelf -d "$work/build/python/velmora/ext.abi3.so" | grep -o 'libc++[^]]*' | head -n 1)
echo "== clang $(clang -dumpversion), the module linked to ${lib:-?}, built in $((built - start)) s"
(cd "$work/build" && ctest --output-on-failure -j "$jobs" > ctest.log 2>&1) || { cat "$work/build/ctest.log"; exit 1; }
echo "== C++ unit tests (CTest): $(grep -E 'tests passed' "$work/build/ctest.log")"
PYTHONPATH="$work/build/python" "$src/.venv/bin/python" -m pytest -q -p no:cacheprovider tests/python \
  > "$work/pytest.log" 2>&1 || { tail -n 60 "$work/pytest.log"; exit 1; }
echo "== Python tests (pytest): $(tail -n 1 "$work/pytest.log") ($(($(date +%s) - built)) s with CTest)"
