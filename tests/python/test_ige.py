"""AES-IGE against the cryptography package's AES-ECB, used block by block."""

import os

import pytest
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from hypothesis import given, settings, strategies as st

import velmora.ext as ext

KEY = bytes(range(32))
IV = bytes(range(100, 132))


def xor(a, b):
    return bytes(x ^ y for x, y in zip(a, b))


def reference(data, key, iv, encrypt):
    ecb = Cipher(algorithms.AES(key), modes.ECB())
    block = (ecb.encryptor() if encrypt else ecb.decryptor()).update
    c, p = iv[:16], iv[16:]
    out = bytearray()
    for i in range(0, len(data), 16):
        x = data[i : i + 16]
        if encrypt:
            y = xor(block(xor(x, c)), p)
            c, p = y, x
        else:
            y = xor(block(xor(x, p)), c)
            c, p = x, y
        out += y
    return bytes(out)


@pytest.mark.parametrize("blocks", [0, 1, 2, 3, 4, 7, 64, 511, 512, 513, 1024, 4096])
def test_against_independent_aes(blocks):
    key, iv, data = os.urandom(32), os.urandom(32), os.urandom(16 * blocks)
    enc = ext.aes_ige_enc(data, key, iv)
    assert enc == reference(data, key, iv, True)
    assert ext.aes_ige_dec(enc, key, iv) == data
    assert ext.aes_ige_dec(data, key, iv) == reference(data, key, iv, False)


def test_single_block_formulas():
    ecb = Cipher(algorithms.AES(KEY), modes.ECB())
    block = os.urandom(16)
    e = ecb.encryptor().update(xor(block, IV[:16]))
    assert ext.aes_ige_enc(block, KEY, IV) == xor(e, IV[16:])
    d = ecb.decryptor().update(xor(block, IV[16:]))
    assert ext.aes_ige_dec(block, KEY, IV) == xor(d, IV[:16])


@settings(max_examples=200, deadline=None)
@given(st.binary(min_size=32, max_size=32), st.binary(min_size=32, max_size=32),
       st.integers(0, 40).flatmap(lambda n: st.binary(min_size=16 * n, max_size=16 * n)))
def test_round_trip(key, iv, data):
    assert ext.aes_ige_dec(ext.aes_ige_enc(data, key, iv), key, iv) == data


@pytest.mark.parametrize("split", [1, 2, 5])
def test_chaining_across_two_calls(split):
    data = os.urandom(16 * 8)
    whole = ext.aes_ige_enc(data, KEY, IV)
    head = ext.aes_ige_enc(data[: 16 * split], KEY, IV)
    iv2 = head[-16:] + data[16 * split - 16 : 16 * split]
    assert head + ext.aes_ige_enc(data[16 * split :], KEY, iv2) == whole
    assert ext.aes_ige_dec(whole[16 * split :], KEY, iv2) == data[16 * split :]


@pytest.mark.parametrize(
    "data, key, iv, message",
    [
        (b"x" * 15, b"k" * 31, b"i" * 31, "AES-IGE data length must be a multiple of 16"),
        (b"x" * 17, KEY, IV, "AES-IGE data length must be a multiple of 16"),
        (b"", b"k" * 31, b"i" * 31, "AES-IGE key must be 32 bytes"),
        (b"x" * 16, b"k" * 33, IV, "AES-IGE key must be 32 bytes"),
        (b"x" * 16, KEY, b"i" * 16, "AES-IGE IV must be 32 bytes"),
        (b"", KEY, b"", "AES-IGE IV must be 32 bytes"),
    ],
)
@pytest.mark.parametrize("fn", ["aes_ige_enc", "aes_ige_dec", "aes_ige_enc_raw", "aes_ige_dec_raw"])
def test_length_errors_in_order(fn, data, key, iv, message):
    with pytest.raises(ValueError) as err:
        getattr(ext, fn)(data, key, iv)
    assert err.value.args == (message,)


def test_empty_data():
    assert ext.aes_ige_enc(b"", KEY, IV) == b""
    assert ext.aes_ige_dec(b"", KEY, IV) == b""
    assert ext.aes_ige_enc_raw(b"", KEY, IV) == []
    assert ext.aes_ige_dec_raw(b"", KEY, IV) == []


@pytest.mark.parametrize("n", [0, 16, 48, 4096])
def test_raw_is_list_of_bytes(n):
    data = os.urandom(n)
    assert ext.aes_ige_enc_raw(data, KEY, IV) == list(ext.aes_ige_enc(data, KEY, IV))
    assert ext.aes_ige_dec_raw(data, KEY, IV) == list(ext.aes_ige_dec(data, KEY, IV))


def test_inputs_unchanged():
    data = bytes(64)
    ext.aes_ige_enc(data, KEY, IV)
    ext.aes_ige_dec(data, KEY, IV)
    assert data == bytes(64) and KEY == bytes(range(32))


def test_fast_path_is_false():
    assert ext.aes_ige_fast_path() is False
