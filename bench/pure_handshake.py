"""The client's side of the key exchange written in Python, as the pure-Python clients
do it, for the benchmarks' scale: Pollard-Brent on Python ints, hashlib, pow, and
velmora's AES-IGE. Checks what velmora's Handshake checks, the prime tests aside (kept
per dh_prime here too, as a running client keeps them)."""

import hashlib
import math
import struct

import velmora.ext as ext


def _is_prime(n):
    if n < 2:
        return False
    for p in (2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37):
        if n % p == 0:
            return n == p
    d, s = n - 1, 0
    while d % 2 == 0:
        d, s = d // 2, s + 1
    for a in (2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37):
        x = pow(a, d, n)
        if x in (1, n - 1):
            continue
        for _ in range(s - 1):
            x = x * x % n
            if x == n - 1:
                break
        else:
            return False
    return True


def brent(n):
    """A nontrivial factor of the odd composite n (Pollard-Brent, batched gcd)."""
    for c in range(1, 64):
        y, r, q, g, m = 2, 1, 1, 1, 128
        x = ys = y
        while g == 1:
            x = y
            for _ in range(r):
                y = (y * y + c) % n
            k = 0
            while k < r and g == 1:
                ys = y
                for _ in range(min(m, r - k)):
                    y = (y * y + c) % n
                    q = q * abs(x - y) % n
                g = math.gcd(q, n)
                k += m
            r *= 2
        if g == n:
            g = 1
            while g == 1:
                ys = (ys * ys + c) % n
                g = math.gcd(abs(x - ys), n)
        if g != n:
            return g
    raise ValueError("not split")


def factorize(pq):
    if pq % 2 == 0:
        p = 2
    else:
        p = brent(pq)
    p, q = sorted((p, pq // p))
    return p, q


def _tl(b):
    head = bytes([len(b)]) if len(b) < 254 else b"\xfe" + len(b).to_bytes(3, "little")
    return head + b + bytes(-(len(head) + len(b)) % 4)


def _read_tl(data, at):
    if data[at] < 254:
        n, at = data[at], at + 1
        end = at + n
        return data[at:end], end + (-(n + 1) % 4)
    n = int.from_bytes(data[at + 1:at + 4], "little")
    at += 4
    return data[at:at + n], at + n + (-n % 4)


def _be(v):
    return v.to_bytes((v.bit_length() + 7) // 8, "big")


def _sha1(*parts):
    return hashlib.sha1(b"".join(parts)).digest()


def _rsa_pad(data, n, e, rand):
    padded = data + rand(192 - len(data))
    while True:
        temp_key = rand(32)
        with_hash = padded[::-1] + hashlib.sha256(temp_key + padded).digest()
        aes = ext.aes_ige_enc(with_hash, temp_key, bytes(32))
        key_aes = bytes(a ^ b for a, b in zip(temp_key, hashlib.sha256(aes).digest())) + aes
        if int.from_bytes(key_aes, "big") < n:
            return pow(int.from_bytes(key_aes, "big"), e, n).to_bytes(256, "big")


_PRIMES_SEEN = set()  # dh_primes whose prime tests passed (filled by the caller)
_LOW = 1 << 1984


class PyHandshake:
    """start() and receive(body) as velmora.handshake.Handshake, permanent keys only."""

    def __init__(self, keys, dc, rand, clock, factorize=factorize):
        self.keys = {ext._rsa_fingerprint(_be(n), _be(e)): (n, e) for n, e in keys}
        self.dc, self.rand, self.clock, self.factorize, self.step = dc, rand, clock, factorize, 0

    def start(self):
        self.nonce = self.rand(16)
        return struct.pack("<I", 0xBE7E8EF1) + self.nonce

    def receive(self, body):
        self.step += 1
        return (self._res_pq, self._dh_params, self._dh_gen)[self.step - 1](body)

    def _res_pq(self, body):
        assert struct.unpack_from("<I", body)[0] == 0x05162463 and body[4:20] == self.nonce, "nonce differs"
        self.server_nonce = body[20:36]
        pq_bytes, at = _read_tl(body, 36)
        count = struct.unpack_from("<I", body, at + 4)[0]
        fps = struct.unpack_from(f"<{count}q", body, at + 8)
        fp = next(f for f in fps if f in self.keys)
        p, q = self.factorize(int.from_bytes(pq_bytes, "big"))
        self.new_nonce = self.rand(32)
        inner = struct.pack("<I", 0xA9F55F95) + _tl(pq_bytes) + _tl(_be(p)) + _tl(_be(q)) + self.nonce + \
            self.server_nonce + self.new_nonce + struct.pack("<i", self.dc)
        encrypted = _rsa_pad(inner, *self.keys[fp], self.rand)
        return struct.pack("<I", 0xD712E4BE) + self.nonce + self.server_nonce + _tl(_be(p)) + _tl(_be(q)) + \
            struct.pack("<q", fp) + _tl(encrypted)

    def _dh_params(self, body):
        assert body[4:20] == self.nonce and body[20:36] == self.server_nonce
        answer, _ = _read_tl(body, 36)
        nn, sn = self.new_nonce, self.server_nonce
        a, b = _sha1(nn, sn), _sha1(sn, nn)
        self.key, self.iv = a + b[:12], b[12:] + _sha1(nn, nn) + nn[:4]
        plain = ext.aes_ige_dec(answer, self.key, self.iv)
        g = struct.unpack_from("<i", plain, 56)[0]
        prime, at = _read_tl(plain, 60)
        g_a, at = _read_tl(plain, at)
        server_time = struct.unpack_from("<i", plain, at)[0]
        assert _sha1(plain[20:at + 4]) == plain[:20] and plain[24:40] == self.nonce, "answer hash differs"
        self.time_offset = server_time - round(self.clock())
        p, g_a = int.from_bytes(prime, "big"), int.from_bytes(g_a, "big")
        assert p.bit_length() == 2048 and prime in _PRIMES_SEEN and 2 <= g <= 7
        assert {2: p % 8 == 7, 3: p % 3 == 2, 4: True, 5: p % 5 in (1, 4), 6: p % 24 in (19, 23),
                7: p % 7 in (3, 5, 6)}[g]
        assert _LOW <= g_a <= p - _LOW, "g_a out of range"
        self.p, self.g, self.g_a = p, g, g_a
        return self._client_dh(0)

    def _client_dh(self, retry_id):
        while True:
            b = int.from_bytes(self.rand(256), "big")
            g_b = pow(self.g, b, self.p)
            if _LOW <= g_b <= self.p - _LOW:
                break
        self.auth_key = pow(self.g_a, b, self.p).to_bytes(256, "big")
        inner = struct.pack("<I", 0x6643B654) + self.nonce + self.server_nonce + struct.pack("<Q", retry_id) + \
            _tl(g_b.to_bytes(256, "big"))
        data = _sha1(inner) + inner
        data += self.rand(-len(data) % 16) if len(data) % 16 else b""
        return struct.pack("<I", 0xF5045F1F) + self.nonce + self.server_nonce + \
            _tl(ext.aes_ige_enc(data, self.key, self.iv))

    def _dh_gen(self, body):
        assert body[4:20] == self.nonce and body[20:36] == self.server_nonce
        aux = _sha1(self.auth_key)[:8]
        assert body[36:52] == _sha1(self.new_nonce, b"\1", aux)[4:20], "new_nonce_hash1 differs"
        salt = struct.unpack("<q", bytes(x ^ y for x, y in zip(self.new_nonce[:8], self.server_nonce)))[0]
        key_id = int.from_bytes(_sha1(self.auth_key)[12:20], "little")
        return self.auth_key, key_id, salt, self.time_offset, None
