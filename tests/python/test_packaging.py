"""The package as users get it: an abi3 wheel that installs and imports anywhere."""

import pathlib
import shutil
import subprocess
import sys
import venv
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
VENV_BIN = pathlib.Path(sys.executable).parent


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    # No build isolation: the pinned scikit-build-core of the venv builds it,
    # so the check needs no network.
    subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation",
         "-q", "-w", str(out), str(ROOT)],
        check=True,
    )
    (path,) = out.glob("velmora-*.whl")
    return path


def test_wheel_is_tagged_abi3(wheel):
    assert wheel.name.endswith("-cp39-abi3-linux_x86_64.whl") or "-cp39-abi3-" in wheel.name
    names = zipfile.ZipFile(wheel).namelist()
    for member in ["velmora/__init__.py", "velmora/ext.pyi", "velmora/py.typed", "velmora/ext.abi3.so"]:
        assert member in names


def test_abi3audit_passes(wheel):
    proc = subprocess.run(
        [str(VENV_BIN / "abi3audit"), "--strict", "--assume-minimum-abi3", "3.9", str(wheel)],
        capture_output=True, text=True,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_only_the_entry_point_is_exported(wheel, tmp_path):
    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    zipfile.ZipFile(wheel).extract("velmora/ext.abi3.so", tmp_path)
    proc = subprocess.run(
        ["nm", "-D", "--defined-only", str(tmp_path / "velmora/ext.abi3.so")],
        capture_output=True, text=True, check=True,
    )
    symbols = [line.split()[-1] for line in proc.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_ext"]


def test_installs_and_imports_from_elsewhere(wheel, tmp_path):
    env_dir = tmp_path / "env"
    venv.create(env_dir, with_pip=True)
    py = env_dir / "bin" / "python"
    subprocess.run([str(py), "-m", "pip", "install", "-q", "--no-index", "--no-deps", str(wheel)],
                   check=True)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    code = ("import velmora, velmora.ext as e; "
            "assert e.__file__.startswith(%r); e.load_schema('{\"methods\": {}}'); "
            "print(velmora.__version__, e.load_schema(velmora.default_schema()))"
            % str(env_dir))
    proc = subprocess.run([str(py), "-c", code], cwd=elsewhere, capture_output=True, text=True,
                          env={"PATH": "/usr/bin:/bin"})
    assert proc.returncode == 0, proc.stderr
    assert "'methods': 21" in proc.stdout
