"""The package as users get it: an abi3 wheel that installs and imports anywhere."""
import pathlib
import subprocess
import sys
import zipfile

import pytest
from conftest import ROOT

VENV_BIN = pathlib.Path(sys.executable).parent


def run(*args, **kw):
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, **kw)


# What a source build on this (>= 3.10) interpreter makes by itself, and what an explicit tag chooses:
# the module's floor follows the tag, seen in the one 3.10 call of the limited API it imports.
@pytest.mark.parametrize("setting, tag, floor, in_place_utf8", [
    (None, "cp310", "3.10", True),
    ("wheel.py-api=cp39", "cp39", "3.9", False),
])
def test_wheel_is_abi3_exports_one_symbol_and_installs_elsewhere(tmp_path, setting, tag, floor, in_place_utf8):
    # No build isolation: the pinned scikit-build-core of the venv builds it, without network; its
    # build folder is kept, so that a second run rebuilds only what changed.
    extra = ["--config-settings=" + setting] if setting else []
    run(sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "-q", "-w", tmp_path, *extra,
        "--config-settings=build-dir=" + str(ROOT / "build" / ("wheel-" + tag)), ROOT, check=True)
    (wheel,) = tmp_path.glob(f"velmora-*-{tag}-abi3-*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    assert {"velmora/__init__.py", "velmora/ext.pyi", "velmora/py.typed", "velmora/ext.abi3.so"} <= set(names)
    audit = run(VENV_BIN / "abi3audit", "--strict", "--assume-minimum-abi3", floor, wheel)
    assert audit.returncode == 0, audit.stdout + audit.stderr
    zipfile.ZipFile(wheel).extract("velmora/ext.abi3.so", tmp_path)
    symbols = run("nm", "-D", "--defined-only", tmp_path / "velmora/ext.abi3.so", check=True).stdout.split()
    assert symbols[2::3] == ["PyInit_ext"]
    imported = run("nm", "-D", "--undefined-only", tmp_path / "velmora/ext.abi3.so", check=True).stdout.split()
    assert ("PyUnicode_AsUTF8AndSize" in imported) == in_place_utf8

    run(sys.executable, "-m", "pip", "install", "-q", "--no-index", "--no-deps", "--target", tmp_path / "site", wheel,
        check=True)
    # The package's copy of the compiled-in document ships with it.
    code = (f"import velmora, velmora.ext as e; assert e.__file__.startswith({str(tmp_path)!r}); "
            "e.load_schema('{\"methods\": {}}'); print(e.load_schema(velmora.default_schema()))")
    proc = run(sys.executable, "-c", code, cwd=tmp_path, env={"PATH": "/usr/bin:/bin", "PYTHONPATH": tmp_path / "site"})
    assert proc.stdout == "{'layer': 0, 'methods': 21, 'constructors': 27}\n", proc.stderr
