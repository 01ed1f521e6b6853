#!/bin/bash
# test.sh: `make test-pythons`. The newest CPython of Debian's sources, in its
# default and its free-threaded build (tools/pythons/cpython.sh, cached in
# build/pythons), each given a venv with the project built from this tree by
# its own pip and the test suite's needs (pyproject's wheel-test group), then
# the whole Python suite against that install (tools/release/wheel_tests.py).
# A test tool that publishes no wheel for an interpreter is left out there,
# said so here, and the tests that need it skip with that reason.
set -euo pipefail
src=$(pwd) root=$(pwd)/build/pythons
failed=0
for kind in ${KINDS:-gil nogil}; do
  dir=$root/$([ $kind = gil ] && echo default || echo free-threaded)
  start=$(date +%s)
  tools/pythons/cpython.sh $kind "$dir"
  built=$(date +%s)
  py=$dir/bin/python env=$dir-venv log=$dir-venv.log
  rm -rf "$env" && "$py" -m venv "$env" && unset PYTHONPATH
  {
    "$env/bin/python" -m pip install -q --upgrade pip
    # The build's own tools, as in the test venv: no isolation, no network for the build.
    "$env/bin/python" -m pip install -q "$(grep '^scikit-build-core==' requirements-dev.txt)"
    tools/pythons/test_tools.sh "$env/bin/python"
    CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2} nice -n 10 "$env/bin/python" -m pip install -q --no-build-isolation \
      --config-settings=build-dir="$dir-venv-build" "$src"
  } > "$log" 2>&1 || { tail -n 30 "$log"; failed=1; continue; }
  set +e
  # PYTHON_GIL=0: a test tool's module that does not declare itself free of
  # the GIL must not turn it back on for the rest of the run; velmora's own
  # declaration is a test of the suite's (test_stress.py).
  (cd "$env" && PYTHON_GIL=$([ $kind = nogil ] && echo 0 || echo 1) bin/python -s \
    "$src/tools/release/wheel_tests.py") >> "$log" 2>&1
  rc=$?
  set -e
  tag=$(ls "$env"/lib/python3*/site-packages/velmora/ | grep -o 'ext\..*\.so')
  echo "CPython $("$env/bin/python" -c 'import sys; print(sys.version.split()[0], "free-threaded" if not getattr(sys, "_is_gil_enabled", lambda: True)() else "default")')" \
    "(built in $((built - start)) s), module $tag: $(tail -n 1 "$log");" \
    "$(grep '^test tools' "$log")"
  [ $rc -eq 0 ] || { tail -n 40 "$log"; failed=1; }
done
exit $failed
