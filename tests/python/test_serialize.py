"""serialize_method, serialize_constructor and dumps: value rules, flags, messages, depth, leaks."""
import json
import struct

import numpy
import pytest
from hypothesis import given, strategies as st

import velmora
import velmora.ext as ext
from conftest import DEFAULT_SCHEMA_TEXT, deep, idx, outcome, python_memory_growth, u32, u64

VEC, TRUE, FALSE, Z16, EMPTY = u32(0x1CB5C415), u32(0x997275B5), u32(0xBC799737), bytes(16), bytes(4)
KINDS = ["int", "#", "long", "double", "int128", "int256", "bytes", "string", "Bool", "Vector", "Object"]
MyInt, MyBytes, MyStr = type("MyInt", (int,), {}), type("MyBytes", (bytes,), {}), type("MyStr", (str,), {})


def _value_schema():
    # The default schema, plus one constructor per field type with a single field "v", and a few more. Fields
    # in their positional form: name, type, flag_bit, flags_group, is_bare, is_vector, vector_inner, and
    # vector_inner_is_vector.
    doc = json.loads(DEFAULT_SCHEMA_TEXT)
    for i, kind in enumerate(KINDS):
        doc["constructors"][f"v_{kind}"] = [0x100 + i, [["v", kind, None, None, False, kind == "Vector"]]]
    doc["constructors"].update(grouped=[0x200, [["flags", "#"], ["flags2", "#"], ["a", "int", 3],
                                                ["b", "true", 1, "flags2", True], ["c", "long", 0, "flags2"]], True],
                               vv=[0x201, [["v", "Vector", None, None, False, True, "Vector", True]]],
                               under=[0x202, [["x", "int"], ["_", "string"]]],
                               # More fields than a mask has bits; c<i> and c<i + 32> share a bit.
                               wide=[0x203, [["flags", "#"]] + [[f"c{i}", "int", i % 32] for i in range(66)]
                                     + [["z", "int"]], True])
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


def numpy_bool(value, name="bool_", module="numpy", calls=None):
    """NumPy's boolean scalar as the serializer knows it: by its type's module and name."""
    calls = [] if calls is None else calls
    return type(name, (), {"__module__": module, "__bool__": lambda self: calls.append(1) or value})()


E_INT, E_DBL, E_BYTES, E_VEC = "int expected", "double expected", "bytes expected", "vector expected array"
E_N, E_NS = "nested field expected dict or bytes", "nested field expected dict or bytes, got string"
E_256, E_MISSING = "int256 must be 32 bytes", "nested object missing _"

# value, then the outcome per kind: bytes written, or the error text.
ROWS = [
    (True, {"int": u32(1), "#": u32(1), "long": u64(1), "double": dbl(1.0), "int128": E_BYTES, "int256": E_BYTES,
            "bytes": E_BYTES, "string": EMPTY, "Bool": TRUE, "Vector": E_VEC, "Object": E_N}),
    (5, {"int": u32(5), "#": u32(5), "long": u64(5), "double": dbl(5.0), "int128": E_BYTES, "int256": E_BYTES,
         "bytes": E_BYTES, "string": EMPTY, "Bool": FALSE, "Vector": E_VEC, "Object": E_N}),
    (False, {"int": u32(0), "long": u64(0), "Bool": FALSE}), (-1, {"#": u32(-1)}),  # int and long: a property
    (2**64, {"double": dbl(2.0**64)}), (10**400, {"double": E_DBL}),
    (1.5, {"int": E_INT, "#": E_INT, "long": E_INT, "double": dbl(1.5), "int128": E_BYTES, "Bool": FALSE}),
    (idx(7), {"int": u32(7), "long": u64(7), "double": dbl(7.0), "int128": E_BYTES}), (idx(-2), {"long": u64(-2)}),
    (idx(2**64), {"int": E_INT}), (idx(None), {"int": E_INT, "long": E_INT}), (MyInt(9), {"int": u32(9)}),
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
    (numpy.bool_(True), {"Bool": TRUE}), (numpy.int64(1), {"Bool": FALSE}),  # the real scalar types, by name
    (numpy_bool(True), {"Bool": TRUE}), (numpy_bool(False), {"Bool": FALSE}),
]


@pytest.mark.parametrize("kind,value,want", [pytest.param(k, v, w, id=f"{k}-{v!r:.30}")
                                             for v, outcomes in ROWS for k, w in outcomes.items()])
def test_value_table(kind, value, want):
    want = ValueError(f"v_{kind}:v: {want}") if isinstance(want, str) else want
    outcome(lambda: enc(kind, value), want)  # and the package's strict=False, the same
    outcome(lambda: velmora.serialize_constructor(f"v_{kind}", {"v": value}, strict=False)[4:], want)


@given(st.integers(-(2**70), 2**70) | st.sampled_from([2**32 + 7, 2**63, 2**64 - 1, 2**64, -(2**63), -(2**63) - 1]))
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


HookedDict = type("HookedDict", (dict,), {"__missing__": lambda self, k: bytes(16), "__getitem__": lambda self, k: 0})


M, C, D = ext.serialize_method, ext.serialize_constructor, ext.dumps
CODE, REPLY, LAYER = u32(0xAD253D78), u32(0x3BD4B7C2), u32(0xDA9B0D0D, 201)


def code_settings(args):
    return C("codeSettings", args)


def reply_to(args):
    return C("inputReplyToMessage", {"reply_to_msg_id": 5, **args})


def invoke_with_layer(query):
    return M("invokeWithLayer", {"layer": 201, "query": query})


INIT = {"_": "initConnection", "api_id": 6, "device_model": "d", "system_version": "s", "app_version": "1",
        "system_lang_code": "en", "lang_pack": "", "lang_code": "en", "query": {"_": "help.getConfig"}}


@pytest.mark.parametrize("fn,args,want", [
    (M, ("req_pq_multi", [1]), "TL args must be a dict"), (C, (MyStr("resPQ"), ()), "TL args must be a dict"),
    (M, ("req_pq_multi", {}), "req_pq_multi: missing required field nonce"),
    (M, ("nope", [1]), "unknown method: nope"), (M, ("resPQ", {}), "unknown method: resPQ"),
    (C, ("req_pq_multi", {}), "unknown constructor: req_pq_multi"),
    (M, ("auth.sendCode", {"phone_number": "1", "api_id": 1, "api_hash": "h", "settings": {
        "_": "codeSettings", "logout_tokens": 5}}),
     "auth.sendCode:settings: ValueError: codeSettings:logout_tokens: vector expected array"),
    (M, ("invokeWithLayer", {"layer": 1, "query": {"x": "inputPeerSelf", "_": "help.getConfig"}}), u32(0xDA9B0D0D, 1, 0xC4F9186B)),
    (C, ("vv", {"v": [[1], 5]}), "vv:v: vector expected array"), (C, ("v_#", {}), "v_#: missing required field v"),
    (reply_to, {"top_msg_id": "x"}, "inputReplyToMessage:top_msg_id: int expected"),
    # A required field fails even after conditional ones were accepted.
    (C, ("inputReplyToMessage", {"top_msg_id": "x"}), "inputReplyToMessage: missing required field reply_to_msg_id"),
    (D, {}, "dumps requires _ constructor name"), (D, {"_": 5}, "dumps requires _ constructor name"),
    (D, [1], "TL args must be a dict"), (D, {"_": "resPQ"}, "ValueError: resPQ: missing required field nonce"),
    (D, {"_": "a\udc80"}, "unknown constructor a\\udc80"), (D, MyBytes(b"\x01\x02\x03"), b"\x01\x02\x03"),
    # A field lookup that raises counts as missing; dict subclass hooks are not called.
    (M, ("req_pq_multi", {RaisingEq("zznonce"): 1}), "req_pq_multi: missing required field nonce"),
    (M, ("req_pq_multi", HookedDict()), "req_pq_multi: missing required field nonce"),
    (M, ("req_pq_multi", HookedDict(nonce=b"\x01" * 16)), u32(0xBE7E8EF1) + b"\x01" * 16),
    (D, {RaisingEq("zz_"): 1}, RuntimeError("compare")),  # dumps' own lookup passes errors on
    (M, ("a\udc80", {}), UnicodeEncodeError("utf-8", "a\udc80", 1, 2, "surrogates not allowed")),
    (M, ("msgs_ack", {"msg_ids": (1, 2)}), u32(0x62D6B459) + VEC + u32(2) + u64(1, 2)),
    (C, ("grouped", {"a": 7, "b": True, "c": 1}), u32(0x200, 8, 3, 7) + u64(1)),
    (C, ("grouped", {}), u32(0x200, 0, 0)),  # bit 1 of flags2, the second word
    (C, ("wide", {"z": 3, "c40": 2, "c8": 1, "c65": None}), u32(0x203, 1 << 8, 1, 2, 3)),
    (C, ("wide", {"c40": 2, "z": 3}), "wide: missing required field c8"),
    (C, ("wide", {"c1": 1, "c33": 2, "c65": 3}), "wide: missing required field z"),
    (C, ("vv", {"v": [[1, 2], ()]}), u32(0x201) + VEC + u32(2) + VEC + u32(2, 1, 2) + VEC + u32(0)),
    # Presence flags take booleans only; the "#" field is computed, a given value ignored.
    (code_settings, {"allow_flashcall": False, "allow_app_hash": 1, "allow_missed_call": "yes", "current_number": None,
                     "flags": 12345}, CODE + u32(0)),
    (code_settings, {"allow_flashcall": True, "token": "x", "app_sandbox": True}, CODE + u32(0x101) + b"\x01x\0\0" + TRUE),
    (code_settings, {"current_number": True, "unknown_number": True}, CODE + u32(0x202)),
    # token and app_sandbox share bit 8: one given alone names the other.
    (code_settings, {"app_sandbox": False, "token": None}, "codeSettings: missing required field token"),
    (code_settings, {"app_sandbox": True, "token": ""}, CODE + u32(0x100) + EMPTY + TRUE),
    (code_settings, {"logout_tokens": [b"a", "ff"]}, CODE + u32(0x40) + VEC + u32(2) + b"\x01a\0\0\x01\xff\0\0"),
    (code_settings, {"allow_flashcall": numpy_bool(True), "allow_app_hash": numpy_bool(False, "bool"),
                     "current_number": numpy_bool(True, "int_"), "unknown_number": numpy_bool(True, "bool_", "numpyx")},
     CODE + u32(1)),
    (code_settings, {"current_number": numpy_bool(True, "bool")}, CODE + u32(2)),
    (reply_to, {"top_msg_id": None}, REPLY + u32(0, 5)), (reply_to, {"top_msg_id": 0}, REPLY + u32(1, 5, 0)),
    (reply_to, {"quote_text": ""}, REPLY + u32(4, 5, 0)),
    (reply_to, {"reply_to_peer_id": {"_": "inputPeerSelf"}}, REPLY + u32(2, 5, 0x7DA07EC9)),
    (reply_to, {"poll_option": b"", "todo_item_id": 9}, REPLY + u32(0xC0, 5, 9, 0)),
    (invoke_with_layer, "", LAYER), (invoke_with_layer, b"\x01\x02", LAYER + b"\x01\x02"),
    (invoke_with_layer, "0a0b", LAYER + b"\x0a\x0b"),
    (invoke_with_layer, {"_": "under", "x": 1}, LAYER + u32(0x202, 1) + b"\x05under\0\0"),  # a field named "_"
    (invoke_with_layer, INIT, LAYER + u32(0xC1CD5EA9, 0, 6) + b"\x01d\0\0\x01s\0\0\x011\0\0\x02en\0" + EMPTY
     + b"\x02en\0" + u32(0xC4F9186B)),
])
def test_calls(fn, args, want):
    want = ValueError(want) if isinstance(want, str) else want
    lenient = {M: velmora.serialize_method, C: velmora.serialize_constructor, D: velmora.dumps}.get(fn)
    for f in [fn] + ([lambda *a: lenient(*a, strict=False)] if lenient else []):  # the package's, the same
        outcome(lambda: f(*args) if isinstance(args, tuple) else f(args), want)


def test_presence_flags_are_read_in_both_passes():
    calls = []
    assert code_settings({"allow_flashcall": numpy_bool(True, calls=calls)}) == CODE + u32(1) and len(calls) == 2


@pytest.mark.parametrize("kind", ["bytes", "string"])
def test_payload_over_24_bits_is_refused(kind):
    assert enc(kind, b"\0" * (2**24 - 1))[:4] == b"\xfe\xff\xff\xff"
    for too_long in (b"\0" * 2**24, "g" * 2**24):
        outcome(lambda: enc(kind, too_long), ValueError(f"v_{kind}:v: {kind} too long"))


def test_nesting_bound():
    # 100 levels of objects pass, counting the top-level one; deeper or cyclic input fails.
    loop = {"_": "inputReplyToMessage", "reply_to_msg_id": 1}
    loop["quote_entities"] = [loop]
    M("invokeWithLayer", {"layer": 1, "query": deep(98)})
    for call in [lambda: M("invokeWithLayer", {"layer": 1, "query": deep(99)}), lambda: D(loop)] + \
            [lambda v=v, n=n: D(deep(n, v)) for v in (False, True) for n in (100, 100_000)]:
        with pytest.raises(ValueError, match=r"^(ValueError: )?(invokeWithLayer:query|inputReplyToMessage:"
                                             r"quote_entities): .*: nesting too deep$"):
            call()


@pytest.mark.parametrize("name", [str, MyStr])  # found by the compiled tables, or by its text
def test_too_deep_a_failure_of_the_innermost_object(name):
    outcome(lambda: M("invokeWithLayer", {"layer": 1, "query": deep(99, name=name)}),
            ValueError("invokeWithLayer:query: " + "ValueError: invokeWithLayer:query: " * 99 + "nesting too deep"))


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

