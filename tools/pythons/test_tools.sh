#!/bin/bash
# test_tools.sh <venv python>: the test suite's needs (pyproject's wheel-test
# group) into that venv, each as a wheel: the pinned release, else the newest
# one before it that has a wheel for this interpreter (as the group does for
# older ones), else none. Prints what it installed and what it could not; the
# tests that need a missing tool skip with that reason.
set -euo pipefail
py=$1 root=$(realpath "$(dirname "$0")/../..")
missing=()
for req in $("$py" -c 'import tomllib, sys
for r in tomllib.load(open(sys.argv[1], "rb"))["dependency-groups"]["wheel-test"]: print(r.replace(" ", ""))' \
    "$root/pyproject.toml"); do
  "$py" -m pip install -q --only-binary=:all: "$req" 2>/dev/null ||
    "$py" -m pip install -q --only-binary=:all: "${req/==/<=}" 2>/dev/null || missing+=("${req%%;*}")
done
echo "test tools: $("$py" -m pip list --format=freeze 2>/dev/null |
  grep -iE '^(pytest|hypothesis|cryptography|numpy|mypy)==' | tr '\n' ' ')no wheel here: ${missing[*]:-none}"
