"""Soak: a million mixed calls of every function, successes and failures.

Each round makes one call from a fixed table that covers all sixteen functions and every way a call
can fail (binding, argument conversion, bad values, failed authentication, schema parsing, encoding
and decoding), and checks its result or exception class; one of them swaps the schema (converted from
TL text) and back. The peak resident size is taken after the first tenth of the calls (allocator pools
warm) and at the end; it must grow by less than 10 MB.

Run: make soak   (SOAK_CALLS overrides the number of calls; `make test` makes each call once with
every interpreter found, so that one the abi3 library does not load on fails the build)
"""
import json
import os
import pathlib
import platform
import resource
import sys
import time

import velmora.ext as ext
from velmora import crypto, handshake, session, tlschema, transport

KEY, IV, NONCE, DATA = bytes(range(32)), bytes(range(32, 64)), bytes(12), bytes(range(256)) * 4
IGE_CT = ext.aes_ige_enc(DATA, KEY, IV)
SEALED = ext.aes_gcm_encrypt(KEY, NONCE, b"payload", b"aad")
SMALL_DOC = tlschema.convert("// LAYER 1\npoint#11223344 x:int = Point;")
DEFAULT_DOC = (pathlib.Path(__file__).resolve().parents[2] / "src" / "schema" / "default_schema.json").read_text()
DEFAULT_SUMMARY = {"layer": 0, "methods": 21, "constructors": 27}
USER, SELF_REF = {"_": "inputPeerUser", "user_id": 7, "access_hash": -5}, {"_": "inputPeerUser"}
SELF_REF["user_id"] = SELF_REF
RES_PQ = {"_": "resPQ", "nonce": bytes(16), "server_nonce": bytes(range(16)), "pq": b"\x17\xed" * 4,
          "server_public_key_fingerprints": list(range(-5, 20))}
USER_BYTES, RES_PQ_BYTES = ext.dumps(USER), ext.dumps(RES_PQ)
CTR_CT = crypto.Ctr(KEY, IV[:16]).update(DATA)
KEX = json.loads((pathlib.Path(__file__).resolve().parents[1] / "vectors" / "handshake.json").read_text())
KEX_KEY = [(int(KEX["rsa_test_key"]["n"], 16), KEX["rsa_test_key"]["e"])]


def exchange(last_answer_flip):
    """The known answers' first exchange replayed whole: its key id, or its refusal when the last
    answer has a byte flipped."""
    ex = KEX["exchanges"][0]
    draws = [bytes.fromhex(d) for d in ex["client_random"]]
    answers = [bytes.fromhex(a) for a in ex["replies"]]
    answers[-1] = answers[-1][:-1] + bytes([answers[-1][-1] ^ last_answer_flip])
    hs = handshake.Handshake(KEX_KEY, dc=2, rand=lambda k: draws.pop(0), clock=lambda: 1765000123)
    body = hs.start()
    while isinstance(body, bytes):
        body = hs.receive(answers.pop(0))
    return body.key_id


def transport_round(codec_type, obfuscated):
    """Two packets from a new client to its server: codecs (and streams) made and dropped."""
    client = transport.Obfuscated(codec_type()) if obfuscated else codec_type()
    server = transport.Obfuscated.accept(client.start())[2] if obfuscated else codec_type()
    return server.feed(client.pack(DATA) + client.pack(DATA[:64]))


UNINDEXABLE = type("Unindexable", (), {"__index__": lambda self: {}["no index"]})()  # raises KeyError


# (the result, or the exception class, expected; the function; its arguments)
CALLS = [
    (DEFAULT_SUMMARY, ext.schema_info), (ValueError, ext.load_schema, '{"layer": 5}'),
    # Another schema and the default one back: both parse, index and compile tables, and release them again.
    (DEFAULT_SUMMARY, lambda: ext.load_schema(SMALL_DOC) and ext.load_schema(DEFAULT_DOC)),
    (ValueError, ext.load_schema, "[" * 200), (TypeError, ext.load_schema, b"{}"), (RES_PQ_BYTES, ext.dumps, RES_PQ),
    (USER_BYTES, ext.serialize_constructor, "inputPeerUser", {"user_id": 7, "access_hash": -5}),
    (bytes.fromhex("f18e7ebe") + bytes(16), ext.serialize_method, "req_pq_multi", {"nonce": bytes(16)}),
    (ValueError, ext.dumps, SELF_REF), (ValueError, ext.serialize_method, "noSuchMethod", {}),
    (ValueError, ext.serialize_constructor, "inputPeerUser", {"user_id": "x", "access_hash": 1}),
    (TypeError, lambda: ext.serialize_constructor("inputPeerUser", {}, name="x")),
    (USER, ext.loads, USER_BYTES), (RES_PQ, ext.deserialize_constructor, RES_PQ_BYTES),
    (ValueError, ext.loads, RES_PQ_BYTES[:-3]), (ValueError, ext.loads, (0x1CB5C415).to_bytes(4, "little") * 50_000),
    (TypeError, ext.loads, bytearray(USER_BYTES)), (IGE_CT, ext.aes_ige_enc, DATA, KEY, IV),
    (DATA, ext.aes_ige_dec, IGE_CT, KEY, IV), (list(IGE_CT[:32]), ext.aes_ige_enc_raw, DATA[:32], KEY, IV),
    (list(DATA[:32]), ext.aes_ige_dec_raw, IGE_CT[:32], KEY, IV), (False, ext.aes_ige_fast_path),
    (ValueError, ext.aes_ige_enc, DATA[:15], KEY, IV), (TypeError, lambda: ext.aes_ige_dec(data=DATA, key=KEY)),
    (SEALED, ext.aes_gcm_encrypt, KEY, NONCE, b"payload", b"aad"),
    (b"payload", ext.aes_gcm_decrypt, KEY, NONCE, SEALED, b"aad"), (TypeError, ext.aes_gcm_decrypt, KEY, NONCE, 1, b""),
    (RuntimeError, ext.aes_gcm_decrypt, KEY, NONCE, SEALED[:-1] + bytes([SEALED[-1] ^ 1]), b"aad"),
    (RuntimeError, ext.aes_gcm_encrypt, KEY, NONCE[:8], b"p", b""), (DATA[16:32], ext.cut, DATA, 16, 16),
    (OverflowError, ext.cut, DATA, -1, 4), (ValueError, ext.cut, DATA, 2**64 - 1, 2),
    (KeyError, ext.cut, DATA, UNINDEXABLE, 4), (b"abcde", ext.pack, [b"ab", [99, 100], bytearray(b"e")]),
    (TypeError, ext.pack, ["str"]), (OverflowError, ext.pack, [[256]]),
    ([DATA, DATA[:64]], transport_round, transport.Intermediate, True),
    ([DATA, DATA[:64]], transport_round, transport.Full, False),
    (transport.FramingError, transport.Intermediate().feed, b"\x07\x00\x00\x00"),
    (transport.TransportError, transport.Abridged().feed, bytes.fromhex("0153feffff")),
    (ValueError, crypto.Ctr, KEY[:5], IV[:16]), (CTR_CT, lambda: crypto.Ctr(KEY, IV[:16]).update(DATA)),
    (DATA, crypto.cbc_decrypt, crypto.cbc_encrypt(DATA, KEY, IV[:16]), KEY, IV[:16]),
    (15747883836336449899, exchange, 0), (handshake.HandshakeError, exchange, 1),
    (session.SecurityError, session.Session(DATA[:256]).decrypt, bytes(88)),
]


def call(want, fn, *args):
    try:
        got = fn(*args)
    except Exception as e:  # noqa: BLE001 - compared below
        if type(e) is not want:
            raise AssertionError(f"{fn.__name__}: {type(e).__name__} instead of {want!r:.100}: {e}") from e
        return
    if isinstance(want, type) or got != want:
        raise AssertionError(f"{fn.__name__}: {got!r:.200} instead of {want!r:.200}")


def main():
    total = int(os.environ.get("SOAK_CALLS", "1000000"))
    started, before = time.monotonic(), None
    for i in range(total):
        if i == total // 10:
            before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        call(*CALLS[i % len(CALLS)])
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    named = {n for _, fn, *_ in CALLS for n in getattr(fn, "__code__", None) and fn.__code__.co_names or [fn.__name__]}
    assert named >= set(ext.__all__), set(ext.__all__) - named
    print(f"soak: CPython {platform.python_version()}, {ext.__file__}: {total} calls over {len(CALLS)} call kinds in "
          f"{time.monotonic() - started:.1f} s; "
          f"peak RSS {before / 1024:.1f} MB after {total // 10} calls, {after / 1024:.1f} MB at the end "
          f"(+{(after - before) / 1024:.2f} MB, limit 10 MB)")
    if after - before >= 10 * 1024:
        print("soak: FAILED, memory grew", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
