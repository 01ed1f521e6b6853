"""Careless input, caught: each refusal names where the fault is (key, line and column, path,
offset) and, for a misspelt name, the names it was probably meant to be."""
import json
import warnings

import pytest

import velmora
import velmora.ext as ext
from conftest import PUBLISHED_TL, u32, u64
from velmora import tlschema

TOGGLE = 0x1B7907AE  # channelAdminLogEventActionToggleInvites new_value:Bool
BOOL_TRUE, BOOL_FALSE = 0x997275B5, 0xBC799737
INPUT_USER = u32(0xF21158C6) + u64(1, 2)  # inputUser user_id access_hash, an InputUser


@pytest.fixture(scope="module", autouse=True)
def published_schema():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ext.load_schema(tlschema.convert(PUBLISHED_TL["mtproto.tl"], PUBLISHED_TL["api.tl"]))
    yield
    ext.load_schema(velmora.default_schema())


def _doc(fields, kind="methods"):
    return json.dumps({"methods": {}, kind: {"r": {"cid": 1, "fields": fields, "has_flags": True}}})  # at the value


FLAG_40 = [{"flag_bit": 40, "name": "x", "type": "int"}]
FLAG_NEG = [["x", "int", -1]]
REFUSED = [
    # Schema documents: a flag bit outside the word, and faults reported at their own key.
    (lambda: ext.load_schema(_doc(FLAG_40)), 'integer 40 for key "flag_bit" of field "x" in method "r",'
     " expected an integer from 0 to 31 or null at line 1 column 54"),
    (lambda: ext.load_schema(_doc(FLAG_NEG, "constructors")), 'integer -1 for key "flag_bit" of field "x"'
     ' in constructor "r", expected an integer from 0 to 31 or null at line 1 column 74'),
    (lambda: ext.load_schema('{"layer": 1, "constructors": {}}'),
     'missing key "methods" in struct SchemaInput at line 1 column 32'),
    (lambda: ext.load_schema('{"layer": 1, "methods": []}'),
     'invalid type: array for key "methods", expected an object of struct TlMethod at line 1 column 25'),
    # velmora.read: type names checked, with the closest known ones.
    (lambda: velmora.read(u32(1), "INT"), "unknown type: INT (did you mean int?)"),
    (lambda: velmora.read(u32(1), "in"), "unknown type: in (did you mean int?)"),
    (lambda: velmora.read(u32(1), "Vector<lng>"), "unknown type: lng (did you mean long"),
    (lambda: velmora.read(u32(1), "Useer"), "unknown type: Useer (did you mean User"),
    # The strict encoder's ready-made bytes.
    (lambda: velmora.serialize_method("messages.getPeerSettings", {"peer": b"abc"}),
     "messages.getPeerSettings:peer: ready-made bytes must be a non-empty multiple of 4 bytes, got 3"),
    (lambda: velmora.serialize_method("messages.getPeerSettings", {"peer": b""}),
     "messages.getPeerSettings:peer: ready-made bytes must be a non-empty multiple of 4 bytes, got 0"),
    (lambda: velmora.serialize_method("messages.getPeerSettings", {"peer": INPUT_USER}),
     "messages.getPeerSettings:peer: InputPeer expected, got inputUser of type InputUser"),
    # Names: the closest ones, or what the name is.
    (lambda: velmora.serialize_method("messages.sendMesage", {}),
     "unknown method: messages.sendMesage (did you mean messages.sendMessage"),
    (lambda: velmora.serialize_method("inputPeerUser", {}),
     "unknown method: inputPeerUser (a constructor, not a method"),
    (lambda: velmora.serialize_constructor("messages.sendMessage", {}),
     "unknown constructor: messages.sendMessage (a method, not a constructor"),
    (lambda: velmora.dumps({"_": "inputPeerUsr"}), "unknown constructor inputPeerUsr (did you mean inputPeerUser"),
    (lambda: ext.serialize_method("messages.sendMesage", {}), "unknown method: messages.sendMesage"),
    # Strict decoding: a Bool that is neither identifier, bytes after the object.
    (lambda: velmora.loads(u32(TOGGLE, 5)), "Bool expected, got #00000005 at offset 4"),
    (lambda: velmora.read(u32(7), "Bool"), "Bool expected, got #00000007 at offset 0"),
    (lambda: velmora.loads(u32(TOGGLE, BOOL_TRUE, 0)), "4 bytes after the object at offset 8"),
]


@pytest.mark.parametrize("call, message", REFUSED)
def test_careless_input_is_refused_where_it_is(call, message):
    with pytest.raises(ValueError) as e:
        call()
    text = str(e.value).removeprefix("schema parsing failed: invalid value: ")
    assert text.removeprefix("schema parsing failed: ").startswith(message) and text.count("(") <= 1


ACCEPTED = [
    (lambda: velmora.read(u64(5, 7), "inputPeerUser"), ({"_": "inputPeerUser", "user_id": 5, "access_hash": 7}, 16)),
    (lambda: velmora.read(u32(BOOL_FALSE), "Bool"), (False, 4)),
    (lambda: velmora.read(u32(7), "Bool", strict=False), (False, 4)),
    (lambda: velmora.loads(u32(TOGGLE, 5), strict=False), lambda: ext.loads(u32(TOGGLE, 5))),
    (lambda: velmora.loads(u32(TOGGLE, BOOL_TRUE, 0), strict=False), {"_": "channelAdminLogEventActionToggleInvites",
                                                                    "new_value": True}),
    (lambda: velmora.loads(bytearray(u32(TOGGLE, BOOL_TRUE))), lambda: velmora.loads(memoryview(u32(TOGGLE, BOOL_TRUE)))),
    (lambda: velmora.read(memoryview(u32(0, 9)), "int", offset=4), (9, 8)),
]


@pytest.mark.parametrize("call, want", ACCEPTED)
def test_what_strictness_leaves_alone(call, want):
    assert call() == (want() if callable(want) else want)


@pytest.mark.parametrize("call", [lambda f: velmora.loads(f), lambda f: velmora.read(f, "int")])
def test_bytes_like_means_c_contiguous(call):
    with pytest.raises(TypeError, match="'memoryview' object cannot be converted to 'PyBytes'"):
        call(memoryview(bytes(16))[::2])
