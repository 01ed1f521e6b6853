"""AES-256-GCM against the cryptography package, tampering and refusals.

The published vectors run through every backend in the C++ tests; here the
module is held to an independent implementation, whichever backend it has.
"""

import os

import pytest
from hypothesis import example, given, strategies as st

import velmora.ext as ext
from conftest import outcome

# make test-pythons: an interpreter cryptography publishes no wheel for.
AESGCM = pytest.importorskip("cryptography.hazmat.primitives.ciphers.aead",
                             reason="cryptography has no wheel for this interpreter").AESGCM

DECRYPT_ERROR = "AES-GCM decrypt error: aead::Error"
KEY_ERROR = "AES-GCM key error: Invalid Length"
KEY = os.urandom(32)
NONCE = os.urandom(12)
AAD = b"header"
PLAIN = b"attack at dawn, bring snacks"
SEALED = ext.aes_gcm_encrypt(KEY, NONCE, PLAIN, AAD)
BOTH = ((ext.aes_gcm_encrypt, b"x"), (ext.aes_gcm_decrypt, bytes(16)))


@given(st.binary(max_size=300), st.binary(max_size=40))
@example(os.urandom(65536), os.urandom(4096))  # past the widest vector lanes (64 to 256 bytes) and a page
def test_matches_cryptography(plain, aad):
    key, nonce = os.urandom(32), os.urandom(12)
    sealed = ext.aes_gcm_encrypt(key, nonce, plain, aad)
    assert sealed == AESGCM(key).encrypt(nonce, plain, aad)
    assert ext.aes_gcm_decrypt(key, nonce, sealed, aad) == plain


# One flipped bit in each argument: each is bound where it belongs. Every forgery of the published vectors is
# refused on every backend in the C++ tests.
@pytest.mark.parametrize("name", ["key", "nonce", "ciphertext", "aad"])
def test_a_changed_argument_fails(name):
    args = {"key": KEY, "nonce": NONCE, "ciphertext": SEALED, "aad": AAD}
    assert ext.aes_gcm_decrypt(**args) == PLAIN
    short = [SEALED[:n] for n in (0, 15)] if name == "ciphertext" else []  # fail as forgeries do
    for bad in [args[name][:-1] + bytes([args[name][-1] ^ 0x80]), *short]:
        outcome(lambda: ext.aes_gcm_decrypt(*{**args, name: bad}.values()), RuntimeError(DECRYPT_ERROR))


NONE_AAD = TypeError("argument 'aad': 'NoneType' object cannot be converted to 'PyBytes'")


@pytest.mark.parametrize("key_len, nonce_len, aad, want", [
    *[(k, n, b"", RuntimeError(KEY_ERROR)) for k in (0, 16, 24, 31, 33) for n in (8, 12)],  # the key first
    *[(32, n, b"", RuntimeError(f"AES-GCM nonce must be 12 bytes, got {n}")) for n in (0, 8, 11, 13, 16)],
    (32, 12, None, NONE_AAD),
])
def test_refusals_in_order(key_len, nonce_len, aad, want):
    for fn, data in BOTH:
        # Exception, not the internal fault: a handler for Exception sees it.
        outcome(lambda: fn(bytes(key_len), bytes(nonce_len), data, aad), want)
