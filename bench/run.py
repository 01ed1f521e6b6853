"""Runs every benchmark of bench/ in one process run and prints their tables.

Each bench_*.py measures its baseline in the same run and prints the ratio.
"""

import pathlib
import runpy
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from interpreter import describe  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent


def main() -> int:
    only = sys.argv[1:]
    print(describe(), flush=True)
    for path in sorted(HERE.glob("bench_*.py")):
        if only and not any(o in path.stem for o in only):
            continue
        print(f"\n## {path.stem}", flush=True)
        try:
            runpy.run_path(str(path), run_name="__main__")
        except SystemExit as e:  # a bench that ends with sys.exit must not end the run
            if e.code not in (None, 0):
                print(f"{path.stem} exited with {e.code}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
