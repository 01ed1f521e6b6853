"""AES-256-GCM against Wycheproof, NIST CAVP and tampering."""

import json
import os
import pathlib

import cryptography_vectors
import pytest

import velmora.ext as ext

VECTORS = pathlib.Path(__file__).resolve().parents[1] / "vectors"
DECRYPT_ERROR = "AES-GCM decrypt error: aead::Error"
KEY_ERROR = "AES-GCM key error: Invalid Length"


def wycheproof():
    doc = json.loads((VECTORS / "wycheproof_aes_gcm_test.json").read_text())
    for g in doc["testGroups"]:
        for t in g["tests"]:
            yield pytest.param(g["keySize"], g["ivSize"], t, id=str(t["tcId"]))


@pytest.mark.parametrize("key_bits, iv_bits, t", list(wycheproof()))
def test_wycheproof(key_bits, iv_bits, t):
    key, iv, aad, msg = (bytes.fromhex(t[k]) for k in ("key", "iv", "aad", "msg"))
    sealed = bytes.fromhex(t["ct"] + t["tag"])
    if key_bits != 256:
        for call in (lambda: ext.aes_gcm_encrypt(key, iv, msg, aad),
                     lambda: ext.aes_gcm_decrypt(key, iv, sealed, aad)):
            with pytest.raises(RuntimeError) as err:
                call()
            assert err.value.args == (KEY_ERROR,)
    elif iv_bits != 96:
        for call in (lambda: ext.aes_gcm_encrypt(key, iv, msg, aad),
                     lambda: ext.aes_gcm_decrypt(key, iv, sealed, aad)):
            with pytest.raises(RuntimeError) as err:
                call()
            assert err.value.args == (f"AES-GCM nonce must be 12 bytes, got {len(iv)}",)
    elif t["result"] == "valid":
        assert ext.aes_gcm_encrypt(key, iv, msg, aad) == sealed
        assert ext.aes_gcm_decrypt(key, iv, sealed, aad) == msg
    else:
        with pytest.raises(RuntimeError) as err:
            ext.aes_gcm_decrypt(key, iv, sealed, aad)
        assert err.value.args == (DECRYPT_ERROR,)


def cavp(name):
    path = pathlib.Path(cryptography_vectors.__file__).parent / "ciphers/AES/GCM" / name
    header, case, out = {}, None, []
    for raw in path.read_text().splitlines():
        line = raw.strip()
        if line.startswith("[") and "=" in line:
            k, v = line[1:-1].split("=")
            header[k.strip()] = int(v)
        elif line.startswith("Count"):
            case = dict(header)
            out.append(case)
        elif line == "FAIL":
            case["FAIL"] = True
        elif "=" in line and case is not None:
            k, v = line.split("=", 1)
            case[k.strip()] = bytes.fromhex(v.strip())
    return [c for c in out if c["IVlen"] == 96 and c["Taglen"] == 128]


def test_cavp_encrypt():
    cases = cavp("gcmEncryptExtIV256.rsp")
    assert len(cases) > 100
    for c in cases:
        assert ext.aes_gcm_encrypt(c["Key"], c["IV"], c["PT"], c["AAD"]) == c["CT"] + c["Tag"]


def test_cavp_decrypt():
    cases = cavp("gcmDecrypt256.rsp")
    assert any(c.get("FAIL") for c in cases) and any(not c.get("FAIL") for c in cases)
    for c in cases:
        sealed = c["CT"] + c["Tag"]
        if c.get("FAIL"):
            with pytest.raises(RuntimeError, match="^AES-GCM decrypt error: aead::Error$"):
                ext.aes_gcm_decrypt(c["Key"], c["IV"], sealed, c["AAD"])
        else:
            assert ext.aes_gcm_decrypt(c["Key"], c["IV"], sealed, c["AAD"]) == c["PT"]


KEY = os.urandom(32)
NONCE = os.urandom(12)
AAD = b"header"
PLAIN = b"attack at dawn, bring snacks"
SEALED = ext.aes_gcm_encrypt(KEY, NONCE, PLAIN, AAD)


def flips(value):
    for i in range(len(value)):
        yield value[:i] + bytes([value[i] ^ 0x01]) + value[i + 1 :]


@pytest.mark.parametrize("which", ["sealed", "aad", "nonce", "key"])
def test_every_single_byte_tamper_fails(which):
    args = {"key": KEY, "nonce": NONCE, "ciphertext": SEALED, "aad": AAD}
    assert ext.aes_gcm_decrypt(**args) == PLAIN
    name = "ciphertext" if which == "sealed" else which
    for bad in flips(args[name]):
        with pytest.raises(RuntimeError) as err:
            ext.aes_gcm_decrypt(**{**args, name: bad})
        assert err.value.args == (DECRYPT_ERROR,)


@pytest.mark.parametrize("n", range(16))
def test_short_inputs(n):
    with pytest.raises(RuntimeError) as err:
        ext.aes_gcm_decrypt(KEY, NONCE, bytes(n), b"")
    assert err.value.args == (DECRYPT_ERROR,)


@pytest.mark.parametrize("n", [0, 1, 15, 16, 17, 1000, 65536])
def test_round_trip_and_length(n):
    plain = os.urandom(n)
    sealed = ext.aes_gcm_encrypt(KEY, NONCE, plain, AAD)
    assert len(sealed) == n + 16
    assert ext.aes_gcm_decrypt(KEY, NONCE, sealed, AAD) == plain


def test_empty_plaintext_is_tag_only():
    sealed = ext.aes_gcm_encrypt(KEY, NONCE, b"", b"")
    assert len(sealed) == 16
    assert ext.aes_gcm_decrypt(KEY, NONCE, sealed, b"") == b""


@pytest.mark.parametrize("key_len", [16, 24, 0, 31, 33])
@pytest.mark.parametrize("nonce_len", [8, 12])
def test_key_checked_first(key_len, nonce_len):
    for fn, data in ((ext.aes_gcm_encrypt, b""), (ext.aes_gcm_decrypt, bytes(16))):
        with pytest.raises(RuntimeError) as err:
            fn(bytes(key_len), bytes(nonce_len), data, b"")
        assert err.value.args == (KEY_ERROR,)


@pytest.mark.parametrize("nonce_len", [0, 8, 11, 13, 16])
def test_bad_nonce_is_an_ordinary_error(nonce_len):
    for fn, data in ((ext.aes_gcm_encrypt, b"x"), (ext.aes_gcm_decrypt, bytes(3))):
        try:
            fn(KEY, bytes(nonce_len), data, b"")
        except Exception as err:  # must be catchable here, not escape as a fault
            assert type(err) is RuntimeError
            assert err.args == (f"AES-GCM nonce must be 12 bytes, got {nonce_len}",)
        else:
            pytest.fail("no error")


def test_aad_none():
    with pytest.raises(TypeError) as err:
        ext.aes_gcm_encrypt(KEY, NONCE, b"", None)
    assert err.value.args == ("argument 'aad': 'NoneType' object cannot be converted to 'PyBytes'",)
    with pytest.raises(TypeError) as err:
        ext.aes_gcm_decrypt(KEY, NONCE, SEALED, None)
    assert err.value.args == ("argument 'aad': 'NoneType' object cannot be converted to 'PyBytes'",)


def test_matches_cryptography_aesgcm():
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM

    for n in (0, 5, 64, 4097):
        plain, aad = os.urandom(n), os.urandom(n // 3)
        assert ext.aes_gcm_encrypt(KEY, NONCE, plain, aad) == AESGCM(KEY).encrypt(NONCE, plain, aad)
