#!/bin/bash
# test_wheel.sh aarch64: `make test-wheels ARCH=aarch64`. The wheel in dist/,
# installed by the host's pip into a venv of the emulated Debian CPython (the
# folder of `make test-cross`), then tools/release/wheel_tests.py under qemu.
set -euo pipefail
arch=$1 triplet=$1-linux-gnu
src=$(pwd) work=$(pwd)/build/cross/$1
case $arch in aarch64) deb=arm64 ;; *) echo "no wheel for $arch" >&2; exit 2 ;; esac
tools/cross/sysroot.sh "$deb" "$triplet" "$work"
# The wheel pip picks for the emulated 3.11 (glibc): the newest floor.
whl=$(ls "$src"/dist/*-manylinux*"$arch".whl | sort -V | tail -n 1)
env=$work/wheel-venv
rm -rf "$env"
# The test tools come from the Debian packages beside the interpreter.
"$work/root/usr/bin/python3" -m venv --without-pip --system-site-packages "$env"
site=$("$env/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
"$src/.venv/bin/pip" install -q --no-deps --only-binary=:all: --platform "$(basename "$whl" .whl | cut -d- -f5)" \
  --implementation cp --abi abi3 --python-version 3.11 --target "$site" "$whl"
start=$(date +%s)
set +e
(cd "$env" && unset PYTHONPATH && VELMORA_EMULATED=1 bin/python -s "$src/tools/release/wheel_tests.py" \
  --ignore="$src/tests/python/test_typing.py") > "$env.log" 2>&1
rc=$?
set -e
echo "CPython $("$env/bin/python" -c 'import platform; print(platform.python_version(), platform.machine())')" \
  "under qemu-$arch, $(basename "$whl"): $(tail -n 1 "$env.log") ($(($(date +%s) - start)) s)"
[ $rc -eq 0 ] || tail -n 40 "$env.log"
exit $rc
