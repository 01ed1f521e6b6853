"""Runs every benchmark of bench/ in one process run and prints their tables.

Each bench_*.py measures its baseline in the same run and prints the ratio.
"""

import pathlib
import runpy
import sys

HERE = pathlib.Path(__file__).resolve().parent


def main() -> int:
    only = sys.argv[1:]
    for path in sorted(HERE.glob("bench_*.py")):
        if only and not any(o in path.stem for o in only):
            continue
        print(f"\n## {path.stem}", flush=True)
        runpy.run_path(str(path), run_name="__main__")
    return 0


if __name__ == "__main__":
    sys.exit(main())
