import gc
import json
import os
import pathlib
import signal
import struct
import tracemalloc

import pytest
from hypothesis import settings

import velmora.ext as ext

# Memory checkers run some 50 times slower: far fewer examples there.
settings.register_profile("velmora", max_examples=10 if os.environ.get("VELMORA_VALGRIND") else 100, deadline=None)
settings.load_profile("velmora")

ROOT = pathlib.Path(__file__).resolve().parents[2]


SLOW_MODULES = ("test_packaging", "test_typing")  # a wheel build, mypy: `make quick` leaves them out


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: minutes, not seconds; deselected by `make quick`")


def pytest_collection_modifyitems(items):
    for item in items:
        if item.module.__name__ in SLOW_MODULES:
            item.add_marker(pytest.mark.slow)
DEFAULT_SCHEMA_TEXT = (ROOT / "src" / "schema" / "default_schema.json").read_text()


@pytest.fixture(scope="session", autouse=True)
def _module_is_the_one_just_built():
    # Tests must exercise the library of this build tree, never an installed copy.
    roots = [pathlib.Path(p).resolve() for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    assert any(root in pathlib.Path(ext.__file__).resolve().parents for root in roots), ext.__file__


@pytest.fixture(autouse=True)
def _no_test_hangs(request):
    # A test stuck in native code never returns to Python, so no handler could stop it: the alarm's default
    # action ends the process instead. Memory checkers run far slower and go without; under qemu-user
    # (tools/cross sets VELMORA_EMULATED) every call is some ten times slower, and so is the limit.
    slow = os.environ.get("VELMORA_VALGRIND") or os.environ.get("VELMORA_SANITIZED")
    scale = 10 if os.environ.get("VELMORA_EMULATED") else 1
    signal.alarm(0 if slow else scale * (600 if request.module.__name__ in SLOW_MODULES else 60))
    yield
    signal.alarm(0)


@pytest.fixture
def restore_default_schema():
    """For tests that install other schemas: the compiled-in one is back afterwards."""
    yield
    ext.load_schema(DEFAULT_SCHEMA_TEXT)


def u32(*xs):
    return struct.pack(f"<{len(xs)}I", *(x % 2**32 for x in xs))


def u64(*xs):
    return struct.pack(f"<{len(xs)}Q", *(x % 2**64 for x in xs))


def tl_bytes(p):
    out = (bytes([len(p)]) if len(p) < 254 else b"\xfe" + len(p).to_bytes(3, "little")) + p
    return out + bytes(-len(out) % 4)


def load(constructors, methods=None):
    """Installs a schema of records in their positional form: name -> (cid, [fields], has_flags)."""
    ext.load_schema(json.dumps({"methods": methods or {}, "constructors": constructors}))


def python_memory_growth(call, rounds=1000):
    """Bytes of Python objects still held after `rounds` more calls than a warm-up (traced too, so that what
    tracing itself and the free-threaded build's per-thread caches take once is not counted)."""
    tracemalloc.start()
    for _ in range(10):
        call()
    gc.collect()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(rounds):
        call()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    return grown


def idx(n):
    """An object that is not an int but converts to one, or fails to (n=None: __index__ returns no int)."""
    return type("Idx", (), {"__index__": lambda self: n})()


def outcome(call, want):
    """want: the result (compared by repr, so types, key order and -0.0 count), or an exception
    instance whose class and text are expected."""
    if isinstance(want, BaseException):
        with pytest.raises(type(want)) as e:
            call()
        assert str(e.value) == str(want)
    else:
        assert repr(call()) == repr(want)


# The envelope's published known answers: frames both ways, and frames to refuse.
ENVELOPE_VECTORS = json.loads((ROOT / "tests" / "vectors" / "envelope.json").read_text())
# The protocol's published schema texts (layer 144), service records first.
PUBLISHED_TL = {name: (ROOT / "tests" / "vectors" / "schema" / name).read_text() for name in ("mtproto.tl", "api.tl")}


# Records and nestings that the codec tests and the thread tests share.
VEC, EMPTY_PEER, RPC = 0x1CB5C415, 0x7F3B18EA, 0xF35C6D01  # Vector, inputPeerEmpty, rpc_result


def vec(inner=None, nested=False):
    return {"type": "Vector", "is_vector": True, "vector_inner": inner, "vector_inner_is_vector": nested}


def f(name, type_="int", bit=None, bare=False, group=None):
    return {"name": name, "type": type_, "flag_bit": bit, "is_bare": bare, "flags_group": group}


def nested(kind, levels):
    """Nesting by vectors at object position, by object fields, or by vector fields."""
    unit, bottom = {"vector": (u32(VEC, 1), u32(EMPTY_PEER)), "object": (u32(RPC) + u64(1), u32(EMPTY_PEER)),
                    "field": (u32(5, VEC, 1), u32(5, VEC, 0))}[kind]
    return unit * levels + bottom


def load_nesting_schema():
    load({"e": (EMPTY_PEER, [], False), "r": (RPC, [f("a", "long"), f("o", "Object")], False),
          "w": (5, [{"name": "v", **vec("W")}], False)})


def deep(n, vectors=False, name=str):
    """An object n levels below the top, through object fields or through vector fields; `name` makes
    the record names (a str subclass takes the by-text path)."""
    d = {"_": name("help.getConfig")}
    for _ in range(n):
        d = {"_": "inputReplyToMessage", "reply_to_msg_id": 1, "quote_entities": [d]} if vectors else \
            {"_": name("invokeWithLayer"), "layer": 1, "query": d}
    return d
# The transports' known answers: framed streams, obfuscated connections, CTR and CBC, refusals.
TRANSPORT_VECTORS = json.loads((ROOT / "tests" / "vectors" / "transport.json").read_text())
