"""AES-IGE on the frames of the published envelope vectors (computed by an independent implementation).

Every backend is held to OpenSSL's own IGE at every size that matters in the C++ tests; here the module's
four functions are held to published answers: each direction, argument order and result type."""
import hashlib
import struct

import pytest

import velmora.ext as ext
from conftest import ENVELOPE_VECTORS as VECTORS

KEY = bytes(range(32))


def key_and_iv(auth_key, msg_key, x):
    """The envelope's AES key and IV, as the protocol derives them."""
    a, b = (hashlib.sha256(m).digest() for m in (msg_key + auth_key[x:x + 36], auth_key[40 + x:76 + x] + msg_key))
    return a[:8] + b[8:24] + a[24:32], b[:8] + a[8:24] + b[24:32]


@pytest.mark.parametrize("case", VECTORS["cases"], ids=lambda c: f"{c['sender']}-{len(c['body']) // 2}")
def test_published_frames(case):
    auth_key, frame, body, padding = (bytes.fromhex(case[k]) for k in ("auth_key", "frame", "body", "padding"))
    key, iv = key_and_iv(auth_key, frame[8:24], 8 if case["sender"] == "server" else 0)
    plain = struct.pack("<qqqii", *(case[k] for k in ("salt", "session_id", "msg_id", "seq_no")), len(body)) + body + padding
    assert [ext.aes_ige_enc(plain, key, iv), ext.aes_ige_dec(frame[24:], key, iv)] == [frame[24:], plain]
    assert [ext.aes_ige_enc_raw(plain, key, iv), ext.aes_ige_dec_raw(frame[24:], key, iv)] == [list(frame[24:]), list(plain)]
    assert ext.aes_ige_fast_path() is False


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
