"""serialize_method, serialize_constructor and dumps: value rules, flags, messages, faults."""
import json
import resource
import struct
import threading
from functools import partial

import pytest
from hypothesis import given, strategies as st

import velmora.ext as ext
from conftest import DEFAULT_SCHEMA_TEXT

VEC = bytes.fromhex("15c4b51c")
TRUE = bytes.fromhex("b5757299")
FALSE = bytes.fromhex("379779bc")
Z16 = bytes(16)

# One constructor per field type, each with a single field "v", beside the
# default schema's records (so default-schema names keep working).
KINDS = {
    "int": {"type": "int"},
    "#": {"type": "#"},
    "long": {"type": "long"},
    "double": {"type": "double"},
    "int128": {"type": "int128"},
    "int256": {"type": "int256"},
    "bytes": {"type": "bytes"},
    "string": {"type": "string"},
    "Bool": {"type": "Bool"},
    "vector": {"type": "Vector", "is_vector": True, "vector_inner": "int"},
    "nested": {"type": "Object"},
}


def _value_schema():
    doc = json.loads(DEFAULT_SCHEMA_TEXT)
    for i, (kind, field) in enumerate(KINDS.items()):
        doc["constructors"][f"v_{kind}"] = {"cid": 0x100 + i, "fields": [dict(name="v", **field)]}
    doc["constructors"]["grouped"] = {
        "cid": 0x200,
        "has_flags": True,
        "fields": [
            {"name": "flags", "type": "#"},
            {"name": "flags2", "type": "#"},
            {"name": "a", "type": "int", "flag_bit": 3},
            {"name": "b", "type": "true", "flag_bit": 33, "flags_group": "flags2", "is_bare": True},
            {"name": "c", "type": "long", "flag_bit": 0, "flags_group": "flags2"},
        ],
    }
    doc["constructors"]["vv"] = {
        "cid": 0x201,
        "fields": [{"name": "v", "type": "Vector", "is_vector": True, "vector_inner": "Vector",
                    "vector_inner_is_vector": True}],
    }
    return json.dumps(doc)


VALUE_SCHEMA = _value_schema()


@pytest.fixture
def vschema(restore_default_schema):
    ext.load_schema(VALUE_SCHEMA)
    yield


def enc(kind, value):
    return ext.serialize_constructor(f"v_{kind}", {"v": value})[4:]


def expect(kind, value, want):
    if isinstance(want, str):
        with pytest.raises(ValueError) as ei:
            enc(kind, value)
        assert str(ei.value) == f"v_{kind}:v: {want}"
        assert ei.value.__cause__ is None and ei.value.__context__ is None
    else:
        assert enc(kind, value) == want


def le32(x):
    return struct.pack("<I", x % 2**32)


def le64(x):
    return struct.pack("<Q", x % 2**64)


E_INT, E_DBL, E_BYTES, E_VEC = "int expected", "double expected", "bytes expected", "vector expected array"
E_N, E_NS = "nested field expected dict or bytes", "nested field expected dict or bytes, got string"
E_256 = "int256 must be 32 bytes"
EMPTY = bytes(4)

# value, then the outcome per kind: bytes written, or the error text.
ROWS = [
    (True, {"int": le32(1), "#": le32(1), "long": le64(1), "double": struct.pack("<d", 1.0), "int128": E_BYTES,
            "int256": E_BYTES, "bytes": E_BYTES, "string": EMPTY, "Bool": TRUE, "vector": E_VEC, "nested": E_N}),
    (False, {"int": le32(0), "long": le64(0), "Bool": FALSE, "string": EMPTY}),
    (5, {"int": le32(5), "#": le32(5), "long": le64(5), "double": struct.pack("<d", 5.0), "int128": E_BYTES,
         "int256": E_BYTES, "bytes": E_BYTES, "string": EMPTY, "Bool": FALSE, "vector": E_VEC, "nested": E_N}),
    (2**32 + 7, {"int": le32(7), "long": le64(2**32 + 7)}),
    (-1, {"int": b"\xff" * 4, "#": b"\xff" * 4, "long": b"\xff" * 8}),
    (2**32 - 1, {"int": b"\xff" * 4}),
    (2**63, {"int": le32(0), "long": le64(2**63)}),
    (2**64 - 1, {"int": b"\xff" * 4, "long": b"\xff" * 8}),
    (-(2**63), {"long": le64(-(2**63))}),
    (2**64, {"int": E_INT, "long": E_INT, "double": struct.pack("<d", 2.0**64)}),
    (-(2**63) - 1, {"int": E_INT, "long": E_INT}),
    (10**400, {"double": E_DBL}),
    (1.5, {"int": E_INT, "#": E_INT, "long": E_INT, "double": struct.pack("<d", 1.5), "int128": E_BYTES,
           "int256": E_BYTES, "bytes": E_BYTES, "string": EMPTY, "Bool": FALSE, "vector": E_VEC, "nested": E_N}),
    ("", {"int": E_INT, "long": E_INT, "double": E_DBL, "int128": Z16, "int256": E_256, "bytes": EMPTY,
          "string": EMPTY, "Bool": FALSE, "vector": E_VEC, "nested": b""}),
    ("abcd", {"int": E_INT, "long": E_INT, "double": E_DBL, "int128": Z16, "int256": E_256,
              "bytes": bytes.fromhex("02abcd00"), "string": b"\x04abcd\0\0\0", "Bool": FALSE, "vector": E_VEC,
              "nested": bytes.fromhex("abcd")}),
    ("00000000000000ff", {"long": bytes.fromhex("00000000000000ff"),
                          "int128": bytes.fromhex("00000000000000ff") + bytes(8)}),
    ("00000000000000FF", {"long": bytes.fromhex("00000000000000ff")}),
    ("0000000000000ff", {"long": E_INT, "nested": E_NS, "bytes": b"\x0f" + b"0000000000000ff"}),
    ("0123456789abcdef" * 2, {"int128": bytes.fromhex("0123456789abcdef" * 2), "long": E_INT}),
    ("ab" * 32, {"int256": b"\xab" * 32}),
    ("abc", {"bytes": b"\x03abc", "int128": Z16, "nested": E_NS, "string": b"\x03abc"}),
    ("hello", {"int": E_INT, "long": E_INT, "double": E_DBL, "int128": Z16, "int256": E_256,
               "bytes": b"\x05hello\0\0", "string": b"\x05hello\0\0", "Bool": FALSE, "vector": E_VEC,
               "nested": E_NS}),
    ("xyz", {"nested": E_NS}),
    ("h\u00e9", {"string": b"\x03h\xc3\xa9", "bytes": b"\x03h\xc3\xa9"}),
    (b"ab", {"int": E_INT, "long": E_INT, "double": E_DBL, "int128": Z16, "int256": E_256,
             "bytes": b"\x02ab\0", "string": b"\x02ab\0", "Bool": FALSE, "vector": E_VEC, "nested": b"ab"}),
    (b"\x01\x02\x03", {"nested": b"\x01\x02\x03"}),
    (bytes(range(8)), {"long": bytes(range(8)), "int128": bytes(range(8)) + bytes(8)}),
    (bytes(7), {"long": E_INT}),
    (bytes(5), {"int128": Z16}),
    (bytes(range(16)), {"int128": bytes(range(16))}),
    (bytes(range(32)), {"int256": bytes(range(32))}),
    (bytes(31), {"int256": E_256}),
    ([1, 2, 300], {"int": E_INT, "long": E_INT, "double": E_DBL, "int128": Z16, "int256": E_256,
                   "bytes": bytes.fromhex("0301022c"), "string": EMPTY, "Bool": FALSE,
                   "vector": VEC + le32(3) + le32(1) + le32(2) + le32(300), "nested": E_N}),
    ([-1, 256, True], {"bytes": bytes.fromhex("03ff0001")}),
    (list(range(16)), {"int128": bytes(range(16))}),
    ([1, 1.5], {"bytes": E_INT, "int128": E_INT, "vector": E_INT}),
    ([], {"bytes": EMPTY, "vector": VEC + le32(0), "int128": Z16}),
    ((1, 2), {"int": E_INT, "int128": E_BYTES, "bytes": E_BYTES, "string": EMPTY, "Bool": FALSE,
              "vector": VEC + le32(2) + le32(1) + le32(2), "nested": E_N}),
    ({1}, {"vector": E_VEC, "bytes": E_BYTES}),
    ({}, {"int": E_INT, "long": E_INT, "double": E_DBL, "int128": E_BYTES, "bytes": E_BYTES, "string": EMPTY,
          "Bool": FALSE, "vector": E_VEC, "nested": "nested object missing _"}),
    ({"_": 5}, {"nested": "nested object missing _"}),
    ({"_": "nope"}, {"nested": "unknown constructor nope"}),
    ({"_": "inputPeerSelf"}, {"nested": bytes.fromhex("c97ea07d")}),
    ({"_": "help.getConfig"}, {"nested": bytes.fromhex("6b18f9c4")}),
    ({"_": "resPQ"}, {"nested": "ValueError: resPQ: missing required field nonce"}),
    (None, {"int": E_INT, "long": E_INT, "double": E_DBL, "int128": E_BYTES, "int256": E_BYTES,
            "bytes": E_BYTES, "string": EMPTY, "Bool": FALSE, "vector": E_VEC, "nested": E_N}),
    (bytearray(b"ab"), {"bytes": E_BYTES, "string": EMPTY, "nested": E_N, "long": E_INT}),
]


def _cases():
    for value, outcomes in ROWS:
        for kind, want in outcomes.items():
            yield pytest.param(kind, value, want, id=f"{kind}-{value!r:.30}")


@pytest.mark.parametrize("kind,value,want", list(_cases()))
def test_value_table(vschema, kind, value, want):
    expect(kind, value, want)


class Idx:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


class BadIdx:
    def __index__(self):
        raise RuntimeError("boom")


class MyInt(int):
    pass


class MyBytes(bytes):
    pass


class MyStr(str):
    pass


@pytest.mark.parametrize(
    "kind,value,want",
    [
        ("int", Idx(7), le32(7)),
        ("long", Idx(-2), le64(-2)),
        ("int", BadIdx(), E_INT),
        ("int", Idx(2**64), E_INT),
        ("int", MyInt(9), le32(9)),
        ("double", Idx(3), struct.pack("<d", 3.0)),
        ("bytes", [Idx(65)], b"\x01A\0\0"),
        ("bytes", MyBytes(b"q"), b"\x01q\0\0"),
        ("string", MyStr("q"), b"\x01q\0\0"),
        ("string", "\udc80", EMPTY),  # no UTF-8 form: not text, not bytes
        ("long", MyStr("00" * 8), bytes(8)),
        ("vector", [Idx(1), True], VEC + le32(2) + le32(1) + le32(1)),
    ],
)
def test_conversion_protocols(vschema, kind, value, want):
    expect(kind, value, want)


@given(st.integers(min_value=-(2**70), max_value=2**70))
def test_integer_wrapping(x):
    ext.load_schema(VALUE_SCHEMA)
    try:
        if -(2**63) <= x < 2**64:
            assert enc("int", x) == struct.pack("<I", x & 0xFFFFFFFF)
            assert enc("long", x) == struct.pack("<Q", x & 0xFFFFFFFFFFFFFFFF)
        else:
            for kind in ("int", "long"):
                with pytest.raises(ValueError, match="int expected"):
                    enc(kind, x)
    finally:
        ext.load_schema(DEFAULT_SCHEMA_TEXT)


# --- the default schema -------------------------------------------------------


def err(fn, *args):
    with pytest.raises(ValueError) as ei:
        fn(*args)
    assert ei.value.__cause__ is None and ei.value.__context__ is None
    return str(ei.value)


@pytest.mark.parametrize(
    "nonce,want",
    [
        (bytes(16), bytes(16)),
        (bytes(range(1, 9)), bytes(range(1, 9)) + bytes(8)),
        (bytes(5), bytes(16)),
        ("000102030405060708090a0b0c0d0e0f", bytes(range(16))),
    ],
)
def test_req_pq_multi(nonce, want):
    assert ext.serialize_method("req_pq_multi", {"nonce": nonce}) == bytes.fromhex("f18e7ebe") + want


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: ext.serialize_method("req_pq_multi", {"nonce": 5}), "req_pq_multi:nonce: bytes expected"),
        (lambda: ext.serialize_method("req_pq_multi", [1]), "TL args must be a dict"),
        (lambda: ext.serialize_method("req_pq_multi", {}), "req_pq_multi: missing required field nonce"),
        (lambda: ext.serialize_method("nope", [1]), "unknown method: nope"),
        (lambda: ext.serialize_method("resPQ", {}), "unknown method: resPQ"),
        (lambda: ext.serialize_constructor("req_pq_multi", {}), "unknown constructor: req_pq_multi"),
        (lambda: ext.serialize_constructor("nope", None), "unknown constructor: nope"),
        (lambda: ext.serialize_constructor("resPQ", ()), "TL args must be a dict"),
        (lambda: ext.serialize_method(
            "auth.sendCode",
            {"phone_number": "1", "api_id": 1, "api_hash": "h", "settings": {"_": "codeSettings", "logout_tokens": 5}}),
         "auth.sendCode:settings: ValueError: codeSettings:logout_tokens: vector expected array"),
        (lambda: ext.serialize_method("msgs_ack", {"msg_ids": [1, "x"]}), "msgs_ack:msg_ids: int expected"),
        (lambda: ext.serialize_method("msgs_ack", {"msg_ids": {1, 2}}), "msgs_ack:msg_ids: vector expected array"),
        (lambda: ext.serialize_constructor("inputPeerUser", {"user_id": 1, "access_hash": 2.0}),
         "inputPeerUser:access_hash: int expected"),
        (lambda: ext.serialize_constructor("p_q_inner_data", {
            "pq": b"", "p": b"", "q": b"", "nonce": b"", "server_nonce": b"", "new_nonce": b"x"}),
         "p_q_inner_data:new_nonce: int256 must be 32 bytes"),
        (lambda: ext.dumps({}), "dumps requires _ constructor name"),
        (lambda: ext.dumps({"_": 5}), "dumps requires _ constructor name"),
        (lambda: ext.dumps({"_": "resPQ"}), "ValueError: resPQ: missing required field nonce"),
        (lambda: ext.dumps({"_": "nope"}), "unknown constructor nope"),
        (lambda: ext.dumps({"_": "a\udc80"}), "unknown constructor a\\udc80"),
        (lambda: ext.dumps([1]), "TL args must be a dict"),
        (lambda: ext.dumps(None), "TL args must be a dict"),
        (lambda: ext.dumps(bytearray(b"x")), "TL args must be a dict"),
    ],
)
def test_failure_messages(call, message):
    assert err(call) == message


def test_argument_binding():
    with pytest.raises(TypeError):
        ext.serialize_method(5, {})
    with pytest.raises(TypeError):
        ext.serialize_constructor("resPQ")
    with pytest.raises(TypeError):
        ext.dumps()
    assert ext.serialize_method(method="help.getConfig", args={}) == bytes.fromhex("6b18f9c4")


def test_dumps_rows():
    assert ext.dumps(b"\x01\x02\x03") == b"\x01\x02\x03"
    assert ext.dumps(MyBytes(b"xy")) == b"xy" and type(ext.dumps(MyBytes(b"xy"))) is bytes
    assert ext.dumps({"_": "inputPeerSelf"}) == bytes.fromhex("c97ea07d")
    # A nested object may name a method; it is not wrapped in anything.
    assert ext.dumps({"_": "help.getConfig"}) == bytes.fromhex("6b18f9c4")


class RaisingEq(str):
    """A key that collides with a field name and raises when compared."""

    def __hash__(self):
        return hash(self.target)

    def __eq__(self, other):
        raise RuntimeError("compare")


def colliding(name):
    k = RaisingEq("zz" + name)
    k.target = name
    return k


def test_lookup_that_raises():
    # A field lookup that raises counts as missing, its exception dropped.
    d = {colliding("nonce"): 1}
    assert err(ext.serialize_method, "req_pq_multi", d) == "req_pq_multi: missing required field nonce"
    # For dumps' own "_" lookup the exception propagates unchanged.
    with pytest.raises(RuntimeError, match="compare"):
        ext.dumps({colliding("_"): 1})


def test_dict_subclass_hooks_are_not_called():
    class Missing(dict):
        def __missing__(self, key):
            return bytes(16)

        def __getitem__(self, key):
            return bytes(16)

    assert err(ext.serialize_method, "req_pq_multi", Missing()) == "req_pq_multi: missing required field nonce"
    assert ext.serialize_method("req_pq_multi", Missing(nonce=b"\x01" * 16))[4:] == b"\x01" * 16


def test_account_update_status():
    base = bytes.fromhex("2c562866")
    assert ext.serialize_method("account.updateStatus", {"offline": 1}) == base + FALSE
    assert ext.serialize_method("account.updateStatus", {"offline": True}) == base + TRUE
    assert ext.serialize_method("account.updateStatus", {"offline": None}) == base + FALSE


# --- flags ---------------------------------------------------------------------

CODE = bytes.fromhex("783d25ad")


@pytest.mark.parametrize(
    "args,want",
    [
        ({"allow_flashcall": True, "token": "x", "app_sandbox": True}, "01010000" "01780000" + TRUE.hex()),
        ({"allow_flashcall": 1}, "00000000"),  # presence flags take booleans only
        ({"allow_flashcall": "yes", "current_number": None}, "00000000"),
        ({"allow_flashcall": False}, "00000000"),
        ({"current_number": True, "unknown_number": True}, "02020000"),
        # token and app_sandbox share bit 8 (one given alone: test_tlschema.py).
        ({"app_sandbox": True, "token": ""}, "00010000" "00000000" + TRUE.hex()),
        ({"token": None, "app_sandbox": None}, "00000000"),
        ({"logout_tokens": []}, "40000000" + VEC.hex() + "00000000"),
        ({"logout_tokens": [b"a", "ff"]}, "40000000" + VEC.hex() + "02000000" "01610000" "01ff0000"),
        ({"flags": 12345}, "00000000"),  # the "#" field is computed, a given value ignored
    ],
)
def test_code_settings_flags(args, want):
    assert ext.serialize_constructor("codeSettings", args) == CODE + bytes.fromhex(want)


def fake_numpy_bool(name, module="numpy"):
    return type(name, (), {"__module__": module, "__bool__": lambda self: self.v,
                           "__init__": lambda self, v: setattr(self, "v", v)})


@pytest.mark.parametrize(
    "cls,value,bit",
    [
        (fake_numpy_bool("bool_"), True, True),
        (fake_numpy_bool("bool"), True, True),
        (fake_numpy_bool("bool_"), False, False),
        (fake_numpy_bool("int_"), True, False),
        (fake_numpy_bool("bool_", module="numpyx"), True, False),
    ],
)
def test_numpy_bool_by_name(cls, value, bit):
    got = ext.serialize_constructor("codeSettings", {"allow_flashcall": cls(value)})
    assert got == CODE + (b"\x01" if bit else b"\x00") + bytes(3)
    assert ext.serialize_method("account.updateStatus", {"offline": cls(value)})[4:] == (TRUE if bit else FALSE)


def test_real_numpy_bool():
    np = pytest.importorskip("numpy")
    assert ext.serialize_constructor("codeSettings", {"allow_flashcall": np.bool_(True)}) == CODE + bytes.fromhex("01000000")
    assert ext.serialize_method("account.updateStatus", {"offline": np.bool_(True)})[4:] == TRUE
    assert ext.serialize_method("account.updateStatus", {"offline": np.int64(1)})[4:] == FALSE


REPLY = bytes.fromhex("c2b7d43b")


@pytest.mark.parametrize(
    "extra,want",
    [
        ({"top_msg_id": None}, "00000000" "05000000"),
        ({"top_msg_id": 0}, "01000000" "05000000" "00000000"),  # 0 is present
        ({"quote_text": ""}, "04000000" "05000000" "00000000"),
        ({"reply_to_peer_id": {"_": "inputPeerSelf"}}, "02000000" "05000000" "c97ea07d"),
        ({"poll_option": b"", "todo_item_id": 9}, "c0000000" "05000000" "09000000" "00000000"),
    ],
)
def test_conditional_fields(extra, want):
    args = {"reply_to_msg_id": 5, **extra}
    assert ext.serialize_constructor("inputReplyToMessage", args) == REPLY + bytes.fromhex(want)


def test_conditional_field_error_names_the_field():
    assert err(ext.serialize_constructor, "inputReplyToMessage", {"reply_to_msg_id": 1, "top_msg_id": "x"}) == \
        "inputReplyToMessage:top_msg_id: int expected"
    # A required field fails even after conditional ones were accepted; the
    # first failing field in schema order wins.
    assert err(ext.serialize_constructor, "inputReplyToMessage", {"top_msg_id": "x"}) == \
        "inputReplyToMessage: missing required field reply_to_msg_id"


def test_flags_groups_and_words(vschema):
    # Bit 33 of group flags2 is bit 1 of word 1; "c" sets bit 0 there too.
    got = ext.serialize_constructor("grouped", {"a": 7, "b": True, "c": 1})
    assert got == le32(0x200) + le32(8) + le32(3) + le32(7) + le64(1)
    assert ext.serialize_constructor("grouped", {}) == le32(0x200) + bytes(8)


def test_hash_field_without_has_flags(vschema):
    assert enc("#", 7) == le32(7)
    assert err(ext.serialize_constructor, "v_#", {}) == "v_#: missing required field v"


def test_vector_of_vectors(vschema):
    got = ext.serialize_constructor("vv", {"v": [[1, 2], ()]})[4:]
    assert got == VEC + le32(2) + VEC + le32(2) + le32(1) + le32(2) + VEC + le32(0)
    assert err(ext.serialize_constructor, "vv", {"v": [[1], 5]}) == "vv:v: vector expected array"


def test_required_none():
    assert err(ext.serialize_method, "invokeWithLayer", {"layer": None, "query": b""}) == \
        "invokeWithLayer:layer: int expected"
    assert ext.serialize_constructor("inputClientProxy", {"address": None, "port": 1})[4:] == EMPTY + le32(1)


@pytest.mark.parametrize(
    "query,want",
    [
        ("", b""),
        (b"\x01\x02\x03", b"\x01\x02\x03"),
        ("0a0b", b"\x0a\x0b"),
        ({"_": "help.getConfig"}, bytes.fromhex("6b18f9c4")),
    ],
)
def test_invoke_with_layer(query, want):
    got = ext.serialize_method("invokeWithLayer", {"layer": 201, "query": query})
    assert got == bytes.fromhex("0d0d9bda") + le32(201) + want


def test_init_connection_nested_in_invoke_with_layer():
    init = {"_": "initConnection", "api_id": 6, "device_model": "d", "system_version": "s", "app_version": "1",
            "system_lang_code": "en", "lang_pack": "", "lang_code": "en", "query": {"_": "help.getConfig"}}
    got = ext.serialize_method("invokeWithLayer", {"layer": 1, "query": init})
    want = (bytes.fromhex("0d0d9bda") + le32(1) + bytes.fromhex("a95ecdc1") + le32(0) + le32(6)
            + b"\x01d\0\0" + b"\x01s\0\0" + b"\x011\0\0" + b"\x02en\0" + EMPTY + b"\x02en\0"
            + bytes.fromhex("6b18f9c4"))
    assert got == want


def test_msgs_ack_worked_example():
    got = ext.serialize_method("msgs_ack", {"msg_ids": (1, 2)})
    assert got == bytes.fromhex("59b4d662") + VEC + le32(2) + le64(1) + le64(2)
    assert ext.serialize_method("msgs_ack", {"msg_ids": []}) == bytes.fromhex("59b4d662") + VEC + le32(0)


# --- mended faults ----------------------------------------------------------------


@pytest.mark.parametrize("kind,message", [("bytes", "bytes too long"), ("string", "string too long")])
def test_payload_over_24_bits_is_refused(vschema, kind, message):
    longest = enc(kind, b"\0" * (2**24 - 1))
    assert longest[:4] == b"\xfe\xff\xff\xff" and len(longest) == 2**24 + 4
    expect(kind, b"\0" * 2**24, message)
    if kind == "string":
        expect(kind, "a" * 2**24, message)


def deep(n):
    d = {"_": "help.getConfig"}
    for _ in range(n):
        d = {"_": "invokeWithLayer", "layer": 1, "query": d}
    return d


def deep_vectors(n):
    d = {"_": "help.getConfig"}
    for _ in range(n):
        d = {"_": "inputReplyToMessage", "reply_to_msg_id": 1, "quote_entities": [d]}
    return d


def _depth_cases():
    # 100 levels of objects pass, 101 fail, counting the top-level one. The inputs are
    # built (and later freed) by the calling thread: CPython 3.13.0 itself overflows a
    # 256 KiB stack freeing a 5,000-level dict.
    yield partial(ext.dumps, deep(99)), True
    yield partial(ext.dumps, deep(100)), False
    yield partial(ext.serialize_method, "invokeWithLayer", {"layer": 1, "query": deep(98)}), True
    yield partial(ext.serialize_method, "invokeWithLayer", {"layer": 1, "query": deep(99)}), False
    yield partial(ext.dumps, deep_vectors(99)), True
    yield partial(ext.dumps, deep_vectors(100)), False
    yield partial(ext.dumps, deep(100_000)), False
    yield partial(ext.dumps, deep_vectors(100_000)), False
    me = {"_": "invokeWithLayer", "layer": 1}
    me["query"] = me
    yield partial(ext.dumps, me), False
    loop = {"_": "inputReplyToMessage", "reply_to_msg_id": 1}
    loop["quote_entities"] = [loop]
    yield partial(ext.serialize_constructor, "inputReplyToMessage", loop), False


def _run_depth_cases(cases):
    out = []
    for call, ok in cases:
        try:
            call()
            out.append((ok, None))
        except ValueError as e:
            out.append((ok, str(e)))
    return out


def _check_depth(results):
    for ok, message in results:
        if ok:
            assert message is None
        else:
            assert message is not None and message.endswith(": nesting too deep"), message[-80:]
            assert message.startswith(("ValueError: invokeWithLayer:query: ", "invokeWithLayer:query: ",
                                       "ValueError: inputReplyToMessage:quote_entities: ",
                                       "inputReplyToMessage:quote_entities: "))


def test_nesting_bound():
    _check_depth(_run_depth_cases(_depth_cases()))


def test_nesting_bound_on_a_small_thread_stack():
    results, cases = [], list(_depth_cases())
    old = threading.stack_size(256 * 1024)
    try:
        t = threading.Thread(target=lambda: results.extend(_run_depth_cases(cases)))
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    assert len(results) == 10
    _check_depth(results)


def test_values_that_mutate_their_containers():
    class Clearing:
        def __init__(self, target):
            self.target = target

        def __index__(self):
            self.target.clear()
            return 65

    # The field value is held while its conversion empties the dict.
    d = {}
    d["layer"] = Clearing(d)
    d["query"] = b""
    assert err(ext.serialize_method, "invokeWithLayer", d) == "invokeWithLayer: missing required field query"
    # A byte-source list and a vector that shrink under their items.
    items = []
    items.extend([Clearing(items), 1, 2])
    assert ext.serialize_method("auth.importLoginToken", {"token": items})[4:] == b"\x01A\0\0"
    ids = []
    ids.extend([Clearing(ids), 1, 2])
    with pytest.raises(ValueError, match="^msgs_ack:msg_ids: "):
        ext.serialize_method("msgs_ack", {"msg_ids": ids})


def test_memory_stays_flat():
    good = {"user_id": 1, "access_hash": 2}
    bad = {"user_id": 1, "access_hash": "x"}
    nested_bad = {"layer": 1, "query": {"_": "codeSettings", "logout_tokens": 5}}

    def round_(n):
        for _ in range(n):
            ext.serialize_constructor("inputPeerUser", good)
            ext.serialize_method("msgs_ack", {"msg_ids": [1, 2, 3]})
            ext.dumps({"_": "inputPeerChat", "chat_id": 7})
            for call, a, b in (("serialize_constructor", "inputPeerUser", bad),
                               ("serialize_method", "invokeWithLayer", nested_bad)):
                try:
                    getattr(ext, call)(a, b)
                except ValueError:
                    pass

    round_(10_000)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    round_(100_000)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    assert (after - before) * 1024 < 10 * 2**20


def test_name_lookup_paths(restore_default_schema):
    # A str subclass and an exact str find the same record.
    assert ext.serialize_method(MyStr("help.getConfig"), {}) == ext.serialize_method("help.getConfig", {})
    assert err(ext.serialize_method, MyStr("nope"), {}) == "unknown method: nope"
    with pytest.raises(UnicodeEncodeError):
        ext.serialize_method("a\udc80", {})
    # A name that is both a method and a constructor: each top-level function
    # uses its own table, a nested object the constructor.
    ext.load_schema(json.dumps({
        "methods": {"both": {"cid": 1, "fields": []}, "wrap": {"cid": 3, "fields": [{"name": "q", "type": "!X"}]}},
        "constructors": {"both": {"cid": 2, "fields": []}},
    }))
    assert ext.serialize_method("both", {}) == le32(1)
    assert ext.serialize_constructor("both", {}) == le32(2)
    assert ext.serialize_method("wrap", {"q": {"_": "both"}}) == le32(3) + le32(2)
    assert ext.serialize_method("wrap", {"q": {"_": MyStr("both")}}) == le32(3) + le32(2)
    assert ext.dumps({"_": "wrap", "q": {"_": "both"}}) == le32(3) + le32(2)
