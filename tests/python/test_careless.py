"""Careless input, caught: each refusal names where the fault is (key, line and column, path,
offset) and, for a misspelt name, the names it was probably meant to be."""
import json
import warnings

import pytest

import velmora
import velmora.ext as ext
from conftest import PUBLISHED_TL, outcome, u32, u64
from velmora import tlschema

TOGGLE, TRUE = 0x1B7907AE, 0x997275B5  # channelAdminLogEventActionToggleInvites new_value:Bool; boolTrue
INPUT_USER = u32(0xF21158C6) + u64(1, 2)  # inputUser user_id access_hash, an InputUser


@pytest.fixture(scope="module", autouse=True)
def published_schema():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ext.load_schema(tlschema.convert(PUBLISHED_TL["mtproto.tl"], PUBLISHED_TL["api.tl"]))
    yield
    ext.load_schema(velmora.default_schema())


def doc(fields, kind="methods"):  # the values' columns: flag_bit's is 54 (methods) or 74 (constructors)
    return json.dumps({"methods": {}, kind: {"r": {"cid": 1, "fields": fields, "has_flags": True}}})


E, S = ValueError, "schema parsing failed: "
PEER = "messages.getPeerSettings"
CASES = [
    (lambda: ext.load_schema(doc([{"flag_bit": 40, "name": "x", "type": "int"}])), E(
        S + 'invalid value: integer 40 for key "flag_bit" of field "x" in method "r", expected an integer from 0 to 31'
        " or null at line 1 column 54")),
    (lambda: ext.load_schema(doc([["x", "int", -1]], "constructors")), E(
        S + 'invalid value: integer -1 for key "flag_bit" of field "x" in constructor "r", expected an integer from 0'
        " to 31 or null at line 1 column 74")),
    (lambda: ext.load_schema('{"layer": 1, "constructors": {}}'), E(S + 'missing key "methods" in struct SchemaInput at line 1 column 32')),
    (lambda: ext.load_schema('{"layer": 1, "methods": []}'),
     E(S + 'invalid type: array for key "methods", expected an object of struct TlMethod at line 1 column 25')),
    (lambda: velmora.read(u32(1), "INT"), E("unknown type: INT (did you mean int?)")),
    (lambda: velmora.read(u32(1), "in"), E("unknown type: in (did you mean int?)")),
    (lambda: velmora.read(u32(1), "Vector<lng>"), E("unknown type: lng (did you mean long, Pong, int?)")),
    (lambda: velmora.read(u64(5, 7), "inputPeerUser"), ({"_": "inputPeerUser", "user_id": 5, "access_hash": 7}, 16)),
    (lambda: velmora.serialize_method(PEER, {"peer": b"abc"}),
     E(PEER + ":peer: ready-made bytes must be a non-empty multiple of 4 bytes, got 3")),
    (lambda: velmora.serialize_method(PEER, {"peer": b""}),
     E(PEER + ":peer: ready-made bytes must be a non-empty multiple of 4 bytes, got 0")),
    (lambda: velmora.serialize_method(PEER, {"peer": INPUT_USER}), E(PEER + ":peer: InputPeer expected, got inputUser of type InputUser")),
    (lambda: velmora.serialize_method("messages.sendMesage", {}),
     E("unknown method: messages.sendMesage (did you mean messages.sendMessage, messages.sendMedia?)")),
    (lambda: velmora.serialize_method("inputPeerUser", {}),
     E("unknown method: inputPeerUser (a constructor, not a method: serialize_constructor encodes it)")),
    (lambda: velmora.serialize_constructor("messages.sendMessage", {}),
     E("unknown constructor: messages.sendMessage (a method, not a constructor: serialize_method encodes it)")),
    (lambda: velmora.dumps({"_": "inputPeerUsr"}), E("unknown constructor inputPeerUsr (did you mean inputPeerUser?)")),
    (lambda: ext.serialize_method("messages.sendMesage", {}), E("unknown method: messages.sendMesage")),
    (lambda: velmora.loads(u32(TOGGLE, 5)), E("Bool expected, got #00000005 at offset 4")),
    (lambda: velmora.read(u32(7), "Bool"), E("Bool expected, got #00000007 at offset 0")),
    (lambda: velmora.read(u32(7), "Bool", strict=False), (False, 4)),
    (lambda: velmora.loads(u32(TOGGLE, TRUE, 0)), E("4 bytes after the object at offset 8")),
    (lambda: velmora.loads(bytearray(u32(TOGGLE, TRUE, 0)), strict=False), {"_": "channelAdminLogEventActionToggleInvites", "new_value": True}),
    (lambda: velmora.read(memoryview(u32(0, 9)), "int", offset=4), (9, 8)),
    (lambda: velmora.loads(memoryview(bytes(16))[::2]), TypeError("argument 'data': 'memoryview' object cannot be converted to 'PyBytes'")),
]


@pytest.mark.parametrize("call, want", CASES)
def test_careless_input_is_refused_where_it_is(call, want):
    outcome(call, want)
