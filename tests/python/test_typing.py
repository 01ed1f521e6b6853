"""The typed API: the stubs agree with the built module, and mypy --strict holds them to it."""
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import velmora
from conftest import ROOT

# make test-pythons: an interpreter mypy (or what it needs) publishes no wheel for.
pytest.importorskip("mypy", reason="mypy has no wheel for this interpreter")
# make test-wheels LIBC=musl: that CPython is built with no SQLite, which mypy's cache needs.
pytest.importorskip("sqlite3", reason="mypy needs sqlite3, which this CPython is built without")

CLIENT = ROOT / "examples" / "client.py"
# The stubs checked are the ones in the package that the tests import.
PACKAGE_ROOT = pathlib.Path(velmora.__file__).resolve().parents[1]


def _package_copy(tmp_path):
    # mypy reads a copy of the package's sources and stubs: it refuses an installed
    # wheel's site-packages in MYPYPATH.
    copy = tmp_path / "package"
    if not copy.exists():
        shutil.copytree(PACKAGE_ROOT / "velmora", copy / "velmora", ignore=shutil.ignore_patterns("*.so"))
    return copy


def _tool(args, tmp_path):
    env = {**os.environ, "MYPYPATH": str(_package_copy(tmp_path))}
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, env=env, cwd=tmp_path,
                          timeout=300)


def test_stubs_match_the_built_module(tmp_path):
    # stubtest imports the module and compares names, parameters and __all__.
    proc = _tool(["mypy.stubtest", "velmora.ext"], tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


MISUSE = '''\
import velmora.ext as ext

ext.cut(bytearray(b"ab"), 0, 1)  # E
ext.cut(b"ab", 1.5, 1)  # E
ext.pack(["ab"])  # E
ext.pack(b"ab")  # E
ext.loads(memoryview(b""))  # E
ext.serialize_method("m", [1])  # E
ext.serialize_constructor(b"name", {})  # E
ext.dumps(5)  # E
decoded: bytes = ext.loads(b"")  # E
layer: str = ext.schema_info()["layer"]  # E
ext.schema_info()["nope"]  # E
ints: list[str] = ext.aes_ige_enc_raw(b"", b"", b"")  # E
ext.aes_gcm_encrypt(key=b"", nonce=b"", plaintext=b"", aad=None)  # E
caught: Exception = ext.InternalFault()  # E

ext.cut(data=b"abc", offset=True, length=2)
ext.pack([b"a", bytearray(b"b"), memoryview(b"c"), [1, 2], range(3)])
total: int = ext.schema_info()["methods"] + ext.schema_info()["constructors"]
fault: BaseException = ext.InternalFault("x")
'''


def test_client_and_package_pass_mypy_strict_and_every_misuse_is_refused(tmp_path):
    (tmp_path / "misuse.py").write_text(MISUSE)
    copy = _package_copy(tmp_path) / "velmora"
    package = sorted(copy.glob("*.py")) + [copy / "ext.pyi"]
    proc = _tool(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(CLIENT), "misuse.py",
                  *map(str, package)], tmp_path)
    flagged = re.findall(r"^(\S+?):(\d+): error:", proc.stdout, re.M)
    marked = [i for i, line in enumerate(MISUSE.splitlines(), 1) if line.endswith("# E")]
    assert flagged == [("misuse.py", str(i)) for i in marked], proc.stdout + proc.stderr


def test_example_client_runs():
    proc = subprocess.run([sys.executable, str(CLIENT)], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert "converted schema: layer 3" in proc.stdout
