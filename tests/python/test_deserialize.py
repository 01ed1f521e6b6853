"""loads / deserialize_constructor: values, failures, UTF-8, flags, unknown identifiers, depth, leaks."""
import struct

import pytest
from hypothesis import given, strategies as st

import velmora.ext as ext
from conftest import (EMPTY_PEER, RPC, VEC, f, load, load_nesting_schema, nested, outcome, python_memory_growth,
                      tl_bytes, u32, u64, vec)

TRUE_ID, FALSE_ID = 0x997275B5, 0xBC799737
EOF = ValueError("unexpected eof")
pytestmark = pytest.mark.usefixtures("restore_default_schema")


def unknown(data):
    return {"_": "unknownConstructor", "cid": int.from_bytes(data[:4], "little"), "raw": data.hex()}


@pytest.mark.parametrize("type_, body, want", [
    ("#", u32(-1), 4294967295), ("int", u32(-1), -1), ("Int", u32(2**31), -(2**31)),
    ("long", u64(-2), -2), ("Long", u64(2**63), -(2**63)),
    ("double", struct.pack("<d", 1.5), 1.5), ("Double", struct.pack("<d", -0.0), -0.0),
    ("Bool", u32(TRUE_ID), True), ("Bool", u32(FALSE_ID), False), ("Bool", u32(1), False),
    ("boolTrue", u32(FALSE_ID), False), ("boolFalse", u32(TRUE_ID), True), ("true", b"", True), ("True", b"", True),
    ("int128", bytes(range(16)), bytes(range(16))), ("int256", bytes(range(32)), bytes(range(32))),
    ("bytes", bytes(4), b""), ("Bytes", b"\x03abc", b"abc"), ("bytes", tl_bytes(b"x" * 253), b"x" * 253),
    ("bytes", tl_bytes(b"y" * 254), b"y" * 254), ("bytes", tl_bytes(b"z" * 256), b"z" * 256),
    ("string", b"\x02\xc3\xa9\x00", "\u00e9"), ("String", tl_bytes("\U0001f600".encode()), "\U0001f600"),
    ("string", b"\xfe\x05\x00\x00hello\x00\x00\x00", "hello"),  # long form, short length
    ("bytes", b"\xfe\x00\x00\x00", b""),  # long form, empty, the input's last four bytes
    ("bool", u32(TRUE_ID), unknown(u32(TRUE_ID))),  # not a primitive name: an object
    ("vector<%Message>", u32(2, 0x200, 0x200), unknown(u32(2, 0x200, 0x200))),  # the count read as an id
    ("bytes", b"\xff\x00\x00\x00", ValueError("bad bytes len")), ("String", b"\xff", ValueError("bad string len")),
    ("string", b"\x01\xff", EOF),  # padding missing wins over a bad payload
    ("string", b"\x02a\xc3\x00", ValueError("utf8: incomplete utf-8 byte sequence from index 1")),
    (vec(), u32(VEC, 3, 1, -1, 3), [1, -1, 3]), (vec("long"), u32(VEC, 2) + u64(1, -1), [1, -1]),
    (vec("long", True), u32(VEC, 1) + u64(-5), [-5]),  # a primitive inner type wins over its vector flag
    (vec("double"), u32(VEC, 1) + struct.pack("<d", 0.5), [0.5]),
    (vec("Vector", True), u32(VEC, 2, VEC, 2, 1, -1, VEC, 0), [[1, -1], []]),
    (vec("string"), u32(VEC, 2) + tl_bytes(b"a") + tl_bytes(b""), ["a", ""]),
    (vec("true"), u32(VEC, 3), [True, True, True]), (vec("int128"), u32(VEC, 1) + bytes(16), [bytes(16)]),
    (vec("Peer"), u32(VEC, 2, 0x200, VEC, 1, 0x200), [{"_": "empty"}, [{"_": "empty"}]]),
    (vec("X", True), u32(VEC, 1, 1), ValueError("not a vector: 00000001")),
    (vec(), u32(0xABCDEF01), ValueError("not a vector: abcdef01")), (vec(), b"\x15\xc4\xb5", EOF),
    (vec(), u32(VEC, 1_000_001), ValueError("invalid vector count")), (vec(), u32(VEC, 1_000_000), EOF),
    ("Object", u32(0xDEAD, 7), unknown(u32(0xDEAD, 7))),
    (vec("X"), u32(VEC, 2, 0xDEAD, 7), EOF),  # an unknown identifier takes the rest of the input
])
def test_field_values(type_, body, want):
    load({"one": (0x100, [{"name": "v", **(type_ if isinstance(type_, dict) else {"type": type_})}], False),
          "empty": (0x200, [], False)})
    outcome(lambda: ext.loads(u32(0x100) + body)["v"], want)
    for cut in range(len(body)) if not isinstance(want, Exception) and "unknown" not in repr(want) else ():
        outcome(lambda: ext.loads(u32(0x100) + body[:cut])["v"], EOF)  # every value cut short ends early


def utf8_outcome(payload):
    try:
        return payload.decode()
    except UnicodeDecodeError as u:
        if u.reason == "unexpected end of data":
            return ValueError(f"utf8: incomplete utf-8 byte sequence from index {u.start}")
        return ValueError(f"utf8: invalid utf-8 sequence of {u.end - u.start} bytes from index {u.start}")


def decode_string(payload):
    return ext.loads(u32(0x75588B3F) + tl_bytes(payload) + u32(443))["address"]  # inputClientProxy


def test_utf8_edges_agree_with_cpython():
    for payload in [b"\x80", b"ab\xbf", b"\xc0\x80", b"\xc1\xbf", b"\xc2\x80", b"\xe0\x80\x80", b"\xe0\x9f\xbf",
                    b"\xe0\xa0\x80", b"\xf0\x8f\xbf\xbf", b"\xf0\x90\x80\x80", b"\xed\xa0\x80", b"\xed\x9f\xbf",
                    b"\xf4\x8f\xbf\xbf", b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xff", b"\xc3", b"\xe2\x82",
                    b"\xf0\x9f\x98", b"x\xe2\x28\xa1", b"x\xe2\x82\x28", b"\xf0\x9f\x98(", b"12345678\x80",
                    b"1234567\xc3\xa9\xc3", b"\xc3\xa9" * 10 + b"\xed\xa0\x80", b"abcdefgh\xc3\xa9",
                    b"\x7f\xff"]:
        outcome(lambda: decode_string(payload), utf8_outcome(payload))


@given(st.lists(st.one_of(st.binary(min_size=1, max_size=4), st.text(max_size=3).map(str.encode),
                          st.sampled_from([b"\xed\xa0", b"\xf4\x8f", b"\xf4\x90", b"\xe0\xa0", b"abcdefgh"])),
                max_size=12).map(b"".join))
def test_utf8_agrees_with_cpython(payload):
    outcome(lambda: decode_string(payload), utf8_outcome(payload))


def test_objects_at_object_position():
    m = ext.serialize_method("req_pq_multi", {"nonce": bytes(16)})
    cases = [(b"", EOF), (b"\x01\x02\x03", EOF), (m, unknown(m)), (u32(-1) + b"AB", unknown(u32(-1) + b"AB")),
             (u32(VEC, 0), []), (u32(VEC, 2, EMPTY_PEER, EMPTY_PEER, 99), [{"_": "inputPeerEmpty"}] * 2),
             (u32(VEC, 1, 0x99, EMPTY_PEER), [unknown(u32(0x99, EMPTY_PEER))]), (u32(VEC, 2, 0x99), EOF),
             (u32(VEC), EOF), (u32(VEC, 1_000_001, EMPTY_PEER), ValueError("invalid vector count")),
             (u32(VEC, 1_000_000), EOF), (u32(RPC) + u64(77) + u32(EMPTY_PEER) + b"tail",
                                          {"_": "rpc_result", "req_msg_id": 77, "result": {"_": "inputPeerEmpty"}})]
    for data, want in cases:
        outcome(lambda: ext.loads(data), want)
        outcome(lambda: ext.deserialize_constructor(data=data), want)


FLAGGED = [f("early", bit=0), f("early_bare", "true", 0, True), f("flags", "#"), f("a", bit=0), f("b", "long", 1),
           f("c", "true", 2, True), f("d", "Bool", 3, True), f("e", bit=4, bare=True), f("flags2", "#"),
           f("g", bit=0, group="flags2"), f("h", bit=0, group="flags1"), f("t", "true", 5)]


FLAG_CASES = [  # w0, w1, body, the fields decoded
    (0, 0, b"", {"early_bare": False, "flags": 0, "c": False, "d": False, "e": False, "flags2": 0}),
    (0b11101, 1, u32(7, 8, 9), {"early_bare": False, "flags": 0b11101, "a": 7, "c": True, "d": True, "e": True,
                                "flags2": 1, "g": 8, "h": 9}),
    (0b100011, 0, u32(7) + u64(-3) + u32(9), {"early_bare": False, "flags": 0b100011, "a": 7, "b": -3, "c": False,
                                              "d": False, "e": False, "flags2": 0, "h": 9, "t": True}),
]


@pytest.mark.parametrize("fields", [FLAGGED, FLAGGED[2:]], ids=["fields-before-flags", "flags-first"])
def test_flags(fields):
    load({"f": (0x30, fields, True), "n": (0x40, FLAGGED[2:4] + [f("x", bit=1, bare=True)], False)})
    # Each object decodes alike whatever the flags of the objects of its record before it.
    for w0, w1, body, want in [FLAG_CASES[i] for i in (0, 1, 1, 1, 2, 2, 0, 0, 1)]:
        pre = 4 * (w0 & 1) + 8 * bool(w0 & 2)  # flags2 follows the present fields of word 0
        got = ext.loads(u32(0x30, w0) + body[:pre] + u32(w1) + body[pre:] + b"trailing")
        assert list(got.items()) == [("_", "f")] + [(fd["name"], want[fd["name"]]) for fd in fields
                                                   if fd["name"] in want]
    outcome(lambda: ext.loads(u32(0x30, 1, 7)), EOF)  # flags2 missing
    # Without has_flags every field is read, whatever its flag bit.
    assert ext.loads(u32(0x40, 0, 5, 6)) == {"_": "n", "flags": 0, "a": 5, "x": 6}


@pytest.mark.parametrize("kind", ["vector", "object", "field"])
def test_nesting_bound(kind):
    load_nesting_schema()
    ext.loads(nested(kind, 99))  # 100 levels, counting the outermost
    for levels in (100, 200_000):
        outcome(lambda: ext.loads(nested(kind, levels)), ValueError("nesting too deep"))


def test_decoding_keeps_no_references():
    good = [ext.dumps({"_": "resPQ", "nonce": bytes(16), "server_nonce": bytes(16), "pq": b"\x01\x02",
                       "server_public_key_fingerprints": [1, 2**40]}),
            u32(RPC) + u64(5) + u32(VEC, 2, EMPTY_PEER, 0xDDE8A54C) + u64(1, 2),
            u32(0xAD253D78, 0x1C0, VEC, 1) + tl_bytes(b"tok") + tl_bytes("\u00e9".encode()) + u32(TRUE_ID)]

    def decode_all():
        for data in good:
            ext.loads(data)
        for bad in (good[0][:-3], u32(0x75588B3F) + tl_bytes(b"\xff") + u32(1), nested("vector", 150)):
            with pytest.raises(ValueError):
                ext.loads(bad)
    assert python_memory_growth(decode_all) < 64 * 1024
