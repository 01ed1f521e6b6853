"""Run the Python test suite against the installed velmora wheel, never a build tree.

Used by `make test-wheels` (one fresh venv per interpreter) and by cibuildwheel's test step.
Extra arguments go to pytest.
"""

import importlib.util
import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
TESTS = ROOT / "tests" / "python"

found = importlib.util.find_spec("velmora")
if found is None or found.origin is None:
    sys.exit("velmora is not installed in this environment")
site = pathlib.Path(found.origin).resolve().parents[1]
if pathlib.Path(sys.prefix).resolve() not in site.parents:
    sys.exit(f"velmora comes from {site}, not from this environment's installed wheel")

# The suite accepts only a module found under PYTHONPATH: here, the installed one.
# Its packaging tests build a wheel from the sources, which `make dist` covers.
os.environ["PYTHONPATH"] = str(site)
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", f"--ignore={TESTS / 'test_packaging.py'}",
                      str(TESTS), *sys.argv[1:]]))
