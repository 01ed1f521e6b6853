"""The message layer: the envelope against the published known answers, read by type, unpack and pack."""
import gzip
import json
import random

import pytest
from hypothesis import given, strategies as st

import velmora
import velmora.ext as ext
from conftest import ENVELOPE_VECTORS as VECTORS, outcome, python_memory_growth, tl_bytes, u32, u64
from velmora import message

KEY = bytes.fromhex(VECTORS["cases"][0]["auth_key"])
REFUSED = {  # why the published frame is refused -> the check the message names
    "auth key id differs": "auth key id differs",
    "msg key differs (one bit)": "msg_key differs",
    "ciphertext changed (one bit)": "msg_key differs",
    "ciphertext not a multiple of 16 bytes": "frame length is not 24 plus a multiple of 16",
    "too short to hold key id, msg key and header": "frame too short for its header",
    "empty": "frame too short for its header",
    "sent by the server (x = 8) but read as from the client": "msg_key differs",
    "padding of 4 bytes (under 12)": "padding under 12 bytes",
    "padding of 1,044 bytes (over 1,024)": "padding over 1024 bytes",
    "length field past the decrypted data": "length field past the decrypted data",
    "length field negative": "length field negative",
    "length field not a multiple of 4": "length field not a multiple of 4",
}


@pytest.mark.parametrize("cls, base", [(ext._SecurityError, ValueError), (ext._HandshakeError, ext._SecurityError),
                                       (ext._FramingError, ValueError), (ext._TransportError, ConnectionError)])
def test_package_errors_derive_as_documented(cls, base):
    assert cls.__mro__[1] is base


@pytest.mark.parametrize("case", VECTORS["cases"], ids=lambda c: f"{c['sender']}-{len(c['body']) // 2}")
def test_known_answers(case):
    key, body, frame = (bytes.fromhex(case[k]) for k in ("auth_key", "body", "frame"))
    fields = [case[k] for k in ("salt", "session_id", "msg_id", "seq_no")]
    padding = bytes.fromhex(case["padding"])
    assert message.encrypt(key, *fields, body, sender=case["sender"], padding=padding) == frame
    assert message.decrypt(key, bytearray(frame), sender=case["sender"]) == message.Message(*fields, body)
    assert message.auth_key_id(key) == case["auth_key_id"]


@pytest.mark.parametrize("case", VECTORS["refusals"], ids=lambda c: c["why"])
def test_refusals_name_their_check(case):
    with pytest.raises(message.SecurityError, match=f"^{REFUSED[case['why']]}$"):
        message.decrypt(bytes.fromhex(case["auth_key"]), bytes.fromhex(case["frame"]), sender=case["sender"])


@pytest.mark.parametrize("kwargs, want", [
    ({"sender": "me"}, ValueError("sender must be 'client' or 'server', not 'me'")),
    ({"padding": 11}, ValueError("padding must be 12 to 1024 bytes and bring the message to a multiple of 16")),
    ({"padding": bytes(1040)}, ValueError("padding must be 12 to 1024 bytes and bring the message to a multiple of 16")),
    ({"body": b"abc"}, ValueError("body length must be a multiple of 4")),
    ({"auth_key": KEY[1:]}, ValueError("auth_key must be 256 bytes")),
    ({"salt": 2**64}, OverflowError("argument 'salt': out of range for 64 bits")),
    ({"seq_no": -2**31 - 1}, OverflowError("argument 'seq_no': out of range for 32 bits")),
    ({"padding": -1}, OverflowError("can't convert negative int to unsigned")),
])
def test_encrypt_refusals(kwargs, want):
    args = {"auth_key": KEY, "salt": 1, "session_id": 2, "msg_id": 3, "seq_no": 4, "body": b"abcd", **kwargs}
    outcome(lambda: message.encrypt(**args), want)


@pytest.mark.parametrize("padding, size", [(None, 24 + 32 + 4 + 12), (524, 24 + 32 + 4 + 524)])
def test_random_padding_round_trips(padding, size):
    frame = message.encrypt(KEY, -1, 2**64 - 1, 3, 4, b"abcd", padding=padding, sender="server")
    assert len(frame) == size and message.decrypt(KEY, frame) == (-1, -1, 3, 4, b"abcd")
    assert frame != message.encrypt(KEY, -1, 2**64 - 1, 3, 4, b"abcd", padding=padding, sender="server")


SELF = ext.dumps({"_": "inputPeerSelf"})
USER = ext.dumps({"_": "inputPeerUser", "user_id": 7, "access_hash": -2})
REQ = ext.serialize_method("req_pq_multi", {"nonce": bytes(range(16))})


class NoTruth:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize("data, type_, offset, methods, want", [
    (REQ, "Object", 0, NoTruth(), ZeroDivisionError("no truth")),
    (u32(0x1CB5C415, 2) + u64(1, -1), "Vector<long>", 0, False, ([1, -1], 24)),
    (b"xx" + u32(0x1CB5C415, 2, 5, -3) + b"tail", "Vector<int>", 2, False, ([5, -3], 18)),
    (u32(0x1CB5C415, 2) + SELF + USER, "Vector<Object>", 0, False,
     ([{"_": "inputPeerSelf"}, {"_": "inputPeerUser", "user_id": 7, "access_hash": -2}], 8 + 4 + 20)),
    (SELF + USER + SELF, "InputPeer", 4, False, ({"_": "inputPeerUser", "user_id": 7, "access_hash": -2}, 24)),
    (USER, "Object", 0, False, (ext.loads(USER), 20)),
    (tl_bytes(b"abc") + tl_bytes("é".encode()), "string", 4, False, ("é", 8)),
    (u32(0x997275B5) * 2, "Bool", 4, False, (True, 8)),
    (REQ, "Object", 0, True, ({"_": "req_pq_multi", "nonce": bytes(range(16))}, 20)),
    (REQ, "Object", 0, False, ({"_": "unknownConstructor", "cid": 0xBE7E8EF1, "raw": REQ.hex()}, 20)),
    (u32(5), "int", 4, False, ValueError("unexpected eof")), (u32(5), "#", 2, False, ValueError("unexpected eof")),
    (u32(5), "int", 5, False, ValueError("offset out of range")),
    (u32(5), "int", -1, False, ValueError("offset out of range")),
    (u32(0x1CB5C416, 0), "Vector<long>", 0, False, ValueError("not a vector: 1cb5c416")),
    (u32(5), "Vector<Vector<long>>", 0, False, ValueError("type not readable: Vector<Vector<long>>")),
    (u32(5), "Vector<", 0, False, ValueError("type not readable: Vector<")),
    (u32(5), 5, 0, False, TypeError("argument 'type': 'int' object cannot be converted to 'PyString'")),
])
def test_read(data, type_, offset, methods, want):
    outcome(lambda: velmora.read(memoryview(data), type_, offset=offset, methods=methods), want)


RESULTS = {"constructors": {
    "rpc_error": {"cid": 0x2144CA19, "fields": [["error_code", "int"], ["error_message", "string"]]},
    "inputPeerSelf": {"cid": 0x7DA07EC9, "fields": []}},
    "methods": {name: {"cid": i, "fields": [], "result": result} for i, (name, result) in enumerate(
        [("ids", "Vector<long>"), ("ints", "Vector<int>"), ("objs", "Vector<Object>"), ("peer", "InputPeer"),
         ("no_result", 5)])} | {"invokeWithLayer": {"cid": 0xDA9B0D0D, "fields": [], "result": "Vector<long>"}}}
ERROR = u32(0x2144CA19, 420) + tl_bytes(b"FLOOD")
VEC = u32(0x1CB5C415, 2, 1, 2, 3, 4)


def rpc(req, result):
    return u32(0xF35C6D01) + u64(req) + result


def container(*bodies):
    return u32(0x73F1F8DC, len(bodies)) + b"".join(u64(10 + i) + u32(2 * i, len(b)) + b for i, b in enumerate(bodies))


@pytest.mark.parametrize("body, want", [
    (rpc(1, VEC), [(9, 1, {"_": "rpc_result", "req_msg_id": 1, "result": [1 + 2**33, 3 + 2**34]})]),
    (rpc(2, VEC), [(9, 1, {"_": "rpc_result", "req_msg_id": 2, "result": [1, 2]})]),
    (rpc(3, u32(0x1CB5C415, 1) + SELF), [(9, 1, {"_": "rpc_result", "req_msg_id": 3, "result": [{"_": "inputPeerSelf"}]})]),
    (rpc(4, SELF), [(9, 1, {"_": "rpc_result", "req_msg_id": 4, "result": {"_": "inputPeerSelf"}})]),
    (rpc(1, ERROR), [(9, 1, {"_": "rpc_result", "req_msg_id": 1,
                             "result": {"_": "rpc_error", "error_code": 420, "error_message": "FLOOD"}})]),
    (rpc(5, SELF), [(9, 1, {"_": "rpc_result", "req_msg_id": 5, "result": {"_": "inputPeerSelf"}})]),
    (rpc(6, SELF), [(9, 1, {"_": "rpc_result", "req_msg_id": 6, "result": {"_": "inputPeerSelf"}})]),
    (rpc(1, message.gzip(VEC)), [(9, 1, {"_": "rpc_result", "req_msg_id": 1, "result": [1 + 2**33, 3 + 2**34]})]),
    (message.gzip(rpc(2, VEC)), [(9, 1, {"_": "rpc_result", "req_msg_id": 2, "result": [1, 2]})]),
    (container(SELF, message.gzip(rpc(2, VEC)), ERROR),
     [(10, 0, {"_": "inputPeerSelf"}), (11, 2, {"_": "rpc_result", "req_msg_id": 2, "result": [1, 2]}),
      (12, 4, {"_": "rpc_error", "error_code": 420, "error_message": "FLOOD"})]),
    (message.gzip(container(SELF)), [(10, 0, {"_": "inputPeerSelf"})]),
    (container(container(SELF)), ValueError("container inside a container")),
    (container(message.gzip(container(SELF))), ValueError("container inside a container")),
    (container(SELF)[:-1], ValueError("message runs past its container")),
    (container(SELF) + b"\0" * 4, ValueError("bytes after the last message of a container")),
    (message.gzip(bytes(4096)), ValueError("gzip_packed inflates past max_inflated")),
    (container(SELF, b"\0\0"), ValueError("message length in a container not a multiple of 4")),
    # What does not decode stands in its place; the rest of the container decodes.
    *[(body, [(9, 1, {"_": "undecoded", "raw": body, "error": error})]) for body, error in [
        (u32(0x3072CFA1) + tl_bytes(b"\x1f\x8b\x08\x00" + bytes(12)), "gzip_packed holds a corrupt gzip stream"),
        (rpc(1, u32(0x3072CFA1) + tl_bytes(bytes(16))), "gzip_packed holds a corrupt gzip stream"),
        (message.gzip(message.gzip(SELF)), "gzip_packed inside gzip_packed"),
        (rpc(1, message.gzip(message.gzip(SELF))), "gzip_packed inside gzip_packed"),
        (u32(0xF35C6D01, 1), "unexpected eof"),
        (rpc(2, u32(0x1CB5C415, 3, 1)), "unexpected eof"),
        (b"", "unexpected eof"),
        (u32(0x2144CA19, 1, 0x10), "unexpected eof")]],
    (container(SELF, rpc(1, VEC[:-4]), b"", ERROR),
     [(10, 0, {"_": "inputPeerSelf"}), (11, 2, {"_": "undecoded", "raw": rpc(1, VEC[:-4]), "error": "unexpected eof"}),
      (12, 4, {"_": "undecoded", "raw": b"", "error": "unexpected eof"}),
      (13, 6, {"_": "rpc_error", "error_code": 420, "error_message": "FLOOD"})]),
    # A wrapper named: decoded by its query's method when pending holds the request itself.
    (rpc(7, VEC), [(9, 1, {"_": "rpc_result", "req_msg_id": 7, "result": [1 + 2**33, 3 + 2**34]})]),
    (rpc(8, SELF), [(9, 1, {"_": "rpc_result", "req_msg_id": 8, "result": {"_": "inputPeerSelf"}})]),
    # Service messages by their layouts, whatever the schema; the bare vector<future_salt>.
    (u32(0xAE500895) + u64(3) + u32(1700000000, 2, 10, 20) + u64(5) + u32(30, 40) + u64(2**64 - 1),
     [(9, 1, {"_": "future_salts", "req_msg_id": 3, "now": 1700000000, "salts": [
         {"_": "future_salt", "valid_since": 10, "valid_until": 20, "salt": 5},
         {"_": "future_salt", "valid_since": 30, "valid_until": 40, "salt": -1}]})]),
    (u32(0x9EC20908) + u64(1) + u64(2) + u64(3),
     [(9, 1, {"_": "new_session_created", "first_msg_id": 1, "unique_id": 2, "server_salt": 3})]),
])
def test_unpack(body, want, restore_default_schema):
    ext.load_schema(json.dumps(RESULTS))
    pending = {1: "ids", 2: "ints", 3: "objs", 4: "peer", 5: "no_result", 6: "unknown",
               7: u32(0xDA9B0D0D, 144, 0xBF9459B7, 0) + b"extra", 8: "invokeWithLayer"}
    outcome(lambda: message.unpack(9, 1, body, pending=pending, max_inflated=4095), want)


@pytest.mark.parametrize("call, want", [
    (lambda: message.pack_container([]), ValueError("no messages to pack")),
    (lambda: message.pack_container([(1, 1, b"abc")]), ValueError("body length must be a multiple of 4")),
    (lambda: message.pack_container([(1, 1, container(SELF))]), ValueError("container inside a container")),
    (lambda: message.gzip(b"abcde"), ValueError("body length must be a multiple of 4")),
    (lambda: message.unpack(1, 2**32, SELF), OverflowError("argument 'seq_no': out of range for 32 bits")),
    (lambda: message.unpack(1, 1, SELF, max_inflated=-1), OverflowError("can't convert negative int to unsigned")),
    (lambda: message.unpack(1, 1, SELF, pending=[1]), TypeError("cannot convert dictionary update sequence "
                                                                "element #0 to a sequence")),
])
def test_pack_refusals(call, want):
    outcome(call, want)


PEERS = st.builds(lambda i, h: {"_": "inputPeerUser", "user_id": i, "access_hash": h},
                  st.integers(-2**63, 2**63 - 1), st.integers(-2**63, 2**63 - 1)) | st.just({"_": "inputPeerSelf"})


@given(st.lists(st.tuples(st.integers(0, 2**63 - 1), st.integers(0, 2**31 - 1), PEERS, st.booleans()), min_size=1))
def test_unpack_of_pack_round_trips(messages):
    packed = message.pack_container((i, s, message.gzip(ext.dumps(o)) if z else ext.dumps(o)) for i, s, o, z in messages)
    assert message.unpack(0, 0, packed) == [(i, s, o) for i, s, o, _ in messages]


@pytest.mark.parametrize("extra, fits", [(0, True), (4, False)])
def test_by_default_8_mib_inflate(extra, fits):  # resPQ's pq fills 8 MiB to the byte
    res_pq = ext.dumps({"_": "resPQ", "nonce": bytes(16), "server_nonce": bytes(16), "pq": bytes((8 << 20) - 48),
                        "server_public_key_fingerprints": []}) + bytes(extra)
    outcome(lambda: message.unpack(1, 1, message.gzip(res_pq))[0][2]["_"],
            "resPQ" if fits else ValueError("gzip_packed inflates past max_inflated"))


def test_unpack_inflates_across_zlibs_whole_window():  # 20,000 bytes back, across a 64 KiB output step
    res_pq = {"_": "resPQ", "nonce": bytes(16), "server_nonce": bytes(16),
              "pq": random.Random(30).randbytes(20000) * 5, "server_public_key_fingerprints": []}
    packed = u32(0x3072CFA1) + tl_bytes(gzip.compress(ext.dumps(res_pq)))
    assert message.unpack(1, 1, packed) == [(1, 1, res_pq)]


def test_no_growth_over_many_calls():
    frame = message.encrypt(KEY, 1, 2, 3, 4, bytes(64), sender="server")
    body = container(SELF, message.gzip(rpc(2, SELF)))
    for call in (lambda: message.decrypt(KEY, frame), lambda: message.unpack(1, 1, body, pending={2: "x"}),
                 lambda: pytest.raises(message.SecurityError, message.decrypt, KEY, frame[:-16]),
                 lambda: pytest.raises(ValueError, message.unpack, 1, 1, body[:-1])):
        assert python_memory_growth(call) < 4096
