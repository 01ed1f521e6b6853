import os
import pathlib

import pytest

import velmora.ext as ext


def pytest_report_header(config):
    return f"velmora.ext from {ext.__file__}"


@pytest.fixture(scope="session", autouse=True)
def _module_is_the_one_just_built():
    # Tests must exercise the library of this build tree, never an installed copy.
    roots = [pathlib.Path(p).resolve() for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    here = pathlib.Path(ext.__file__).resolve()
    assert any(root in here.parents for root in roots), here
    yield


ROOT = pathlib.Path(__file__).resolve().parents[2]
DEFAULT_SCHEMA_TEXT = (ROOT / "src" / "schema" / "default_schema.json").read_text()


@pytest.fixture
def restore_default_schema():
    """For tests that install other schemas: the compiled-in one is back afterwards."""
    yield
    ext.load_schema(DEFAULT_SCHEMA_TEXT)
