"""The key exchange against handshake.json's independent answers, and against a server written here."""
import copy
import hashlib
import json
import pickle
import re
import struct

import pytest

# make test-pythons: an interpreter cryptography publishes no wheel for.
pytest.importorskip("cryptography", reason="cryptography has no wheel for this interpreter")
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from hypothesis import given, settings, strategies as st

import velmora.ext as ext
from conftest import ROOT, outcome, python_memory_growth
from velmora import handshake, message

V = json.loads((ROOT / "tests" / "vectors" / "handshake.json").read_text())
TEST_KEY = (int(V["rsa_test_key"]["n"], 16), V["rsa_test_key"]["e"])
RFC3526 = next(int(c["p"], 16) for c in V["dh_params"] if c["note"].startswith("RFC 3526 group 14"))


def be(n):
    return n.to_bytes((n.bit_length() + 7) // 8, "big")


def replay(draws):
    left = [bytes.fromhex(d) for d in draws]
    return lambda n: left.pop(0) if left and len(left[0]) == n else b""


def pem(n, e):
    return rsa.RSAPublicNumbers(e, n).public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.PKCS1).decode()


@pytest.mark.parametrize("pq, want", [(c["pq"], (c["p"], c["q"])) for c in V["factorize"]] + [
    (c["pq"], ValueError(c["why"])) for c in V["factorize_refused"]] + [(-6, ValueError("negative")),
                                                                        (4294967291**2, (4294967291,) * 2)])
def test_factorize(pq, want):
    if isinstance(want, ValueError):
        with pytest.raises(ValueError, match=re.escape(str(want))):
            handshake.factorize(pq)
    else:
        assert handshake.factorize(pq) == want


@pytest.mark.parametrize("key", [V["rsa_test_key"], *V["rsa_server_keys"]], ids=lambda k: str(k["fingerprint"]))
def test_fingerprints(key):
    n = int(key["n"], 16)
    assert handshake.rsa_fingerprint(n, key["e"]) == key["fingerprint"]
    assert ext._rsa_pem(pem(n, key["e"]).encode()) == (be(n), be(key["e"]))


@pytest.mark.parametrize("case", V["rsa_pad"], ids=lambda c: str(len(c["data"]) // 2))
def test_rsa_pad(case):
    draws = ([case["padding"]] if case["padding"] else []) + case["temp_keys"]
    got = handshake.rsa_pad(bytes.fromhex(case["data"]), *TEST_KEY, rand=replay(draws))
    assert got.hex() == case["encrypted_data"]


DH_CASES = [(c["p"], c["g"], RFC3526 >> 1, c["verdict"]) for c in V["dh_params"]] + [
    (V["g_range"]["p"], 3, int(c["value"], 16), "ok" if c["ok"] else "g_a out of range") for c in V["g_range"]["cases"]]


@pytest.mark.parametrize("p, g, g_a, want", DH_CASES, ids=[f"{i}-{c[3]}" for i, c in enumerate(DH_CASES)])
def test_dh_checks(p, g, g_a, want):
    assert (ext._dh_check(be(int(p, 16)), g, be(g_a) or b"\0") or "ok") == want


@pytest.mark.parametrize("case", V["plain"], ids=lambda c: str(c["msg_id"]))
def test_plain(case):
    frame, body = bytes.fromhex(case["frame"]), bytes.fromhex(case["body"])
    assert message.plain(case["msg_id"], body) == frame
    assert message.unplain(frame) == (case["msg_id"], body)
    for bad, why in [(b"\1" + frame[1:], "auth key id not zero"), (frame + b"\0" * 4, "length field differs"),
                     (frame[:19], "shorter than 20")]:
        with pytest.raises(message.SecurityError, match=why):
            message.unplain(bad)


def exchange(x, key=TEST_KEY):
    hs = handshake.Handshake([key], dc=x.get("dc", 2), expires_in=x.get("expires_in"),
                             rand=replay(x["client_random"]), clock=lambda: x.get("clock", 0))
    assert hs.start().hex() == x["requests"][0]
    for i, reply in enumerate(x["replies"][:-1]):
        assert hs.receive(bytes.fromhex(reply)).hex() == x["requests"][i + 1]
    return hs


@pytest.mark.parametrize("x, key", [(x, TEST_KEY) for x in V["exchanges"]] + [(V["exchanges"][0], pem(*TEST_KEY))],
                         ids=lambda v: v["label"] if isinstance(v, dict) else "")
def test_known_exchanges(x, key):
    hs = exchange(x, key)
    got = hs.receive(bytes.fromhex(x["replies"][-1]))
    expires = None if x["expires_in"] is None else x["clock"] + x["expires_in"]
    assert got == (bytes.fromhex(x["auth_key"]), x["auth_key_id"], x["server_salt"], x["time_offset"], expires)
    outcome(lambda: hs.receive(b""), RuntimeError("exchange already finished"))


@pytest.mark.parametrize("x", V["refusals"], ids=lambda x: x["label"])
def test_refusals(x):
    hs = exchange(x)
    outcome(lambda: hs.receive(bytes.fromhex(x["replies"][-1])), handshake.HandshakeError(x["why"]))
    outcome(lambda: hs.receive(bytes.fromhex(x["replies"][-1])),
            handshake.HandshakeError("exchange ended by an earlier refusal"))


def test_misuse():
    x = V["exchanges"][0]
    hs = handshake.Handshake([TEST_KEY], dc=2, rand=replay(x["client_random"]))
    outcome(lambda: hs.receive(b""), RuntimeError("start() not called yet"))
    hs.start()
    outcome(hs.start, RuntimeError("start() already called"))
    for copier in (copy.copy, copy.deepcopy, pickle.dumps):
        for obj in (hs, hs._state):
            with pytest.raises(TypeError, match="cannot copy or pickle"):
                copier(obj)
    outcome(lambda: hs.receive(b"\0" * 3), handshake.HandshakeError("answer does not decode"))
    short = handshake.Handshake([TEST_KEY], dc=2, rand=lambda n: b"1")
    outcome(short.start, ValueError("rand(n) must return n bytes"))
    outcome(short.start, handshake.HandshakeError("exchange ended by an earlier refusal"))
    for keys, want in [([(3, 65537)], ValueError("RSA modulus not 2048 bits")), (["junk"], ValueError("not an RSA"
                       " public key in PEM")), (pem(*TEST_KEY), TypeError("not one key")), ([1], TypeError(handshake._NOT_A_KEY))]:
        with pytest.raises(type(want), match=re.escape(str(want))):
            handshake.Handshake(keys, dc=1)


# ---- A server written here, its key from cryptography: both sides end with one key ----
PRIVATE = rsa.generate_private_key(65537, 2048)
PRIMES = sorted(p for c in V["factorize"] for p in (c["p"], c["q"]) if 2**24 <= p < 2**32)  # 4-byte p and q


def tl_string(b):
    head = bytes([len(b)]) if len(b) < 254 else b"\xfe" + len(b).to_bytes(3, "little")
    return head + b + b"\0" * (-(len(head) + len(b)) % 4)


def sha1(*parts):
    return hashlib.sha1(b"".join(parts)).digest()


def tmp_aes(new_nonce, server_nonce):
    a, b, c = sha1(new_nonce, server_nonce), sha1(server_nonce, new_nonce), sha1(new_nonce, new_nonce)
    return a + b[:12], b[12:] + c + new_nonce[:4]


def nonce_hash(new_nonce, auth_key, which):
    return sha1(new_nonce, bytes([which]), sha1(auth_key)[:8])[4:20]


class Server:
    def __init__(self, draw, g, retries):
        self.draw, self.g, self.retries, self.a = draw, g, retries, draw(2**2000, 2**2040)
        self.auth_key = None

    def res_pq(self, req):
        self.nonce, self.server_nonce = req[4:20], self.draw(0, 2**128 - 1).to_bytes(16, "little")
        pq = PRIMES[self.draw(0, len(PRIMES) - 1)] * PRIMES[self.draw(0, len(PRIMES) - 1)]
        fps = struct.pack("<Iiqq", 0x1CB5C415, 2, 1234, handshake.rsa_fingerprint(*self.public()))
        return struct.pack("<I", 0x05162463) + self.nonce + self.server_nonce + tl_string(be(pq)) + fps

    def public(self):
        numbers = PRIVATE.public_key().public_numbers()
        return numbers.n, numbers.e

    def dh_params(self, req):
        encrypted = int.from_bytes(req[-256:], "big")
        kae = pow(encrypted, PRIVATE.private_numbers().d, PRIVATE.public_key().public_numbers().n).to_bytes(256, "big")
        temp_key = bytes(x ^ y for x, y in zip(kae[:32], hashlib.sha256(kae[32:]).digest()))
        with_hash = ext.aes_ige_dec(kae[32:], temp_key, b"\0" * 32)
        padded = with_hash[:192][::-1]
        assert hashlib.sha256(temp_key + padded).digest() == with_hash[192:]
        self.new_nonce = padded[64:96]
        self.key, self.iv = tmp_aes(self.new_nonce, self.server_nonce)
        inner = struct.pack("<I", 0xB5890DBA) + self.nonce + self.server_nonce + struct.pack("<i", self.g) + \
            tl_string(be(RFC3526)) + tl_string(be(pow(self.g, self.a, RFC3526))) + struct.pack("<i", 1765000000)
        answer = sha1(inner) + inner
        answer += b"\0" * (-len(answer) % 16)
        return struct.pack("<I", 0xD0E8075C) + self.nonce + self.server_nonce + \
            tl_string(ext.aes_ige_enc(answer, self.key, self.iv))

    def dh_gen(self, req):
        plain = ext.aes_ige_dec(req[40:40 + 336], self.key, self.iv)
        assert plain[:20] == sha1(plain[20:324])
        assert plain[56:64] == (sha1(self.auth_key)[:8] if self.auth_key else b"\0" * 8)  # retry_id
        self.auth_key = pow(int.from_bytes(plain[68:68 + 256], "big"), self.a, RFC3526).to_bytes(256, "big")
        retry = self.retries > 0
        self.retries -= 1
        return struct.pack("<I", 0x46DC1FB9 if retry else 0x3BCBF734) + self.nonce + self.server_nonce + \
            nonce_hash(self.new_nonce, self.auth_key, 2 if retry else 1)


@settings(max_examples=8)
@given(st.data(), st.sampled_from([2, 3, 4, 5, 6, 7]), st.integers(0, 2))
def test_both_sides_end_with_one_key(data, g, retries):
    server = Server(lambda lo, hi: data.draw(st.integers(lo, hi)), g, retries)
    hs = handshake.Handshake([server.public()], dc=1)
    got = hs.receive(server.dh_gen(hs.receive(server.dh_params(hs.receive(server.res_pq(hs.start()))))))
    while retries:
        retries -= 1
        got = hs.receive(server.dh_gen(got))
    assert got.key == server.auth_key and got.key_id == int.from_bytes(sha1(server.auth_key)[12:], "little")
    assert got.server_salt == struct.unpack("<q", bytes(x ^ y for x, y in zip(server.new_nonce[:8], server.server_nonce)))[0]


def test_no_growth_over_many_exchanges():
    x = V["exchanges"][0]

    def once():
        hs = exchange(x)
        hs.receive(bytes.fromhex(x["replies"][-1]))
    assert python_memory_growth(once, rounds=50) < 4096
