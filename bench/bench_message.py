"""The message layer next to the same steps composed in Python, in one run.

The envelope: velmora.message.encrypt and decrypt against hashlib's SHA-256
and SHA-1 with velmora.ext's AES-IGE, the same steps written out in Python
(the auth key id worked out on every call, as velmora does), and against
the same composition keeping the key id from call to call, as a client with
a key object would.
unpack: a container of 20 rpc_results against a Python walk of the container
that decodes each result with velmora.ext.loads. Paired rounds of thread CPU
time; the ratio is the median of the rounds' ratios, with its interquartile
range as the noise.
"""

import hashlib
import hmac
import os
import statistics
import struct
import sys

from timing import fmt_ns, paired_ns, table

import velmora.ext as ext
from velmora import message

INNER = struct.Struct("<qqqii")
ENVELOPE_TARGETS = {64: 3.0, 1024: 3.0, 65536: 1.0}
UNPACK_TARGET = 2.0


class PyEnvelope:
    """The envelope as Python composes it from hashlib and velmora.ext's IGE."""

    def __init__(self, auth_key, keep_id):
        self.key = auth_key
        self.kept = hashlib.sha1(auth_key).digest()[12:20] if keep_id else None

    @property
    def key_id(self):
        return self.kept or hashlib.sha1(self.key).digest()[12:20]

    def derive(self, msg_key, x):
        a = hashlib.sha256(msg_key + self.key[x:x + 36]).digest()
        b = hashlib.sha256(self.key[40 + x:76 + x] + msg_key).digest()
        return a[:8] + b[8:24] + a[24:], b[:8] + a[8:24] + b[24:]

    def encrypt(self, salt, session_id, msg_id, seq_no, body, x=0):
        inner = INNER.pack(salt, session_id, msg_id, seq_no, len(body)) + body
        inner += os.urandom(12 + (-(len(inner) + 12)) % 16)
        msg_key = hashlib.sha256(self.key[88 + x:120 + x] + inner).digest()[8:24]
        key, iv = self.derive(msg_key, x)
        return self.key_id + msg_key + ext.aes_ige_enc(inner, key, iv)

    def decrypt(self, frame, x=8):
        if len(frame) < 56 or (len(frame) - 24) % 16 or frame[:8] != self.key_id:
            raise ValueError("frame refused")
        msg_key = frame[8:24]
        key, iv = self.derive(msg_key, x)
        plain = ext.aes_ige_dec(frame[24:], key, iv)
        if not hmac.compare_digest(hashlib.sha256(self.key[88 + x:120 + x] + plain).digest()[8:24], msg_key):
            raise ValueError("msg_key differs")
        salt, session_id, msg_id, seq_no, n = INNER.unpack_from(plain)
        if n < 0 or n % 4 or n > len(plain) - 32 or not 12 <= len(plain) - 32 - n <= 1024:
            raise ValueError("length refused")
        return message.Message(salt, session_id, msg_id, seq_no, plain[32:32 + n])


def py_unpack(msg_id, seq_no, body):
    """A container of rpc_results split and decoded in Python around ext.loads."""
    cid, count = struct.unpack_from("<II", body)
    if cid != 0x73F1F8DC:
        return [(msg_id, seq_no, ext.loads(body))]
    out, pos = [], 8
    for _ in range(count):
        mid, seq, n = struct.unpack_from("<qii", body, pos)
        pos += 16
        part = body[pos:pos + n]
        pos += n
        if part[:4] == b"\x01\x6d\x5c\xf3":
            obj = {"_": "rpc_result", "req_msg_id": struct.unpack_from("<q", part, 4)[0],
                   "result": ext.loads(part[12:])}
        else:
            obj = ext.loads(part)
        out.append((mid, seq, obj))
    return out


def ratio_row(fns):
    """Medians of velmora's time, of each baseline's, of the rounds' ratios to the first
    baseline, and that ratio's quartiles."""
    ours, *bases = paired_ns(fns, rounds=21)
    ratios = sorted(b / o for o, b in zip(ours, bases[0]))
    q = statistics.quantiles(ratios, n=4)
    kept = [statistics.median(b / o for o, b in zip(ours, base)) for base in bases[1:]]
    return statistics.median(ours), statistics.median(bases[0]), statistics.median(ratios), q[0], q[2], kept


def main():
    auth_key = os.urandom(256)
    py, kept = PyEnvelope(auth_key, False), PyEnvelope(auth_key, True)
    rows, missed = [], 0
    for n, target in ENVELOPE_TARGETS.items():
        body = os.urandom(n)
        frame = message.encrypt(auth_key, 1, 2, 3, 4, body, sender="server")
        assert py.decrypt(frame) == message.decrypt(auth_key, frame)
        assert message.decrypt(auth_key, py.encrypt(1, 2, 3, 4, body), sender="client").body == body
        for op, fns in {"encrypt": (lambda: message.encrypt(auth_key, 1, 2, 3, 4, body),
                                    lambda: py.encrypt(1, 2, 3, 4, body), lambda: kept.encrypt(1, 2, 3, 4, body)),
                        "decrypt": (lambda: message.decrypt(auth_key, frame),
                                    lambda: py.decrypt(frame), lambda: kept.decrypt(frame))}.items():
            ours, base, ratio, lo, hi, (kept_ratio,) = ratio_row(fns)
            ok = ratio >= target
            missed += not ok
            rows.append([f"{op} {n} B", fmt_ns(ours), fmt_ns(base), f"{ratio:.2f}x ({lo:.2f}-{hi:.2f})",
                         f">= {target:.1f}x", "yes" if ok else "MISSED", f"{kept_ratio:.2f}x"])
    peer = ext.dumps({"_": "inputPeerUser", "user_id": 123456789, "access_hash": -987654321})
    results = [(1000 + i, 2 * i + 1, struct.pack("<Iq", 0xF35C6D01, 500 + i) + peer) for i in range(20)]
    body = message.pack_container(results)
    pending = {500 + i: "help.getConfig" for i in range(20)}
    assert message.unpack(0, 0, body, pending=pending) == py_unpack(0, 0, body)
    ours, base, ratio, lo, hi, _ = ratio_row((lambda: message.unpack(0, 0, body, pending=pending),
                                              lambda: py_unpack(0, 0, body)))
    ok = ratio >= UNPACK_TARGET
    missed += not ok
    rows.append([f"unpack, 20 rpc_results ({len(body)} B)", fmt_ns(ours), fmt_ns(base),
                 f"{ratio:.2f}x ({lo:.2f}-{hi:.2f})", f">= {UNPACK_TARGET:.1f}x", "yes" if ok else "MISSED", ""])
    table(["work", "velmora", "Python, same steps", "velmora is (IQR)", "target", "met",
           "vs Python keeping the key id"], rows)
    print(f"{len(rows) - missed} of {len(rows)} targets met")


if __name__ == "__main__":
    sys.exit(main())
