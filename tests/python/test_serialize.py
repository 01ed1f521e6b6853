"""serialize_method, serialize_constructor and dumps: value rules, flags, messages, faults."""
import json
import struct

import pytest
from hypothesis import given, settings, strategies as st

import velmora.ext as ext
from conftest import DEFAULT_SCHEMA_TEXT, idx, load, outcome, python_memory_growth, u32, u64

VEC, TRUE, FALSE, Z16, EMPTY = u32(0x1CB5C415), u32(0x997275B5), u32(0xBC799737), bytes(16), bytes(4)
KINDS = ["int", "#", "long", "double", "int128", "int256", "bytes", "string", "Bool", "Vector", "Object"]
MyInt, MyBytes, MyStr = type("MyInt", (int,), {}), type("MyBytes", (bytes,), {}), type("MyStr", (str,), {})


def _value_schema():
    # The default schema, plus one constructor per field type with a single field "v", and a few more.
    doc = json.loads(DEFAULT_SCHEMA_TEXT)
    for i, kind in enumerate(KINDS):
        doc["constructors"][f"v_{kind}"] = {"cid": 0x100 + i, "fields": [{"name": "v", "type": kind,
                                                                          "is_vector": kind == "Vector"}]}
    doc["constructors"]["grouped"] = {"cid": 0x200, "has_flags": True, "fields": [
        {"name": "flags", "type": "#"}, {"name": "flags2", "type": "#"}, {"name": "a", "type": "int", "flag_bit": 3},
        {"name": "b", "type": "true", "flag_bit": 33, "flags_group": "flags2", "is_bare": True},
        {"name": "c", "type": "long", "flag_bit": 0, "flags_group": "flags2"}]}
    doc["constructors"]["vv"] = {"cid": 0x201, "fields": [
        {"name": "v", "type": "Vector", "is_vector": True, "vector_inner": "Vector", "vector_inner_is_vector": True}]}
    return json.dumps(doc)


VALUE_SCHEMA = _value_schema()


@pytest.fixture(scope="module", autouse=True)
def value_schema():
    ext.load_schema(VALUE_SCHEMA)
    yield
    ext.load_schema(DEFAULT_SCHEMA_TEXT)


def enc(kind, value):
    return ext.serialize_constructor(f"v_{kind}", {"v": value})[4:]


def dbl(x):
    return struct.pack("<d", x)


E_INT, E_DBL, E_BYTES, E_VEC = "int expected", "double expected", "bytes expected", "vector expected array"
E_N, E_NS = "nested field expected dict or bytes", "nested field expected dict or bytes, got string"
E_256, E_MISSING = "int256 must be 32 bytes", "nested object missing _"

# value, then the outcome per kind: bytes written, or the error text.
ROWS = [
    (True, {"int": u32(1), "#": u32(1), "long": u64(1), "double": dbl(1.0), "int128": E_BYTES, "int256": E_BYTES,
            "bytes": E_BYTES, "string": EMPTY, "Bool": TRUE, "Vector": E_VEC, "Object": E_N}),
    (5, {"int": u32(5), "#": u32(5), "long": u64(5), "double": dbl(5.0), "int128": E_BYTES, "int256": E_BYTES,
         "bytes": E_BYTES, "string": EMPTY, "Bool": FALSE, "Vector": E_VEC, "Object": E_N}),
    (False, {"int": u32(0), "long": u64(0), "Bool": FALSE}), (2**32 + 7, {"int": u32(7), "long": u64(2**32 + 7)}),
    (-1, {"int": u32(-1), "#": u32(-1), "long": u64(-1)}), (2**63, {"int": u32(0), "long": u64(2**63)}),
    (2**64 - 1, {"int": u32(-1), "long": u64(-1)}), (2**64, {"int": E_INT, "long": E_INT, "double": dbl(2.0**64)}),
    (-(2**63) - 1, {"int": E_INT, "long": E_INT}), (10**400, {"double": E_DBL}),
    (1.5, {"int": E_INT, "#": E_INT, "long": E_INT, "double": dbl(1.5), "int128": E_BYTES, "Bool": FALSE}),
    (idx(7), {"int": u32(7), "long": u64(7), "double": dbl(7.0), "int128": E_BYTES}), (idx(-2), {"long": u64(-2)}),
    (idx(2**64), {"int": E_INT}), (idx(None), {"int": E_INT, "long": E_INT}), (MyInt(9), {"int": u32(9), "long": u64(9)}),
    ("", {"int": E_INT, "long": E_INT, "double": E_DBL, "int128": Z16, "int256": E_256, "bytes": EMPTY,
          "string": EMPTY, "Bool": FALSE, "Vector": E_VEC, "Object": b""}),
    ("abcd", {"int128": Z16, "bytes": bytes.fromhex("02abcd00"), "string": b"\x04abcd\0\0\0", "Object": b"\xab\xcd"}),
    ("00000000000000ff", {"long": u64(255 << 56), "int128": u64(255 << 56) + bytes(8)}),
    ("00000000000000FF", {"long": u64(255 << 56)}), (MyStr("00" * 8), {"long": bytes(8)}),
    ("0000000000000ff", {"long": E_INT, "Object": E_NS, "bytes": b"\x0f" + b"0000000000000ff"}),
    ("0123456789abcdef" * 2, {"int128": bytes.fromhex("0123456789abcdef" * 2), "long": E_INT}),
    ("ab" * 32, {"int256": b"\xab" * 32}), ("xyz", {"Object": E_NS}),
    ("abc", {"bytes": b"\x03abc", "int128": Z16, "Object": E_NS, "string": b"\x03abc"}),
    ("hello", {"int": E_INT, "long": E_INT, "double": E_DBL, "int128": Z16, "int256": E_256,
               "bytes": b"\x05hello\0\0", "string": b"\x05hello\0\0", "Bool": FALSE, "Vector": E_VEC, "Object": E_NS}),
    ("h\u00e9", {"string": b"\x03h\xc3\xa9", "bytes": b"\x03h\xc3\xa9"}), (MyStr("q"), {"string": b"\x01q\0\0"}),
    ("\udc80", {"string": EMPTY, "bytes": E_BYTES, "long": E_INT, "int128": E_BYTES, "Object": E_NS}),  # no UTF-8 form
    (b"ab", {"int": E_INT, "long": E_INT, "double": E_DBL, "int128": Z16, "int256": E_256, "bytes": b"\x02ab\0",
             "string": b"\x02ab\0", "Bool": FALSE, "Vector": E_VEC, "Object": b"ab"}),
    (MyBytes(b"q"), {"bytes": b"\x01q\0\0", "string": b"\x01q\0\0", "Object": b"q"}), (bytes(7), {"long": E_INT}),
    (bytes(range(8)), {"long": bytes(range(8)), "int128": bytes(range(8)) + bytes(8)}),
    (bytes(range(16)), {"int128": bytes(range(16))}), (bytes(range(32)), {"int256": bytes(range(32))}),
    (bytes(31), {"int256": E_256}), (list(range(16)), {"int128": bytes(range(16))}),
    ([1, 2, 300], {"int": E_INT, "double": E_DBL, "int128": Z16, "int256": E_256, "bytes": bytes.fromhex("0301022c"),
                   "string": EMPTY, "Bool": FALSE, "Vector": VEC + u32(3, 1, 2, 300), "Object": E_N}),
    ([-1, 256, True, idx(65)], {"bytes": bytes.fromhex("04ff000141000000"), "Vector": VEC + u32(4, -1, 256, 1, 65)}),
    ([2**63 + 5, 2**64 - 1], {"Vector": VEC + u32(2, 5, -1)}), ([1, 2**64], {"Vector": E_INT}),
    ([1, 1.5], {"bytes": E_INT, "int128": E_INT, "Vector": E_INT}),
    ([], {"bytes": EMPTY, "Vector": VEC + u32(0), "int128": Z16}), ({1}, {"Vector": E_VEC, "bytes": E_BYTES}),
    ((1, 2), {"int": E_INT, "int128": E_BYTES, "bytes": E_BYTES, "string": EMPTY, "Vector": VEC + u32(2, 1, 2),
              "Object": E_N}),
    ({}, {"int": E_INT, "double": E_DBL, "int128": E_BYTES, "Bool": FALSE, "Object": E_MISSING}),
    ({"_": 5}, {"Object": E_MISSING}), ({"_": "nope"}, {"Object": "unknown constructor nope"}),
    ({"_": "a\udc80"}, {"Object": "unknown constructor a\\udc80"}),
    ({"_": "inputPeerSelf"}, {"Object": u32(0x7DA07EC9)}), ({"_": MyStr("inputPeerSelf")}, {"Object": u32(0x7DA07EC9)}),
    ({"_": "help.getConfig"}, {"Object": u32(0xC4F9186B)}),  # a method, nested: not wrapped
    ({"_": "resPQ"}, {"Object": "ValueError: resPQ: missing required field nonce"}),
    (None, {"int": E_INT, "long": E_INT, "double": E_DBL, "int128": E_BYTES, "int256": E_BYTES, "bytes": E_BYTES,
            "string": EMPTY, "Bool": FALSE, "Vector": E_VEC, "Object": E_N}),
    (bytearray(b"ab"), {"bytes": E_BYTES, "string": EMPTY, "Object": E_N, "long": E_INT}),
]


@pytest.mark.parametrize("kind,value,want", [pytest.param(k, v, w, id=f"{k}-{v!r:.30}")
                                             for v, outcomes in ROWS for k, w in outcomes.items()])
def test_value_table(kind, value, want):
    outcome(lambda: enc(kind, value), ValueError(f"v_{kind}:v: {want}") if isinstance(want, str) else want)


@settings(max_examples=150)
@given(st.integers(min_value=-(2**70), max_value=2**70))
def test_integer_wrapping(x):
    fits = -(2**63) <= x < 2**64
    outcome(lambda: enc("int", x), u32(x) if fits else ValueError("v_int:v: int expected"))
    outcome(lambda: enc("long", x), u64(x) if fits else ValueError("v_long:v: int expected"))


class RaisingEq(str):
    """A key that collides with a field name and raises when compared."""

    def __hash__(self):
        return hash(str(self)[2:])

    def __eq__(self, other):
        raise RuntimeError("compare")


class HookedDict(dict):
    def __missing__(self, key):
        return bytes(16)

    def __getitem__(self, key):
        return bytes(16)


@pytest.mark.parametrize("call,want", [
    (lambda: ext.serialize_method("req_pq_multi", [1]), "TL args must be a dict"),
    (lambda: ext.serialize_method("req_pq_multi", {}), "req_pq_multi: missing required field nonce"),
    (lambda: ext.serialize_method("nope", [1]), "unknown method: nope"),
    (lambda: ext.serialize_method(MyStr("nope"), {}), "unknown method: nope"),
    (lambda: ext.serialize_method("resPQ", {}), "unknown method: resPQ"),
    (lambda: ext.serialize_constructor("req_pq_multi", {}), "unknown constructor: req_pq_multi"),
    (lambda: ext.serialize_constructor("resPQ", ()), "TL args must be a dict"),
    (lambda: ext.serialize_constructor(MyStr("resPQ"), ()), "TL args must be a dict"),
    (lambda: ext.serialize_method("auth.sendCode", {"phone_number": "1", "api_id": 1, "api_hash": "h", "settings": {
        "_": "codeSettings", "logout_tokens": 5}}),
     "auth.sendCode:settings: ValueError: codeSettings:logout_tokens: vector expected array"),
    (lambda: ext.serialize_constructor("vv", {"v": [[1], 5]}), "vv:v: vector expected array"),
    (lambda: ext.serialize_constructor("v_#", {}), "v_#: missing required field v"),
    (lambda: ext.serialize_constructor("inputReplyToMessage", {"reply_to_msg_id": 1, "top_msg_id": "x"}),
     "inputReplyToMessage:top_msg_id: int expected"),
    # A required field fails even after conditional ones were accepted.
    (lambda: ext.serialize_constructor("inputReplyToMessage", {"top_msg_id": "x"}),
     "inputReplyToMessage: missing required field reply_to_msg_id"),
    (lambda: ext.dumps({}), "dumps requires _ constructor name"), (lambda: ext.dumps([1]), "TL args must be a dict"),
    (lambda: ext.dumps({"_": 5}), "dumps requires _ constructor name"),
    (lambda: ext.dumps({"_": "resPQ"}), "ValueError: resPQ: missing required field nonce"),
    (lambda: ext.dumps({"_": "a\udc80"}), "unknown constructor a\\udc80"),
    # A field lookup that raises counts as missing; dict subclass hooks are not called.
    (lambda: ext.serialize_method("req_pq_multi", {RaisingEq("zznonce"): 1}),
     "req_pq_multi: missing required field nonce"),
    (lambda: ext.serialize_method("req_pq_multi", HookedDict()), "req_pq_multi: missing required field nonce"),
    (lambda: ext.serialize_method("req_pq_multi", HookedDict(nonce=b"\x01" * 16)), u32(0xBE7E8EF1) + b"\x01" * 16),
    (lambda: ext.dumps({RaisingEq("zz_"): 1}), RuntimeError("compare")),  # dumps' own lookup passes errors on
    (lambda: ext.serialize_method("a\udc80", {}), UnicodeEncodeError("utf-8", "a\udc80", 1, 2, "surrogates not allowed")),
    (lambda: ext.serialize_method(method="help.getConfig", args={}), u32(0xC4F9186B)),
    (lambda: ext.dumps(MyBytes(b"\x01\x02\x03")), b"\x01\x02\x03"),
    (lambda: ext.serialize_method("msgs_ack", {"msg_ids": (1, 2)}), u32(0x62D6B459) + VEC + u32(2) + u64(1, 2)),
    (lambda: ext.serialize_constructor("grouped", {"a": 7, "b": True, "c": 1}), u32(0x200, 8, 3, 7) + u64(1)),
    (lambda: ext.serialize_constructor("grouped", {}), u32(0x200, 0, 0)),  # bit 33 of flags2: bit 1 of word 1
    (lambda: ext.serialize_constructor("vv", {"v": [[1, 2], ()]}), u32(0x201) + VEC + u32(2) + VEC + u32(2, 1, 2) + VEC
     + u32(0)),
])
def test_calls(call, want):
    outcome(call, ValueError(want) if isinstance(want, str) else want)


def numpy_bool(value, name="bool_", module="numpy"):
    return type(name, (), {"__module__": module, "__bool__": lambda self: value})()


@pytest.mark.parametrize("args,want", [
    ({"allow_flashcall": True, "token": "x"}, "01010000" "01780000"),
    ({"allow_flashcall": 1, "allow_app_hash": "yes", "current_number": None}, "00000000"),  # booleans only
    ({"allow_flashcall": False}, "00000000"), ({"current_number": True, "unknown_number": True}, "02020000"),
    # token and app_sandbox share bit 8; an absent one writes nothing.
    ({"app_sandbox": False}, "00010000" + FALSE.hex()), ({"token": None, "app_sandbox": None}, "00000000"),
    ({"app_sandbox": True, "token": ""}, "00010000" "00000000" + TRUE.hex()),
    ({"logout_tokens": [b"a", "ff"]}, "40000000" + VEC.hex() + "02000000" "01610000" "01ff0000"),
    ({"flags": 12345}, "00000000"),  # the "#" field is computed, a given value ignored
    ({"allow_flashcall": numpy_bool(True), "allow_app_hash": numpy_bool(False, "bool")}, "01000000"),
    ({"allow_flashcall": numpy_bool(True, "bool"), "current_number": numpy_bool(True, "int_")}, "01000000"),
    ({"allow_flashcall": numpy_bool(True, "bool_", "numpyx")}, "00000000"),
])
def test_code_settings_flags(args, want):
    assert ext.serialize_constructor("codeSettings", args) == bytes.fromhex("783d25ad" + want)


def test_bool_field():
    np = pytest.importorskip("numpy")
    status = [ext.serialize_method("account.updateStatus", {"offline": v})[4:]
              for v in (True, 1, None, numpy_bool(True), numpy_bool(False), np.bool_(True), np.int64(1))]
    assert status == [TRUE, FALSE, FALSE, TRUE, FALSE, TRUE, FALSE]
    assert ext.serialize_constructor("codeSettings", {"allow_flashcall": np.bool_(True)})[4:] == u32(1)


@pytest.mark.parametrize("extra,want", [
    ({"top_msg_id": None}, "00000000" "05000000"), ({"top_msg_id": 0}, "01000000" "05000000" "00000000"),
    ({"quote_text": ""}, "04000000" "05000000" "00000000"),
    ({"reply_to_peer_id": {"_": "inputPeerSelf"}}, "02000000" "05000000" "c97ea07d"),
    ({"poll_option": b"", "todo_item_id": 9}, "c0000000" "05000000" "09000000" "00000000"),
])
def test_conditional_fields(extra, want):
    assert ext.serialize_constructor("inputReplyToMessage", {"reply_to_msg_id": 5, **extra}) == \
        bytes.fromhex("c2b7d43b" + want)


@pytest.mark.parametrize("query,want", [
    ("", b""), (b"\x01\x02\x03", b"\x01\x02\x03"), ("0a0b", b"\x0a\x0b"), ({"_": "help.getConfig"}, u32(0xC4F9186B)),
    ({"_": "initConnection", "api_id": 6, "device_model": "d", "system_version": "s", "app_version": "1",
      "system_lang_code": "en", "lang_pack": "", "lang_code": "en", "query": {"_": "help.getConfig"}},
     u32(0xC1CD5EA9, 0, 6) + b"\x01d\0\0\x01s\0\0\x011\0\0\x02en\0" + EMPTY + b"\x02en\0" + u32(0xC4F9186B)),
])
def test_invoke_with_layer(query, want):
    assert ext.serialize_method("invokeWithLayer", {"layer": 201, "query": query}) == u32(0xDA9B0D0D, 201) + want


@pytest.mark.parametrize("kind", ["bytes", "string"])
def test_payload_over_24_bits_is_refused(kind):
    assert enc(kind, b"\0" * (2**24 - 1))[:4] == b"\xfe\xff\xff\xff"
    for too_long in (b"\0" * 2**24, "g" * 2**24):
        outcome(lambda: enc(kind, too_long), ValueError(f"v_{kind}:v: {kind} too long"))


def deep(n, vectors=False):
    d = {"_": "help.getConfig"}
    for _ in range(n):
        d = {"_": "inputReplyToMessage", "reply_to_msg_id": 1, "quote_entities": [d]} if vectors else \
            {"_": "invokeWithLayer", "layer": 1, "query": d}
    return d


def test_nesting_bound():
    # 100 levels of objects pass, counting the top-level one; deeper or cyclic input fails.
    loop = {"_": "inputReplyToMessage", "reply_to_msg_id": 1}
    loop["quote_entities"] = [loop]
    for vectors in (False, True):
        ext.dumps(deep(99, vectors))
        for value in (deep(100, vectors), deep(100_000, vectors), loop):
            with pytest.raises(ValueError, match=r"^ValueError: (invokeWithLayer:query|inputReplyToMessage:"
                                                 r"quote_entities): .*: nesting too deep$"):
                ext.dumps(value)
    ext.serialize_method("invokeWithLayer", {"layer": 1, "query": deep(98)})
    with pytest.raises(ValueError, match="^invokeWithLayer:query: .*: nesting too deep$"):
        ext.serialize_method("invokeWithLayer", {"layer": 1, "query": deep(99)})


def clearing(target):
    """An item whose conversion to an integer empties the container it sits in."""
    return type("Clearing", (), {"__index__": lambda self: target.clear() or 65})()


def test_values_that_mutate_their_containers():
    d = {"query": b""}
    d["layer"] = clearing(d)  # the field value is held while the dict empties
    outcome(lambda: ext.serialize_method("invokeWithLayer", d),
            ValueError("invokeWithLayer: missing required field query"))
    items = [1, 2]
    items.insert(0, clearing(items))
    assert ext.serialize_method("auth.importLoginToken", {"token": items})[4:] == b"\x01A\0\0"
    for at in (0, 2):  # the list shrinks under its first converted item, or under its last
        ids = [1, 2]
        ids.insert(at, clearing(ids))
        outcome(lambda: ext.serialize_method("msgs_ack", {"msg_ids": ids}),
                ValueError("msgs_ack:msg_ids: vector changed size during serialization"))


def test_encoding_keeps_no_references():
    def encode_all():
        ext.serialize_constructor("inputPeerUser", {"user_id": 1, "access_hash": 2})
        ext.serialize_method("msgs_ack", {"msg_ids": [1, 2**63]})
        ext.dumps({"_": "invokeWithLayer", "layer": 1, "query": "abcd"})
        for bad in ({"layer": "x"}, {"layer": 1, "query": {"_": "codeSettings", "logout_tokens": 5}}):
            with pytest.raises(ValueError):
                ext.serialize_method("invokeWithLayer", bad)
    assert python_memory_growth(encode_all) < 64 * 1024


def test_name_both_method_and_constructor():
    # Each top-level function uses its own table, a nested object the constructor.
    try:
        load({"both": (2, [], False)}, {"both": (1, [], False), "wrap": (3, [{"name": "q", "type": "!X"}], False)})
        assert [ext.serialize_method("both", {}), ext.serialize_constructor("both", {})] == [u32(1), u32(2)]
        assert ext.serialize_method("wrap", {"q": {"_": "both"}}) == ext.dumps({"_": "wrap", "q": {"_": "both"}}) \
            == u32(3, 2)
    finally:
        ext.load_schema(VALUE_SCHEMA)
