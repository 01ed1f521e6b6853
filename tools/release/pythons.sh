#!/bin/sh
# Every CPython >= 3.9 that pyenv carries, one interpreter a line, oldest first;
# nothing when pyenv is not installed.
root=$(pyenv root 2>/dev/null) || exit 0
for py in "$root"/versions/*/bin/python3; do
  "$py" -c 'import platform, sys
sys.exit(platform.python_implementation() != "CPython" or sys.version_info < (3, 9))' 2>/dev/null \
    && echo "$py"
done | sort -V
