#!/bin/bash
# test_wheel.sh x86_64: `make test-wheels LIBC=musl`. The newest floor's
# musllinux wheel in dist/, installed into a venv of a musl CPython (Debian's
# CPython source built against the pinned musl: tools/pythons/cpython.sh
# musl), with the test tools' musllinux wheels fetched by the host's pip (that
# CPython has no ssl), then the whole suite there. A tool with no musllinux
# wheel is left out, said so, and its tests skip with that reason; so do
# mypy's, since that CPython has no sqlite3. Prints the skips' reasons.
set -euo pipefail
arch=$1 src=$(pwd) dir=$(pwd)/build/pythons/musl
[ "$arch" = "$(uname -m)" ] || { echo "musl wheels are tried on this machine's processor only" >&2; exit 2; }
whl=$(ls "$src"/dist/*-abi3-musllinux_1_2_"$arch".whl | sort -V | tail -n 1)
tools/pythons/cpython.sh musl "$dir"
py=$dir/bin/python env=$dir-venv log=$dir-venv.log
v=$("$py" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
rm -rf "$env" "$dir-wheels" && "$py" -m venv "$env" && unset PYTHONPATH
{
  # The group's markers judged by the musl interpreter itself, with its pip's
  # own parser (the host's pip would judge them by the host's Python).
  reqs=$("$env/bin/python" -c 'import sys, tomllib
from pip._vendor.packaging.requirements import Requirement
for line in tomllib.load(open(sys.argv[1], "rb"))["dependency-groups"]["wheel-test"]:
    req = Requirement(line)
    if req.marker is None or req.marker.evaluate(): print(f"{req.name}{req.specifier}")' pyproject.toml)
  get() {
    "$src/.venv/bin/pip" download -q --only-binary=:all: --platform "musllinux_1_2_$arch" --python-version "$v" \
      --implementation cp -d "$dir-wheels" "$1"
  }
  # The pinned release, else the newest before it with a musllinux wheel (as
  # tools/pythons/test_tools.sh does for a new interpreter), else none.
  missing=()
  for req in $reqs; do get "$req" || get "${req/==/<=}" || missing+=("$req"); done
  echo "no musllinux wheel: ${missing[*]:-none}"
  "$env/bin/python" -m pip install -q --no-index --find-links "$dir-wheels" "$dir-wheels"/*.whl "$whl"
} > "$log" 2>&1 || { tail -n 30 "$log"; exit 1; }
set +e
(cd "$env" && bin/python -s "$src/tools/release/wheel_tests.py" -rs) >> "$log" 2>&1
rc=$?
set -e
echo "$(basename "$whl") on musl CPython $("$env/bin/python" -c 'import platform; print(platform.python_version())')" \
  "(musl $(cat "$src/build/musl/libc/debian-version")): $(tail -n 1 "$log"); $(grep '^no musllinux' "$log")"
grep '^SKIPPED' "$log" || true
[ $rc -eq 0 ] || tail -n 40 "$log"
exit $rc
