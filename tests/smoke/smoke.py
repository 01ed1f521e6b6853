"""Quick check on one interpreter: the package imports and every function of the module answers.

`make test` runs it with each CPython found, so an interpreter the abi3 library does not load
on fails the build.
"""

import platform
import sys

import velmora.ext as ext
from velmora import tlschema

KEY, IV, BLOCKS = bytes(32), bytes(range(32)), bytes(range(48))
PEER = {"_": "inputPeerUser", "user_id": 1, "access_hash": 2}
called = set()


def call(name, *args):
    called.add(name)
    return getattr(ext, name)(*args)


assert call("schema_info")["constructors"] > 0
wire = call("dumps", PEER)
assert call("serialize_constructor", "inputPeerUser", {"user_id": 1, "access_hash": 2}) == wire
assert call("loads", wire) == call("deserialize_constructor", wire) == PEER
assert call("serialize_method", "req_pq_multi", {"nonce": bytes(16)})[4:] == bytes(16)
ct = call("aes_ige_enc", BLOCKS, KEY, IV)
assert ct != BLOCKS and call("aes_ige_dec", ct, KEY, IV) == BLOCKS
assert call("aes_ige_enc_raw", BLOCKS, KEY, IV) == list(ct) and call("aes_ige_dec_raw", ct, KEY, IV) == list(BLOCKS)
assert call("aes_ige_fast_path") is False
# The published AES-256-GCM case with all-zero key, nonce and block.
sealed = bytes.fromhex("cea7403d4d606b6e074ec5d3baf39d18d0d1c8a799996bf0265b98b5d48ab919")
assert call("aes_gcm_encrypt", KEY, bytes(12), bytes(16), b"") == sealed
assert call("aes_gcm_decrypt", KEY, bytes(12), sealed, b"") == bytes(16)
assert call("cut", b"abcdef", 2, 3) == b"cde" and call("pack", [b"ab", [99]]) == b"abc"
small = tlschema.convert("// LAYER 3\nping#7abe77ec ping_id:long = Pong;\n")
assert call("load_schema", small) == {"layer": 3, "methods": 0, "constructors": 1}
assert called == set(ext.__all__), set(ext.__all__) ^ called
print(f"CPython {platform.python_version()}: {len(called)} functions answered, {ext.__file__}")
