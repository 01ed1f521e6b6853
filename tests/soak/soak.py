"""Soak: a million mixed calls of every function, successes and failures.

Each round makes one call from a fixed table that covers all sixteen
functions and every way a call can fail (binding, argument conversion, bad
values, failed authentication, schema parsing, encoding and decoding). Every
result is checked against the expected one, so a call that starts answering
differently fails the soak too. The peak resident size is taken after the
first 100,000 calls (allocator pools warm) and at the end; it must grow by
less than 10 MB.

Run: make soak   (SOAK_CALLS overrides the number of calls)
"""
import json
import os
import resource
import sys
import time

import velmora.ext as ext

KEY = bytes(range(32))
IV = bytes(range(32, 64))
NONCE = bytes(12)
DATA = bytes(range(256)) * 4
IGE_CT = ext.aes_ige_enc(DATA, KEY, IV)
SEALED = ext.aes_gcm_encrypt(KEY, NONCE, b"payload", b"aad")
TAMPERED = SEALED[:-1] + bytes([SEALED[-1] ^ 1])

SMALL_DOC = json.dumps({"layer": 1, "methods": {}, "constructors": {
    "point": {"cid": 0x11223344, "fields": [{"name": "x", "type": "int"}, {"name": "y", "type": "int"}]}}})
DEFAULT_DOC = open(os.path.join(os.path.dirname(__file__), "..", "..", "src", "schema",
                                "default_schema.json"), encoding="utf-8").read()

USER = {"_": "inputPeerUser", "user_id": 7, "access_hash": -5}
USER_BYTES = ext.dumps(USER)
RES_PQ = {"_": "resPQ", "nonce": bytes(16), "server_nonce": bytes(range(16)), "pq": b"\x17\xed" * 4,
          "server_public_key_fingerprints": list(range(-5, 20))}
RES_PQ_BYTES = ext.dumps(RES_PQ)
SELF_REF = {"_": "inputPeerUser"}
SELF_REF["user_id"] = SELF_REF
NESTED_VECTORS = (0x1CB5C415).to_bytes(4, "little") * 50_000 + (1).to_bytes(4, "little")


class Unindexable:
    def __index__(self):
        raise KeyError("not today")


def ok(fn, *args, want=None, **kwargs):
    """A call that must succeed (and give `want` when one is given)."""
    def call():
        got = fn(*args, **kwargs)
        if want is not None and got != want:
            raise AssertionError(f"{fn.__name__}: unexpected result {got!r:.200}")
    return call


def fails(exc, fn, *args, **kwargs):
    """A call that must raise exactly `exc`."""
    def call():
        try:
            fn(*args, **kwargs)
        except exc:
            return
        except BaseException as other:
            raise AssertionError(f"{fn.__name__}: {type(other).__name__} instead of {exc.__name__}: {other}")
        raise AssertionError(f"{fn.__name__}: no {exc.__name__}")
    return call


def swap_schema():
    # Load another document and the default one back: both parse, index and
    # compile per-schema tables, and both must be released again.
    ext.load_schema(SMALL_DOC)
    ext.load_schema(DEFAULT_DOC)


CALLS = [
    # schema
    ok(ext.schema_info, want={"layer": 0, "methods": 21, "constructors": 27}),
    fails(ValueError, ext.load_schema, '{"layer": 5}'),
    fails(ValueError, ext.load_schema, "[" * 200),
    fails(TypeError, ext.load_schema, b"{}"),
    # serializer
    ok(ext.serialize_constructor, "inputPeerUser", {"user_id": 7, "access_hash": -5}, want=USER_BYTES),
    ok(ext.serialize_method, "req_pq_multi", {"nonce": bytes(16)}),
    ok(ext.dumps, RES_PQ, want=RES_PQ_BYTES),
    fails(ValueError, ext.serialize_constructor, "inputPeerUser", {"user_id": "x", "access_hash": 1}),
    fails(ValueError, ext.serialize_method, "noSuchMethod", {}),
    fails(ValueError, ext.dumps, SELF_REF),
    fails(ValueError, ext.dumps, {"_": "resPQ", "nonce": bytes(16)}),
    fails(TypeError, ext.serialize_constructor, "inputPeerUser"),
    fails(TypeError, ext.serialize_constructor, "inputPeerUser", {}, name="x"),
    # deserializer
    ok(ext.loads, USER_BYTES, want=USER),
    ok(ext.deserialize_constructor, RES_PQ_BYTES, want=RES_PQ),
    fails(ValueError, ext.loads, RES_PQ_BYTES[:-3]),
    fails(ValueError, ext.loads, NESTED_VECTORS),
    fails(ValueError, ext.loads, b"\x01\x02"),
    fails(TypeError, ext.loads, bytearray(USER_BYTES)),
    # AES-IGE
    ok(ext.aes_ige_enc, DATA, KEY, IV, want=IGE_CT),
    ok(ext.aes_ige_dec, IGE_CT, KEY, IV, want=DATA),
    ok(ext.aes_ige_enc_raw, DATA[:32], KEY, IV, want=list(IGE_CT[:32])),
    ok(ext.aes_ige_dec_raw, IGE_CT[:32], KEY, IV, want=list(DATA[:32])),
    ok(ext.aes_ige_fast_path, want=False),
    fails(ValueError, ext.aes_ige_enc, DATA[:15], KEY, IV),
    fails(ValueError, ext.aes_ige_dec, DATA, KEY[:31], IV),
    fails(TypeError, ext.aes_ige_enc, DATA, KEY, IV, IV),
    fails(TypeError, ext.aes_ige_dec, data=DATA, key=KEY),
    fails(TypeError, ext.aes_ige_enc_raw, "text", KEY, IV),
    # AES-GCM
    ok(ext.aes_gcm_encrypt, KEY, NONCE, b"payload", b"aad", want=SEALED),
    ok(ext.aes_gcm_decrypt, KEY, NONCE, SEALED, b"aad", want=b"payload"),
    fails(RuntimeError, ext.aes_gcm_decrypt, KEY, NONCE, TAMPERED, b"aad"),
    fails(RuntimeError, ext.aes_gcm_encrypt, KEY[:16], NONCE, b"p", b""),
    fails(RuntimeError, ext.aes_gcm_encrypt, KEY, NONCE[:8], b"p", b""),
    fails(TypeError, ext.aes_gcm_decrypt, KEY, NONCE, None, b""),
    # byte helpers
    ok(ext.cut, DATA, 16, 16, want=DATA[16:32]),
    ok(ext.pack, [b"ab", [99, 100], bytearray(b"e")], want=b"abcde"),
    fails(OverflowError, ext.cut, DATA, -1, 4),
    fails(TypeError, ext.cut, DATA, 1.5, 4),
    fails(KeyError, ext.cut, DATA, Unindexable(), 4),
    fails(ValueError, ext.cut, DATA, 2**64 - 1, 2),
    fails(TypeError, ext.pack, ["str"]),
    fails(TypeError, ext.pack, [1]),
    fails(OverflowError, ext.pack, [[256]]),
]


def peak_rss_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def main():
    total = int(os.environ.get("SOAK_CALLS", "1000000"))
    warm = total // 10
    swap_every = 1000  # a schema swap is a much heavier call than the rest
    started = time.monotonic()
    before = None
    for i in range(total):
        if i == warm:
            before = peak_rss_kb()
        if i % swap_every == swap_every - 1:
            swap_schema()
        else:
            CALLS[i % len(CALLS)]()
    after = peak_rss_kb()
    growth_kb = after - before
    seconds = time.monotonic() - started
    print(f"soak: {total} calls over {len(CALLS) + 1} call kinds in {seconds:.1f} s; "
          f"peak RSS {before / 1024:.1f} MB after {warm} calls, {after / 1024:.1f} MB at the end "
          f"(+{growth_kb / 1024:.2f} MB, limit 10 MB)")
    if growth_kb >= 10 * 1024:
        print("soak: FAILED, memory grew", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
