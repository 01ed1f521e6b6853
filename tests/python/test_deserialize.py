"""loads / deserialize_constructor: values, failures, flags, unknown identifiers, depth, robustness."""
import json
import resource
import struct
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velmora.ext as ext

VEC = 0x1CB5C415
TRUE_ID = 0x997275B5
FALSE_ID = 0xBC799737


def u32(*xs):
    return b"".join(struct.pack("<I", x) for x in xs)


def i64(*xs):
    return b"".join(struct.pack("<q", x) for x in xs)


def tl_bytes(p):
    if len(p) < 254:
        head = bytes([len(p)])
    else:
        head = b"\xfe" + len(p).to_bytes(3, "little")
    out = head + p
    return out + b"\x00" * (-len(out) % 4)


def field(name, type_, **kw):
    return dict(name=name, type=type_, **kw)


def schema(constructors, methods=None):
    """constructors: name -> (cid, [fields], has_flags)."""
    doc = {
        "methods": methods or {},
        "constructors": {
            n: {"cid": c, "fields": fs, "has_flags": hf} for n, (c, fs, hf) in constructors.items()
        },
    }
    ext.load_schema(json.dumps(doc))


# One constructor per value type, cid 0x100 + index; "holder" nests an object.
VALUE_TYPES = ["#", "int", "Int", "long", "Long", "double", "Double", "Bool", "boolTrue",
               "boolFalse", "true", "True", "int128", "int256", "bytes", "Bytes", "string",
               "String", "bool"]


@pytest.fixture
def one_field(restore_default_schema):
    def make(type_, cid=0x100, has_flags=False, **kw):
        schema({"one": (cid, [field("v", type_, **kw)], has_flags),
                "empty": (0x200, [], False)})
        return lambda body: ext.loads(u32(cid) + body)
    return make


@pytest.mark.parametrize("type_, body, want", [
    ("#", u32(0xFFFFFFFF), 4294967295),
    ("int", u32(0xFFFFFFFF), -1),
    ("Int", u32(0x80000000), -2147483648),
    ("long", i64(-2), -2),
    ("Long", u32(0, 0x80000000), -(2 ** 63)),
    ("double", struct.pack("<d", 1.5), 1.5),
    ("Double", struct.pack("<d", -0.0), -0.0),
    ("Bool", u32(TRUE_ID), True),
    ("Bool", u32(FALSE_ID), False),
    ("Bool", u32(1), False),
    ("boolTrue", u32(FALSE_ID), False),
    ("boolFalse", u32(TRUE_ID), True),
    ("true", b"", True),
    ("True", b"", True),
    ("int128", bytes(range(16)), bytes(range(16))),
    ("int256", bytes(range(32)), bytes(range(32))),
    ("bytes", b"\x00\x00\x00\x00", b""),
    ("Bytes", b"\x03abc", b"abc"),
    ("bytes", b"\x04abcd\x00\x00\x00", b"abcd"),
    ("bytes", tl_bytes(b"x" * 253), b"x" * 253),
    ("bytes", tl_bytes(b"y" * 254), b"y" * 254),
    ("bytes", tl_bytes(b"z" * 256), b"z" * 256),
    ("string", b"\x02\xc3\xa9\x00", "\u00e9"),
    ("String", tl_bytes("\U0001f600".encode()), "\U0001f600"),
    # long form with a short length is accepted
    ("string", b"\xfe\x05\x00\x00hello\x00\x00\x00", "hello"),
])
def test_value_table(one_field, type_, body, want):
    got = one_field(type_)(body)["v"]
    assert type(got) is type(want) and got == want
    if type_ in ("Double",):
        assert struct.pack("<d", got) == struct.pack("<d", want)


@pytest.mark.parametrize("type_, body, message", [
    ("int", b"\x01\x02\x03", "unexpected eof"),
    ("#", b"", "unexpected eof"),
    ("long", bytes(7), "unexpected eof"),
    ("double", bytes(4), "unexpected eof"),
    ("Bool", bytes(2), "unexpected eof"),
    ("int128", bytes(15), "unexpected eof"),
    ("int256", bytes(31), "unexpected eof"),
    ("bytes", b"", "unexpected eof"),
    ("bytes", b"\xff\x00\x00\x00", "bad bytes len"),
    ("Bytes", b"\xff", "bad bytes len"),
    ("string", b"\xff\x00\x00\x00", "bad string len"),
    ("String", b"\xff", "bad string len"),
    ("bytes", b"\xfe\x05\x00", "unexpected eof"),  # long header cut
    ("bytes", b"\x05abc", "unexpected eof"),  # payload cut
    ("bytes", b"\x05abcde\x00", "unexpected eof"),  # padding cut
    ("bytes", b"\xfe\x05\x00\x00abcde\x00\x00", "unexpected eof"),
    # padding missing wins over a bad payload
    ("string", b"\x01\xff", "unexpected eof"),
    ("string", b"\x01\xff\x00\x00", "utf8: invalid utf-8 sequence of 1 bytes from index 0"),
    ("string", b"\x02a\xc3\x00", "utf8: incomplete utf-8 byte sequence from index 1"),
])
def test_failure_table(one_field, type_, body, message):
    with pytest.raises(ValueError) as e:
        one_field(type_)(body)
    assert str(e.value) == message


@pytest.mark.parametrize("payload", [
    b"\x80", b"ab\xbf", b"\xc0\x80", b"\xc1\xbf", b"\xe0\x80\x80", b"\xe0\x9f\xbf",
    b"\xf0\x80\x80\x80", b"\xf0\x8f\xbf\xbf", b"\xed\xa0\x80", b"\xed\xbf\xbf",
    b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xff", b"\xfe",
    b"\xc3", b"\xe2\x82", b"\xf0\x9f\x98", b"abc\xf0",
    b"x\xc3(", b"x\xe2\x28\xa1", b"x\xe2\x82\x28", b"\xf0\x9f\x98(", b"ok\xe9t\xc3\xa9",
    b"12345678\x80", b"1234567\xc3\xa9\xc3", b"\xc3\xa9" * 10 + b"\xed\xa0\x80",
])
def test_utf8_table_matches_cpython(one_field, payload):
    read = one_field("string")
    with pytest.raises(ValueError) as e:
        read(tl_bytes(payload))
    assert str(e.value) == cpython_utf8_message(payload)


def cpython_utf8_message(payload):
    try:
        payload.decode("utf-8")
    except UnicodeDecodeError as u:
        if u.reason == "unexpected end of data":
            return f"utf8: incomplete utf-8 byte sequence from index {u.start}"
        return f"utf8: invalid utf-8 sequence of {u.end - u.start} bytes from index {u.start}"
    return None


utf8ish = st.lists(st.one_of(
    st.binary(min_size=1, max_size=4),
    st.text(min_size=1, max_size=3).map(lambda s: s.encode("utf-8", "surrogatepass")),
    st.sampled_from([b"\xc3", b"\xe2\x82", b"\xf0\x9f\x98", b"\xed\xa0", b"\xf4\x8f", b"\xf4\x90",
                     b"\xe0\xa0", b"\x80", b"abcdefgh"]),
), max_size=12).map(b"".join)


@settings(max_examples=3000, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(payload=utf8ish)
def test_utf8_agrees_with_cpython(one_field, payload):
    read = one_field("string")
    expected = cpython_utf8_message(payload)
    if expected is None:
        assert read(tl_bytes(payload))["v"] == payload.decode()
    else:
        with pytest.raises(ValueError) as e:
            read(tl_bytes(payload))
        assert str(e.value) == expected


@pytest.mark.parametrize("data", [b"", b"\x01", b"\x01\x02", b"\x01\x02\x03"])
def test_short_input(data):
    with pytest.raises(ValueError, match="^unexpected eof$"):
        ext.loads(data)


def test_unknown_constructor_and_both_names():
    want = {"_": "unknownConstructor", "cid": 67305985, "raw": "0102030405"}
    assert ext.loads(b"\x01\x02\x03\x04\x05") == want
    assert ext.deserialize_constructor(data=b"\x01\x02\x03\x04\x05") == want
    assert list(ext.loads(b"\xff\xff\xff\xffAB")) == ["_", "cid", "raw"]
    assert ext.loads(b"\xff\xff\xff\xffAB")["cid"] == 4294967295
    # a serialized method is not a constructor
    m = ext.serialize_method("req_pq_multi", {"nonce": bytes(range(16))})
    assert ext.loads(m) == {"_": "unknownConstructor", "cid": 0xBE7E8EF1, "raw": m.hex()}


@pytest.mark.parametrize("fn, arg", [("loads", None), ("deserialize_constructor", "x"),
                                      ("loads", bytearray(b"abcd"))])
def test_argument_type(fn, arg):
    with pytest.raises(TypeError, match=f"^argument 'data'"):
        getattr(ext, fn)(arg)


def test_unknown_inside_fields(restore_default_schema):
    schema({"outer": (0x10, [field("flags", "#"), field("obj", "Object"), field("t", "true"),
                             field("b", "true", flag_bit=0, is_bare=True),
                             field("opt", "int", flag_bit=1)], True),
            "need": (0x11, [field("obj", "Object"), field("after", "int")], False)})
    tail = u32(0xDEAD, 7)
    got = ext.loads(u32(0x10, 0) + tail)
    assert got == {"_": "outer", "flags": 0,
                   "obj": {"_": "unknownConstructor", "cid": 0xDEAD, "raw": tail.hex()},
                   "t": True, "b": False}
    with pytest.raises(ValueError, match="^unexpected eof$"):
        ext.loads(u32(0x11, 0xDEAD, 7, 8))


def test_vector_at_object_position(restore_default_schema):
    schema({"e": (0x20, [], False)})
    assert ext.loads(u32(VEC, 0)) == []
    assert ext.loads(u32(VEC, 2, 0x20, 0x20, 99)) == [{"_": "e"}, {"_": "e"}]
    assert ext.loads(u32(VEC, 1, 0x99, 0x20)) == [
        {"_": "unknownConstructor", "cid": 0x99, "raw": u32(0x99, 0x20).hex()}]
    with pytest.raises(ValueError, match="^unexpected eof$"):
        ext.loads(u32(VEC, 2, 0x99, 0x20))
    with pytest.raises(ValueError, match="^unexpected eof$"):
        ext.loads(u32(VEC))
    # the count limit is checked before any element
    with pytest.raises(ValueError, match="^invalid vector count$"):
        ext.loads(u32(VEC, 1_000_001, 0x20))
    with pytest.raises(ValueError, match="^unexpected eof$"):
        ext.loads(u32(VEC, 1_000_000))
    assert ext.loads(u32(VEC, 1_000_000) + u32(0x20) * 1_000_000) == [{"_": "e"}] * 1_000_000


@pytest.mark.parametrize("body, want", [
    (u32(VEC, 0), []),
    (u32(VEC, 3, 1, 0xFFFFFFFF, 3), [1, -1, 3]),
])
def test_vector_field_default_int(one_field, body, want):
    assert one_field("Vector", is_vector=True)(body)["v"] == want


@pytest.mark.parametrize("body, message", [
    (u32(0x15), "not a vector: 00000015"),
    (u32(0xABCDEF01), "not a vector: abcdef01"),
    (b"\x15\xc4\xb5", "unexpected eof"),
    (u32(VEC), "unexpected eof"),
    (u32(VEC, 1_000_001), "invalid vector count"),
    (u32(VEC, 1_000_000), "unexpected eof"),
    (u32(VEC, 2, 1), "unexpected eof"),
])
def test_vector_field_failures(one_field, body, message):
    with pytest.raises(ValueError) as e:
        one_field("Vector", is_vector=True, vector_inner="int")(body)
    assert str(e.value) == message


@pytest.mark.parametrize("inner, inner_vec, body, want", [
    ("long", False, u32(VEC, 2) + i64(1, -1), [1, -1]),
    ("long", True, u32(VEC, 1) + i64(-5), [-5]),  # primitive inner wins over inner_is_vector
    ("Vector", True, u32(VEC, 2, VEC, 2, 1, 0xFFFFFFFF, VEC, 0), [[1, -1], []]),
    ("string", False, u32(VEC, 2) + tl_bytes(b"a") + tl_bytes(b""), ["a", ""]),
    ("true", False, u32(VEC, 3), [True, True, True]),
    ("int128", False, u32(VEC, 1) + bytes(16), [bytes(16)]),
    ("Peer", False, u32(VEC, 2, 0x200, VEC, 1, 0x200), [{"_": "empty"}, [{"_": "empty"}]]),
])
def test_vector_elements(one_field, inner, inner_vec, body, want):
    read = one_field("Vector", is_vector=True, vector_inner=inner, vector_inner_is_vector=inner_vec)
    assert read(body)["v"] == want


def test_vector_of_vectors_inner_not_a_vector(one_field):
    read = one_field("Vector", is_vector=True, vector_inner="X", vector_inner_is_vector=True)
    with pytest.raises(ValueError, match="^not a vector: 00000001$"):
        read(u32(VEC, 1, 1))


def test_message_vector_reads_count_as_cid(one_field):
    read = one_field("vector<%Message>")
    body = u32(2, 0x200, 0x200)
    assert read(body)["v"] == {"_": "unknownConstructor", "cid": 2, "raw": body.hex()}
    assert read(u32(0x200))["v"] == {"_": "empty"}


def test_lowercase_bool_is_an_object(one_field):
    read = one_field("bool")
    assert read(u32(TRUE_ID))["v"] == {"_": "unknownConstructor", "cid": TRUE_ID,
                                        "raw": u32(TRUE_ID).hex()}


FLAGGED = {
    "f": (0x30, [
        field("early", "int", flag_bit=0),
        field("early_bare", "true", flag_bit=0, is_bare=True),
        field("flags", "#"),
        field("a", "int", flag_bit=0),
        field("b", "long", flag_bit=33),           # bit 1
        field("c", "true", flag_bit=2, is_bare=True),
        field("d", "Bool", flag_bit=3, is_bare=True),   # bare: no bytes whatever the type
        field("e", "int", flag_bit=4, is_bare=True),
        field("flags2", "#"),
        field("g", "int", flag_bit=0, flags_group="flags2"),
        field("h", "int", flag_bit=0, flags_group="flags1"),  # word 0
        field("t", "true", flag_bit=5),
    ], True),
}


@pytest.mark.parametrize("w0, w1, body, want", [
    (0, 0, b"", {"early_bare": False, "flags": 0, "c": False, "d": False, "e": False,
                 "flags2": 0}),
    (0b11101, 1, u32(7, 8, 9),
     {"early_bare": False, "flags": 0b11101, "a": 7, "c": True, "d": True, "e": True,
      "flags2": 1, "g": 8, "h": 9}),
    (0b100011, 0, u32(7) + i64(-3) + u32(9),
     {"early_bare": False, "flags": 0b100011, "a": 7, "b": -3, "c": False, "d": False,
      "e": False, "flags2": 0, "h": 9, "t": True}),
    (0, 1, u32(8), {"early_bare": False, "flags": 0, "c": False, "d": False, "e": False,
                    "flags2": 1, "g": 8}),
    (0xFFFFFFFF, 0xFFFFFFFF, u32(1) + i64(2) + u32(3, 4),
     {"early_bare": False, "flags": 0xFFFFFFFF, "a": 1, "b": 2, "c": True, "d": True,
      "e": True, "flags2": 0xFFFFFFFF, "g": 3, "h": 4, "t": True}),
])
def test_flags(restore_default_schema, w0, w1, body, want):
    schema(FLAGGED)
    data = u32(0x30, w0)
    # insert flags2 after the fields of word 0 that are present
    pre = 4 * bool(w0 & 1) + 8 * bool(w0 & 2)
    data += body[:pre] + u32(w1) + body[pre:] + b"trailing"
    got = ext.loads(data)
    assert got == {"_": "f", **want}
    assert list(got) == ["_"] + [k for k in [f["name"] for f in FLAGGED["f"][1]] if k in want]


def test_flags_cut_short(restore_default_schema):
    schema(FLAGGED)
    with pytest.raises(ValueError, match="^unexpected eof$"):
        ext.loads(u32(0x30, 1, 7))  # flags2 missing
    with pytest.raises(ValueError, match="^unexpected eof$"):
        ext.loads(u32(0x30, 1))     # "a" missing


def test_has_flags_false_reads_everything(restore_default_schema):
    schema({"n": (0x40, [field("flags", "#"), field("a", "int", flag_bit=0),
                         field("b", "int", flag_bit=1, is_bare=True)], False)})
    assert ext.loads(u32(0x40, 0, 5, 6)) == {"_": "n", "flags": 0, "a": 5, "b": 6}


def test_key_names(restore_default_schema):
    schema({"k": (0x50, [field("x", "int"), field("_", "int"), field("y", "int"),
                         field("x", "long")], False)})
    got = ext.loads(u32(0x50, 1, 2, 3) + i64(-4))
    assert list(got.items()) == [("_", 2), ("x", -4), ("y", 3)]


def test_trailing_bytes_and_key_order():
    data = ext.serialize_constructor("inputPeerUser", {"user_id": 1, "access_hash": -2})
    got = ext.loads(data + b"\x01\x02\x03")
    assert list(got.items()) == [("_", "inputPeerUser"), ("user_id", 1), ("access_hash", -2)]


def test_default_schema_samples():
    fp = [-1, 2 ** 63 - 1, 0]
    data = (u32(0x05162463) + bytes(range(16)) + bytes(range(16, 32)) + tl_bytes(b"\x17\xed")
            + u32(VEC, 3) + i64(*fp))
    assert list(ext.loads(data).items()) == [
        ("_", "resPQ"), ("nonce", bytes(range(16))), ("server_nonce", bytes(range(16, 32))),
        ("pq", b"\x17\xed"), ("server_public_key_fingerprints", fp)]
    rpc = u32(0xF35C6D01) + i64(77) + u32(0x7F3B18EA)
    assert ext.loads(rpc) == {"_": "rpc_result", "req_msg_id": 77,
                              "result": {"_": "inputPeerEmpty"}}


def test_schema_taken_per_object(restore_default_schema):
    # a schema replaced between calls is used by the next call
    schema({"e": (0x7F3B18EA, [field("z", "int")], False)})
    assert ext.loads(u32(0x7F3B18EA, 3)) == {"_": "e", "z": 3}


# ---- depth ----

def nested_vectors(levels):
    return u32(VEC, 1) * levels + u32(0x7F3B18EA)  # inputPeerEmpty at the bottom


def depth_of(value):
    d = 1
    while isinstance(value, list):
        value, d = value[0], d + 1
    return d


def test_depth_limit():
    n = 1
    while True:  # find the deepest accepted nesting
        try:
            ext.loads(nested_vectors(n))
        except ValueError as e:
            assert str(e) == "nesting too deep"
            break
        n += 1
        assert n < 100_000
    assert n >= 64
    assert depth_of(ext.loads(nested_vectors(n - 1))) == n
    # object fields nest too
    rpc = u32(0xF35C6D01) + i64(1)
    with pytest.raises(ValueError, match="^nesting too deep$"):
        ext.loads(rpc * (n + 1) + u32(0x7F3B18EA))
    ext.loads(rpc * (n - 1) + u32(0x7F3B18EA))


DEEP_SCHEMA = {"e": (0x7F3B18EA, [], False),
               "r": (0xF35C6D01, [field("a", "long"), field("o", "Object")], False),
               "w": (0x5, [field("v", "Vector", is_vector=True, vector_inner="W")], False)}


def deep_inputs(levels):
    """The three ways of nesting: vector at object position, object field, vector field."""
    return [nested_vectors(levels),
            (u32(0xF35C6D01) + i64(1)) * levels + u32(0x7F3B18EA),
            u32(5, VEC, 1) * levels + u32(5, VEC, 0)]


def test_hostile_depth_main_and_small_thread(restore_default_schema):
    schema(DEEP_SCHEMA)
    limit = 1
    while True:
        try:
            ext.loads(nested_vectors(limit))
        except ValueError:
            break
        limit += 1
    for data in deep_inputs(200_000):
        with pytest.raises(ValueError, match="^nesting too deep$"):
            ext.loads(data)
    outcome = []

    def run():
        # the deepest accepted nesting must fit a small thread stack too
        for data in deep_inputs(limit - 1) + deep_inputs(200_000):
            try:
                ext.loads(data)
                outcome.append("ok")
            except ValueError as e:
                outcome.append(str(e))

    old = threading.stack_size(256 * 1024)
    try:
        t = threading.Thread(target=run)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    assert outcome == ["ok"] * 3 + ["nesting too deep"] * 3


# ---- round trip and robustness ----

RT_FIELDS = [
    field("flags", "#"),
    field("i", "int"), field("l", "long"), field("d", "double"), field("b", "Bool"),
    field("s", "string"), field("by", "bytes"), field("n128", "int128"), field("n256", "int256"),
    field("opt", "long", flag_bit=0), field("bare", "true", flag_bit=1, is_bare=True),
    field("vl", "Vector", is_vector=True, vector_inner="long"),
    field("vs", "Vector", is_vector=True, vector_inner="string"),
    field("vv", "Vector", is_vector=True, vector_inner="Vector", vector_inner_is_vector=True),
    field("child", "Object", flag_bit=2),
    field("kids", "Vector", is_vector=True, vector_inner="Leaf"),
]
RT_SCHEMA = {"rt": (0x60, RT_FIELDS, True), "leaf": (0x61, [field("x", "int")], False)}

leaf = st.builds(lambda x: {"_": "leaf", "x": x}, st.integers(-2 ** 31, 2 ** 31 - 1))
rt_value = st.fixed_dictionaries({
    "i": st.integers(-2 ** 31, 2 ** 31 - 1),
    "l": st.integers(-2 ** 63, 2 ** 63 - 1),
    "d": st.floats(allow_nan=False),
    "b": st.booleans(),
    "s": st.text(max_size=300),
    "by": st.binary(max_size=300),
    "n128": st.binary(min_size=16, max_size=16),
    "n256": st.binary(min_size=32, max_size=32),
    "vl": st.lists(st.integers(-2 ** 63, 2 ** 63 - 1), max_size=5),
    "vs": st.lists(st.text(max_size=5), max_size=3),
    "vv": st.lists(st.lists(st.integers(-2 ** 31, 2 ** 31 - 1), max_size=3), max_size=3),
    "kids": st.lists(leaf, max_size=3),
}, optional={"opt": st.integers(-2 ** 63, 2 ** 63 - 1), "bare": st.booleans(), "child": leaf})


@pytest.mark.skipif(not hasattr(ext, "serialize_constructor"), reason="serializer not built")
@settings(max_examples=400, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(value=rt_value)
def test_round_trip(restore_default_schema, value):
    schema(RT_SCHEMA)
    flags = (1 if "opt" in value else 0) | (2 if value.get("bare") else 0) | (
        4 if "child" in value else 0)
    got = ext.loads(ext.serialize_constructor("rt", {**value, "flags": flags}))
    want = {"_": "rt", "flags": flags, **value, "bare": bool(value.get("bare"))}
    assert got == want
    assert list(got) == ["_"] + [f["name"] for f in RT_FIELDS if f["name"] in want]


def mutations():
    seeds = [
        ext.serialize_constructor("resPQ", {"nonce": bytes(16), "server_nonce": bytes(16),
                                            "pq": b"\x01\x02", "server_public_key_fingerprints": [1, 2]}),
        u32(0xF35C6D01) + i64(5) + u32(VEC, 2, 0x7F3B18EA, 0xDDE8A54C) + i64(1, 2),
        u32(0xAD253D78, 0x1C0, VEC, 1) + tl_bytes(b"tok") + tl_bytes("é".encode()) + u32(TRUE_ID),
        u32(0x75588B3F) + tl_bytes(b"host\xc3") + u32(443),
    ]
    return st.builds(
        lambda seed, edits, cut: bytes(_apply(bytearray(seed), edits))[:cut],
        st.sampled_from(seeds),
        st.lists(st.tuples(st.integers(0, 200), st.integers(0, 255)), max_size=4),
        st.integers(0, 300),
    ) | st.binary(max_size=64)


def _apply(buf, edits):
    for at, v in edits:
        if buf:
            buf[at % len(buf)] = v
    return buf


@settings(max_examples=10_000, deadline=None)
@given(data=mutations())
def test_random_input_only_value_error(data):
    try:
        ext.loads(data)
    except ValueError:
        pass


def max_rss_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def test_memory_steady():
    good = ext.serialize_constructor("resPQ", {"nonce": bytes(16), "server_nonce": bytes(16),
                                               "pq": b"x" * 40,
                                               "server_public_key_fingerprints": list(range(20))})
    bad = [good[:-3], u32(0x75588B3F) + tl_bytes(b"\xff") + u32(1), u32(VEC, 5, 0x7F3B18EA),
           nested_vectors(500), u32(0x12345678) + bytes(64)]
    for _ in range(2000):  # warm up allocator pools
        ext.loads(good)
    before = max_rss_kb()
    for i in range(100_000):
        if i % 2:
            ext.loads(good)
        else:
            try:
                ext.loads(bad[i % len(bad)])
            except ValueError:
                pass
    assert max_rss_kb() - before < 10 * 1024
