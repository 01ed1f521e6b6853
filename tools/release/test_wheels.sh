#!/bin/bash
# test_wheels.sh: `make test-wheels` on the machine's own processor. Each wheel
# of dist/ for ARCH installed from the file alone into a fresh venv of every
# interpreter it is for, its tests run there (tools/release/wheel_tests.py);
# then, for every interpreter, the wheel pip picks from dist/ must be the one
# of the newest floor that interpreter can load.
# Usage: test_wheels.sh ARCH VENVS_DIR PYTHON...
set -uo pipefail
arch=$1 venvs=$2
shift 2
src=$(pwd)
unset PYTHONPATH
rm -rf "$venvs" && mkdir -p "$venvs"
failed=0

# A wheel's tag is cp3N: true when interpreter $1 is CPython 3.N or later.
loads() { "$1" -c "import sys; sys.exit(sys.version_info[1] < int('$2'[3:]))"; }

for whl in "$src"/dist/*-abi3-manylinux*"$arch".whl; do
  tag=$(basename "$whl" | cut -d- -f3)
  for py in "$@"; do
    v=$("$py" -c 'import platform; print(platform.python_version())')
    loads "$py" "$tag" || continue
    env=$src/$venvs/$tag-$v
    { "$py" -m venv "$env" && "$env/bin/python" -m pip install -q --upgrade pip &&
      "$env/bin/python" -m pip install -q --only-binary=:all: --group "$src/pyproject.toml:wheel-test" "$whl" &&
      (cd "$env" && bin/python -s "$src/tools/release/wheel_tests.py"); } > "$env.log" 2>&1
    rc=$?
    echo "$tag wheel on CPython $v: $(tail -n 1 "$env.log")"
    if [ $rc -ne 0 ]; then failed=1; tail -n 30 "$env.log"; fi
  done
done

for py in "$@"; do
  v=$("$py" -c 'import platform; print(platform.python_version())')
  want=$(for w in dist/*-abi3-manylinux*"$arch".whl; do
    t=$(basename "$w" | cut -d- -f3)
    loads "$py" "$t" && echo "${t#cp3} $(basename "$w")"
  done | sort -n | tail -n 1 | cut -d' ' -f2)
  got=$("$py" -m pip download -q --no-deps --no-index --only-binary=:all: --find-links dist \
    -d "$venvs/pick-$v" velmora > /dev/null 2>&1 && ls "$venvs/pick-$v")
  echo "CPython $v: pip picks $got"
  if [ "$got" != "$want" ]; then echo "  expected $want"; failed=1; fi
done

# The free-threaded wheel, on the free-threaded CPython of `make test-pythons`.
for whl in "$src"/dist/*t-manylinux*"$arch".whl; do
  [ -e "$whl" ] || continue
  env=$src/$venvs/free-threaded py=$src/build/pythons/free-threaded/bin/python
  { "$py" -m venv "$env" && "$env/bin/python" -m pip install -q --upgrade pip &&
      tools/pythons/test_tools.sh "$env/bin/python" && "$env/bin/python" -m pip install -q --no-deps "$whl" &&
      (cd "$env" && PYTHON_GIL=0 bin/python -s "$src/tools/release/wheel_tests.py"); } > "$env.log" 2>&1
  rc=$?
  echo "$(basename "$whl" | cut -d- -f3-4) wheel on free-threaded CPython: $(tail -n 1 "$env.log")"
  if [ $rc -ne 0 ]; then failed=1; tail -n 30 "$env.log"; fi
done
exit $failed
