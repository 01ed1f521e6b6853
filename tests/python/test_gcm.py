"""AES-256-GCM against the cryptography package, tampering and refusals.

The published vectors run through every backend in the C++ tests; here the
module is held to an independent implementation, whichever backend it has.
"""

import os

import pytest
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

import velmora.ext as ext

DECRYPT_ERROR = "AES-GCM decrypt error: aead::Error"
KEY_ERROR = "AES-GCM key error: Invalid Length"
KEY = os.urandom(32)
NONCE = os.urandom(12)
AAD = b"header"
PLAIN = b"attack at dawn, bring snacks"
SEALED = ext.aes_gcm_encrypt(KEY, NONCE, PLAIN, AAD)
BOTH = ((ext.aes_gcm_encrypt, b"x"), (ext.aes_gcm_decrypt, bytes(16)))


def refused(fn, *args):
    with pytest.raises(Exception) as err:
        fn(*args)
    return type(err.value), err.value.args


# Around the block (16), the widest vector lanes (64 to 256) and page sizes.
@pytest.mark.parametrize("n", [0, 1, 15, 16, 17, 63, 64, 65, 255, 256, 4095, 4096, 65536])
@pytest.mark.parametrize("aad_len", [0, 13, 4096])
def test_matches_cryptography(n, aad_len):
    key, nonce, plain, aad = os.urandom(32), os.urandom(12), os.urandom(n), os.urandom(aad_len)
    sealed = ext.aes_gcm_encrypt(key, nonce, plain, aad)
    assert sealed == AESGCM(key).encrypt(nonce, plain, aad)
    assert ext.aes_gcm_decrypt(key, nonce, sealed, aad) == plain


def flips(value):
    for i in range(len(value)):
        for bit in (0x01, 0x80):
            yield value[:i] + bytes([value[i] ^ bit]) + value[i + 1 :]


@pytest.mark.parametrize("name", ["key", "nonce", "ciphertext", "aad"])
def test_every_single_byte_tamper_fails(name):
    args = {"key": KEY, "nonce": NONCE, "ciphertext": SEALED, "aad": AAD}
    assert ext.aes_gcm_decrypt(**args) == PLAIN
    short = [SEALED[:n] for n in range(16)] if name == "ciphertext" else []  # fail as forgeries do
    for bad in [*flips(args[name]), *short]:
        assert refused(ext.aes_gcm_decrypt, *{**args, name: bad}.values()) == (
            RuntimeError, (DECRYPT_ERROR,))


@pytest.mark.parametrize("key_len, nonce_len, message", [
    *[(k, n, KEY_ERROR) for k in (0, 16, 24, 31, 33) for n in (8, 12)],  # the key is checked first
    *[(32, n, f"AES-GCM nonce must be 12 bytes, got {n}") for n in (0, 8, 11, 13, 16)],
])
def test_length_errors_in_order(key_len, nonce_len, message):
    for fn, data in BOTH:
        # Exception, not the internal fault: a handler for Exception sees it.
        assert refused(fn, bytes(key_len), bytes(nonce_len), data, b"") == (RuntimeError, (message,))


def test_aad_none():
    for fn, data in BOTH:
        assert refused(fn, KEY, NONCE, data, None) == (
            TypeError, ("argument 'aad': 'NoneType' object cannot be converted to 'PyBytes'",))
