"""The package's strict encoding: each rule beside the lenient one, unknown keys, nested types, path messages."""
import json
import struct

import numpy
import pytest
from hypothesis import given, strategies as st

import velmora
import velmora.ext as ext
from conftest import DEFAULT_SCHEMA_TEXT, ROOT, outcome, u32, u64
from test_serialize import E_BYTES, E_DBL, E_INT, E_N, E_NS, E_VEC, EMPTY, FALSE, KINDS, TRUE, VALUE_SCHEMA, Z16
from velmora import tlschema

F = lambda x: struct.pack("<d", x)  # noqa: E731
NOT_CONTIGUOUS = memoryview(bytes(32))[::2]


def _typed_schema():
    doc = json.loads(VALUE_SCHEMA)
    fields = lambda *fs: [dict(zip(["name", "type", "flag_bit", "is_bare", "is_vector", "vector_inner"], f)) for f in fs]
    doc["constructors"].update({
        "peerA": {"cid": 0x300, "type": "Peer", "fields": fields(["id", "int"])},
        "inputA": {"cid": 0x301, "type": "InputPeer", "fields": []},
        "untyped": {"cid": 0x302, "fields": []},
        "holder": {"cid": 0x303, "type": "Holder", "has_flags": True, "fields": fields(
            ["flags", "#"], ["peer", "InputPeer"], ["any", "Object"], ["f", "true", 0, True],
            ["peers", "Vector", 1, False, True, "Peer"])}})
    return json.dumps(doc)


@pytest.fixture(scope="module", autouse=True)
def typed_schema():
    ext.load_schema(_typed_schema())
    yield
    ext.load_schema(DEFAULT_SCHEMA_TEXT)


class Unshown(int):  # whose repr() raises: a refusal names its type instead
    __repr__, __str__ = None, int.__repr__


# kind, value, strict outcome, lenient outcome: the bytes after the identifier, or the failure after "v_<kind>:v: ".
ROWS = [
    ("int", 2**32 - 1, u32(-1), u32(-1)), ("int", -(2**31), u32(2**31), u32(2**31)), ("#", 7, u32(7), u32(7)),
    ("int", 2**32, "int out of range, got 4294967296", u32(0)), ("int", -(2**31) - 1, "int out of range, got -2147483649", u32(2**31 - 1)),
    ("int", Unshown(2**32), "int out of range, got Unshown", u32(0)),
    ("int", True, "int expected, got bool", u32(1)), ("int", 1.0, "int expected, got float", E_INT),
    ("int", numpy.int64(3), "int expected, got int64", u32(3)),
    ("long", 2**64 - 1, u64(-1), u64(-1)), ("long", -(2**63), u64(2**63), u64(2**63)),
    ("long", 2**64, "long out of range, got 18446744073709551616", E_INT), ("long", False, "long expected, got bool", u64(0)),
    ("long", bytes(8), "long expected, got bytes", bytes(8)), ("long", "00" * 8, "long expected, got str", bytes(8)),
    ("double", 2, F(2), F(2)), ("double", 0.5, F(0.5), F(0.5)), ("double", True, "double expected, got bool", F(1)),
    ("double", 10**400, "double out of range, got 10000000000000000000... (401 characters)", E_DBL),
    ("double", "1", "double expected, got str", E_DBL),
    ("int128", bytes(range(16)), bytes(range(16)), bytes(range(16))), ("int128", bytearray(16), Z16, E_BYTES),
    ("int128", memoryview(bytes(range(16))), bytes(range(16)), E_BYTES),
    ("int128", NOT_CONTIGUOUS, "memoryview not C-contiguous", E_BYTES),
    ("int128", bytes(15), "int128 needs 16 bytes, got 15", Z16), ("int128", bytes(8), "int128 needs 16 bytes, got 8", Z16),
    ("int128", "hello", "int128 expected, got str", Z16), ("int128", "00" * 16, "int128 expected, got str", Z16),
    ("int128", [0] * 16, "int128 expected, got list", Z16), ("int128", True, "int128 expected, got bool", E_BYTES),
    ("int128", 5, u64(5) + bytes(8), E_BYTES), ("int128", -1, b"\xff" * 16, E_BYTES),
    ("int128", 2**128 - 1, b"\xff" * 16, E_BYTES), ("int128", -(2**127), bytes(15) + b"\x80", E_BYTES),
    ("int128", 2**128, "int128 out of range, got 340282366920938463463374607431768211456", E_BYTES),
    ("int256", bytes(32), bytes(32), bytes(32)), ("int256", bytes(31), "int256 needs 32 bytes, got 31", "int256 must be 32 bytes"),
    ("int256", 2**255, bytes(31) + b"\x80", E_BYTES), ("int256", -(2**255) - 1, "int256 out of range, got -5789604461865809771... (78 characters)", E_BYTES),
    ("string", "h\u00e9", b"\x03h\xc3\xa9", b"\x03h\xc3\xa9"), ("string", b"ab", b"\x02ab\0", b"\x02ab\0"),
    ("string", bytearray(b"ab"), b"\x02ab\0", EMPTY), ("string", 42, "string expected, got int", EMPTY),
    ("string", None, "string expected, got NoneType", EMPTY), ("string", "\udc80", "string expected, got str with no UTF-8 form", EMPTY),
    ("bytes", b"ab", b"\x02ab\0", b"\x02ab\0"), ("bytes", memoryview(b"ab"), b"\x02ab\0", E_BYTES),
    ("bytes", "abcd", "bytes expected, got str", bytes.fromhex("02abcd00")), ("bytes", [1, 2], "bytes expected, got list", bytes.fromhex("02010200")),
    ("Bool", True, TRUE, TRUE), ("Bool", numpy.bool_(False), FALSE, FALSE), ("Bool", 1, "Bool expected, got int", FALSE),
    ("Bool", None, "Bool expected, got NoneType", FALSE),
    ("Vector", (1, 2), u32(0x1CB5C415, 2, 1, 2), u32(0x1CB5C415, 2, 1, 2)), ("Vector", {1}, "list or tuple expected, got set", E_VEC),
    ("Vector", [1, 2**32], "[1]: int out of range, got 4294967296", u32(0x1CB5C415, 2, 1, 0)),
    ("Object", b"\x01", "ready-made bytes must be a non-empty multiple of 4 bytes, got 1", b"\x01"),
    ("Object", bytearray(b"\x01\0\0\0"), u32(1), E_N), ("Object", u32(0x301), u32(0x301), u32(0x301)),
    ("Object", "0a0b", "dict or bytes expected, got str", b"\n\x0b"), ("Object", "xyz", "dict or bytes expected, got str", E_NS),
    ("Object", {"_": "peerA", "id": "x"}, ":id: int expected, got str", "ValueError: peerA:id: int expected"),
]


@pytest.mark.parametrize("kind,value,strict,lenient", ROWS)
def test_value_rules(kind, value, strict, lenient):
    for want, is_strict in [(strict, True), (lenient, False)]:
        sep = "" if isinstance(want, str) and want[0] in ":[" else ": "
        want = ValueError(f"v_{kind}:v{sep}{want}") if isinstance(want, str) else u32(0x100 + KINDS.index(kind)) + want
        outcome(lambda: velmora.serialize_constructor(f"v_{kind}", {"v": value}, strict=is_strict), want)


def holder(**kw):
    return velmora.dumps({"_": "holder", "peer": {"_": "inputA"}, "any": u32(5), **kw})


@pytest.mark.parametrize("call,want", [
    (lambda: holder(f=True, flags=7, peers=[{"_": "peerA", "id": 1}]), u32(0x303, 3, 0x301, 5, 0x1CB5C415, 1, 0x300, 1)),
    (lambda: holder(peer={"_": "untyped"}, any={"_": "peerA", "id": 1}), u32(0x303, 0, 0x302, 0x300, 1)),
    (lambda: holder(any={"_": "v_int", "v": 1}), u32(0x303, 0, 0x301, 0x100, 1)),
    (lambda: holder(peer={"_": "peerA", "id": 1}), "holder:peer: InputPeer expected, got peerA of type Peer"),
    (lambda: holder(peer={"_": "auth.logOut"}), "holder:peer: InputPeer expected, got method auth.logOut"),
    (lambda: holder(peers=[{"_": "peerA", "id": 1}, {"_": "inputA"}]), "holder:peers[1]: Peer expected, got inputA of type InputPeer"),
    (lambda: holder(peers=[{"_": "peerA", "id": 1}, {"_": "peerA", "id": 2**40}]), "holder:peers[1]:id: int out of range, got 1099511627776"),
    (lambda: holder(f=1), "holder:f: bool or None expected, got int"),
    # The second object's values are gathered where the first one's were: none of them is left there.
    (lambda: holder(peers=[{"_": "peerA", "id": 1}, {"_": "peerA"}]), "holder:peers[1]: missing required field id"),
    (lambda: holder(peers=[{"_": "peerA", "id": 10**40}]), "holder:peers[0]:id: int out of range, got 10000000000000000000... (41 characters)"),
    # A constructor of no stated type (here the document's first) is taken anywhere.
    (lambda: holder(peer={"_": "resPQ", "nonce": Z16, "server_nonce": Z16, "pq": b"", "server_public_key_fingerprints": []}),
     u32(0x303, 0, 0x05162463) + bytes(36) + u32(0x1CB5C415, 0, 5)),
    (lambda: holder(pear=1), "holder: unknown key 'pear' (closest field: peer)"),
    # Each turns on the first or the last letter of the key or of a field's name.
    *[(lambda k=k: holder(**{k: 1}), f"holder: unknown key '{k}' (closest field: {f})")
      for k, f in [("pe", "peer"), ("n", "f"), ("pa", "f")]],
    (lambda: holder(peer={"_": "inputA", "x": 1}), "holder:peer: unknown key 'x' (no fields)"),
    (lambda: holder(**{"flag": 1}), "holder: unknown key 'flag' (closest field: f)"),
    (lambda: velmora.serialize_constructor("v_int", {"vv": 1}), "v_int: unknown key 'vv' (closest field: v)"),
    (lambda: velmora.serialize_constructor("v_int", {"v": 1, 2: 3}), "v_int: unknown key 2 (closest field: v)"),
    (lambda: velmora.serialize_constructor("v_int", {"v": 1, "_": "ignored"}), u32(0x100, 1)),
    (lambda: velmora.serialize_constructor("v_int", {"v": 1, "w": 2}), "v_int: unknown key 'w' (closest field: v)"),
    (lambda: velmora.dumps({"_": "nope"}), "unknown constructor nope"),
    (lambda: velmora.dumps({"_": "holder", "peer": {"_": "nope"}}), "holder:peer: unknown constructor nope"),
    (lambda: velmora.dumps({"_": "holder"}), "holder: missing required field peer"),
    (lambda: velmora.serialize_method("auth.logOut", {}, strict=False, x=1), TypeError("serialize_method() got an unexpected keyword argument 'x'")),
    (lambda: velmora.dumps({"_": "v_bytes", "v": "ab"}, strict=[]), u32(0x106) + b"\x01\xab\0\0"),  # strict: its truth
    (lambda: velmora.dumps({"_": "v_bytes", "v": "ab"}), "v_bytes:v: bytes expected, got str"),  # hex text is JSON's alone
])
def test_objects_keys_and_paths(call, want):
    outcome(call, ValueError(want) if isinstance(want, str) else want)


VALUES = st.one_of(st.integers(-(2**260), 2**260), st.booleans(), st.none(), st.floats(allow_nan=False), st.text(max_size=40),
                   st.binary(max_size=40), st.binary(max_size=40).map(bytearray), st.lists(st.integers(-2**40, 2**40), max_size=3))


@given(st.sampled_from(KINDS), VALUES)
def test_strict_accepted_means_the_lenient_bytes(kind, value):
    try:
        strict = velmora.serialize_constructor(f"v_{kind}", {"v": value})
    except ValueError as exc:  # a refusal of the value, not of a schema some other test left installed
        assert str(exc).startswith(f"v_{kind}:v"), exc
        return
    # Where strict takes more (a bytearray, an int as int128 or int256), lenient is given the same bytes.
    width = {"int128": 16, "int256": 32}.get(kind) if type(value) is int else None
    plain = bytes(value) if isinstance(value, bytearray) else value
    plain = (value % 2 ** (8 * width)).to_bytes(width, "little") if width else plain
    assert ext.serialize_constructor(f"v_{kind}", {"v": plain}) == strict
