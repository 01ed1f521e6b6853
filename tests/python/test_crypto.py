"""velmora.crypto: AES-256-CTR and CBC against transport.json's known answers and python-cryptography's AES,
the package's IGE and GCM as the module's, one Ctr shared by two threads, and the GIL released on
large inputs."""
import os
import sys
import threading
import time

import pytest

# make test-pythons: an interpreter cryptography publishes no wheel for.
pytest.importorskip("cryptography", reason="cryptography has no wheel for this interpreter")
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from hypothesis import given, strategies as st

from conftest import TRANSPORT_VECTORS as V
import velmora.crypto as c
import velmora.ext as ext
import velmora.transport as t

H = bytes.fromhex
KEY, IV = bytes(range(32)), bytes(range(16))


@pytest.mark.parametrize("case", V["ctr"], ids=lambda v: str(v["chunks"]))
@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview])
def test_ctr_known_answers_at_their_chunkings(case, kind):
    ctr, plain, at = c.Ctr(kind(H(case["key"])), kind(H(case["iv"]))), H(case["plain"]), 0
    out = b""
    for n in case["chunks"]:
        out, at = out + ctr.update(kind(plain[at:at + n])), at + n
    assert out == H(case["cipher"])


@pytest.mark.parametrize("case", V["cbc"], ids=lambda v: str(len(v["plain"]) // 2))
def test_cbc_known_answers(case):
    args = H(case["key"]), H(case["iv"])
    assert (c.cbc_encrypt(H(case["plain"]), *args), c.cbc_decrypt(bytearray(H(case["cipher"])), *args)) == (
        H(case["cipher"]), H(case["plain"]))


@given(key=st.binary(min_size=32, max_size=32), iv=st.binary(min_size=16, max_size=16),
       chunks=st.lists(st.binary(max_size=300), max_size=8))
def test_ctr_and_cbc_as_cryptography(key, iv, chunks):
    theirs, ours = Cipher(algorithms.AES(key), modes.CTR(iv)).encryptor(), c.Ctr(key, iv)
    assert [ours.update(x) for x in chunks] == [theirs.update(x) for x in chunks]
    data = b"".join(chunks)[:len(b"".join(chunks)) // 16 * 16]
    assert c.cbc_encrypt(data, key, iv) == Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor().update(data)
    assert c.cbc_decrypt(data, key, iv) == Cipher(algorithms.AES(key), modes.CBC(iv)).decryptor().update(data)


def test_package_ige_and_gcm_are_the_modules():
    data, iv32, nonce = bytes(range(64)), bytes(32), bytes(12)
    assert c.ige_encrypt(bytearray(data), KEY, memoryview(iv32)) == ext.aes_ige_enc(data, KEY, iv32)
    assert c.ige_decrypt(data, KEY, iv32) == ext.aes_ige_dec(data, KEY, iv32)
    sealed = c.gcm_encrypt(KEY, nonce, bytearray(data), b"a")
    assert (sealed, c.gcm_decrypt(KEY, nonce, sealed, b"a")) == (ext.aes_gcm_encrypt(KEY, nonce, data, b"a"), data)
    assert c.gcm_decrypt(KEY, nonce, c.gcm_encrypt(KEY, nonce, data)) == data


@pytest.mark.parametrize("call, error", [
    (lambda: c.Ctr(KEY[:31], IV), ValueError("AES-CTR key must be 32 bytes")),
    (lambda: c.Ctr(KEY, IV + b"x"), ValueError("AES-CTR IV must be 16 bytes")),
    (lambda: c.Ctr(KEY, iv=IV).update("text"), TypeError("argument 'data': 'str' object cannot be converted to 'PyBytes'")),
    (lambda: c.cbc_encrypt(bytes(15), KEY, IV), ValueError("AES-CBC data length must be a multiple of 16")),
    (lambda: c.cbc_decrypt(b"", KEY[:1], IV), ValueError("AES-CBC key must be 32 bytes")),
    (lambda: c.cbc_encrypt(b"", KEY, KEY), ValueError("AES-CBC IV must be 16 bytes")),
    (lambda: c.ige_encrypt(bytes(16), KEY, IV), ValueError("AES-IGE IV must be 32 bytes")),
    (lambda: c.gcm_encrypt(KEY, IV, b""), RuntimeError("AES-GCM nonce must be 12 bytes, got 16")),
    (lambda: c.gcm_decrypt(KEY, bytes(12), bytes(16)), RuntimeError("AES-GCM decrypt error: aead::Error")),
])
def test_refusals_are_the_modules(call, error):
    with pytest.raises(type(error)) as e:
        call()
    assert str(e.value) == str(error)


def test_one_ctr_shared_by_two_threads_hands_out_whole_pieces():
    # Zeros in: each call's result is its own piece of the keystream; together they must be its first
    # 2 x 40 pieces, whatever the order the lock let the calls in.
    n, calls, ctr = 1 << 16, 40, c.Ctr(KEY, IV)
    got = []
    threads = [threading.Thread(target=lambda: got.extend(ctr.update(bytes(n)) for _ in range(calls))) for _ in range(2)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    stream = Cipher(algorithms.AES(KEY), modes.CTR(IV)).encryptor().update(bytes(2 * calls * n))
    assert sorted(got) == sorted(stream[i:i + n] for i in range(0, len(stream), n))


BIG = bytes(256 << 10 if os.environ.get("VELMORA_VALGRIND") else 8 << 20)
CLIENT = t.Obfuscated(t.Intermediate())
_, _, SERVER = t.Obfuscated.accept(CLIENT.start())


def feed_large():
    # Twice BIG, packed a small packet at a time: the feed lets the GIL go for its cipher pass alone, the
    # shortest of these windows, which a thread woken on a busy machine could miss with less.
    stream = b"".join(CLIENT.pack(bytes(1024)) for _ in range(len(BIG) >> 9))
    return lambda: SERVER.feed(stream)


# Each makes the large call to time: prepared first, so that only the call itself counts.
@pytest.mark.parametrize("make", [
    lambda: lambda: c.Ctr(KEY, IV).update(BIG), lambda: lambda: c.cbc_decrypt(BIG, KEY, IV),
    lambda: lambda: c.ige_encrypt(BIG, KEY, bytes(32)), lambda: lambda: c.gcm_encrypt(KEY, bytes(12), BIG), feed_large,
], ids=["ctr", "cbc", "ige", "gcm", "feed"])
@pytest.mark.skipif(bool(os.environ.get("VELMORA_VALGRIND")), reason="memcheck runs one thread at a time on its own schedule")
def test_large_calls_let_other_threads_run(make):
    # With the switch interval out of reach the GIL changes hands only when a call lets it go: the other
    # thread counts only while this thread is inside a call that released it.
    count, stop = [0], threading.Event()

    def counter():
        while not stop.is_set():
            count[0] += 1
            time.sleep(0)  # hands the GIL back at once, to wait for it again

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    th = threading.Thread(target=counter)
    th.start()
    try:
        moved = False
        for _ in range(20):
            call = make()
            before = count[0]
            call()
            moved = moved or count[0] > before
    finally:
        stop.set()
        sys.setswitchinterval(interval)
        th.join()
    assert moved
