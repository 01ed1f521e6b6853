"""AES-IGE against the cryptography package's AES-ECB, used block by block."""
import os

import pytest
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from hypothesis import example, given, strategies as st

import velmora.ext as ext

KEY = bytes(range(32))
IV = bytes(range(100, 132))


def xor(a, b):
    return bytes(x ^ y for x, y in zip(a, b))


def reference(data, key, iv, encrypt):
    ecb = Cipher(algorithms.AES(key), modes.ECB())
    block = (ecb.encryptor() if encrypt else ecb.decryptor()).update
    c, p, out = iv[:16], iv[16:], b""  # c0, p0
    for i in range(0, len(data), 16):
        x = data[i: i + 16]
        y = xor(block(xor(x, c)), p) if encrypt else xor(block(xor(x, p)), c)
        c, p = (y, x) if encrypt else (x, y)
        out += y
    return out


def check(data, key, iv):
    sealed, opened = reference(data, key, iv, True), reference(data, key, iv, False)
    assert [ext.aes_ige_enc(data, key, iv), ext.aes_ige_dec(data, key, iv)] == [sealed, opened]
    assert [ext.aes_ige_enc_raw(data, key, iv), ext.aes_ige_dec_raw(data, key, iv)] == [list(sealed), list(opened)]
    assert ext.aes_ige_dec(sealed, key, iv) == data and ext.aes_ige_fast_path() is False


@given(st.binary(min_size=32, max_size=32), st.binary(min_size=32, max_size=32),
       st.integers(0, 40).flatmap(lambda n: st.binary(min_size=16 * n, max_size=16 * n)))
@example(KEY, IV, b"")
@example(KEY, IV, os.urandom(16 * 1025))  # across the 8 KiB chunks of the encrypting side
def test_against_independent_aes(key, iv, data):
    check(data, key, iv)


# Each text from each function, each row with the later faults too; that nothing is written is the C++ tests'.
@pytest.mark.parametrize("data, key, iv, message", [
    (b"x" * 15, b"k" * 31, b"i" * 31, "AES-IGE data length must be a multiple of 16"),
    (b"", b"k" * 33, b"i" * 31, "AES-IGE key must be 32 bytes"),
    (b"x" * 16, KEY, b"i" * 33, "AES-IGE IV must be 32 bytes"),
])
def test_length_errors(data, key, iv, message):
    for fn in (ext.aes_ige_enc, ext.aes_ige_dec, ext.aes_ige_enc_raw, ext.aes_ige_dec_raw):
        with pytest.raises(ValueError) as err:
            fn(data, key, iv)
        assert err.value.args == (message,)
