"""velmora.session next to its floor and to the same steps written in Python, in one run.

Session.encrypt of 1 KiB against the floor of its work, SHA-256 of the bytes msg_key covers
and AES-256-IGE of the message, timed alone in C++ (bench/floor, loaded by ctypes so that it
runs on this thread), each round of the one paired with a round of the other. Session.encrypt of 64 B against a session written in
Python (msg_id, seq_no, the envelope from hashlib and velmora's IGE, the key id kept).
Session.decrypt of a container of 20 rpc_results, and of one small message, against
velmora.message.decrypt, the session's checks written in Python and velmora.message.unpack.
Thread CPU time; the ratio is the median of the rounds' ratios, with its interquartile range.
"""

import collections
import ctypes
import os
import statistics
import struct
import subprocess
import sys
import time
import timeit

from bench_message import PyEnvelope
from timing import BUILD, fmt_ns, paired_ns, table

import velmora.ext as ext
from velmora import message
from velmora.session import Session, WINDOW

ROUNDS = 21


class PySession:
    """The session's steps in Python: ids, seq_no, the envelope, the checks, the effects."""

    def __init__(self, key, session_id):
        self.env, self.session_id, self.salt = PyEnvelope(key, True), session_id, 0
        self.last, self.sent = 0, 0
        self.seen, self.order, self.acks, self.pending = set(), collections.deque(), [], {}

    def encrypt(self, body):
        msg_id = max(int(time.time() * 2**32) & ~3, self.last + 4)
        self.last, seq_no, self.sent = msg_id, 2 * self.sent + 1, self.sent + 1
        self.pending[msg_id] = "help.getConfig"
        return msg_id, self.env.encrypt(self.salt, self.session_id, msg_id, seq_no, body)

    def decrypt(self, frame):
        m = self.env.decrypt(frame)
        if m.session_id != self.session_id:
            raise ValueError("session_id is not this session's")
        items = message.unpack(m.msg_id, m.seq_no, m.body, pending=self.pending)
        ids = [m.msg_id] + ([i for i, _, _ in items] if m.body[:4] == b"\xdc\xf8\xf1\x73" else [])
        now = time.time()
        for i in ids:
            if i % 4 not in (1, 3) or not now - 300 <= i >> 32 <= now + 30:
                raise ValueError("msg_id refused")
            if i in self.seen or (len(self.order) == WINDOW and i < self.order[0]):
                raise ValueError("msg_id received already")
        for i in ids:
            self.seen.add(i)
            self.order.append(i)
            if len(self.order) > WINDOW:
                self.seen.discard(self.order.popleft())
        for i, seq, obj in items:
            if seq & 1:
                self.acks.append(i)
            if obj.get("_") == "rpc_result":
                self.pending.pop(obj["req_msg_id"], None)
        return items


FLOOR = ctypes.CDLL(str(BUILD / "libbench_floor.so")).velmora_floor_ns
FLOOR.argtypes, FLOOR.restype = [ctypes.c_size_t, ctypes.c_long], ctypes.c_double


def against_floor(fn, n):
    """Rounds of fn's per-call time and of the C++ floor's (run on this thread), interleaved."""
    timer, empty = timeit.Timer(fn, timer=time.thread_time), timeit.Timer(lambda: None, timer=time.thread_time)
    number = max(1, int(0.02 / (timer.timeit(200) / 200)))
    reps = max(1, int(0.02e9 / FLOOR(n, 200)))
    ours, floor = [], []
    for r in range(ROUNDS):
        if r % 2:
            floor.append(FLOOR(n, reps))
        ours.append((timer.timeit(number) - empty.timeit(number)) / number * 1e9)
        if not r % 2:
            floor.append(FLOOR(n, reps))
    return ours, floor


def frames_from(key, session_id, make_body, count):
    """Frames from the server, each with ids of its own: frame i's messages take 21 ids from
    21 * i on, its own the last."""
    base = (int(time.time()) << 32) + 1
    return iter([message.encrypt(key, 0, session_id, base + 4 * (21 * i + 20), 1, make_body(base + 84 * i),
                                 sender="server") for i in range(count)])


def stats(ratios):
    q = statistics.quantiles(ratios, n=4)
    return statistics.median(ratios), q[0], q[2]


def main():
    key = os.urandom(256)
    rows, missed = [], 0

    def row(work, ours, base, ratios, target, ok_fn, base_name):
        nonlocal missed
        ratio, lo, hi = stats(ratios)
        ok = ok_fn(ratio)
        missed += not ok
        rows.append([work, fmt_ns(statistics.median(ours)), f"{fmt_ns(statistics.median(base))} ({base_name})",
                     f"{ratio:.2f}x ({lo:.2f}-{hi:.2f})", target, "yes" if ok else "MISSED"])

    s = Session(key)
    body = os.urandom(1024)
    ours, floor = against_floor(lambda: s.encrypt(body), 1024)
    row("encrypt 1 KiB", ours, floor, [o / f for o, f in zip(ours, floor)], "<= 1.15x of floor",
        lambda r: r <= 1.15, "floor, C++")

    py = PySession(key, s.session_id)
    small = os.urandom(64)
    assert message.decrypt(key, py.encrypt(small)[1], sender="client").body == small
    ours, base = paired_ns([lambda: s.encrypt(small), lambda: py.encrypt(small)], rounds=ROUNDS)
    row("encrypt 64 B", ours, base, [b / o for o, b in zip(ours, base)], ">= 4x Python", lambda r: r >= 4, "Python")

    peer = ext.dumps({"_": "inputPeerUser", "user_id": 123456789, "access_hash": -987654321})
    container = lambda first: message.pack_container(
        [(first + 4 * j, 2 * j + 1, struct.pack("<Iq", 0xF35C6D01, 500 + j) + peer) for j in range(20)])
    for work, make_body, target in [("decrypt, container of 20 rpc_results", container, 1.5),
                                    ("decrypt, one small message", lambda first: peer, 2.0)]:
        probe = Session(key)
        frames = frames_from(key, probe.session_id, make_body, 200)
        t = timeit.Timer(lambda: probe.decrypt(next(frames)), timer=time.thread_time).timeit(100) / 100
        count = int(ROUNDS * 0.03 / t) + 4000
        sv = Session(key)
        pv = PySession(key, sv.session_id)
        ours_frames = frames_from(key, sv.session_id, make_body, count)
        base_frames = frames_from(key, sv.session_id, make_body, count)
        assert [o for _, _, o in sv.decrypt(next(ours_frames))] == [o for _, _, o in pv.decrypt(next(base_frames))]
        ours, base = paired_ns([lambda: sv.decrypt(next(ours_frames)), lambda: pv.decrypt(next(base_frames))],
                               rounds=ROUNDS, batch_s=0.01)
        row(f"{work} ({len(make_body(0))} B)", ours, base, [b / o for o, b in zip(ours, base)],
            f">= {target}x Python", lambda r, t=target: r >= t, "Python")
    table(["work", "Session", "baseline", "ratio (IQR)", "target", "met"], rows)
    print(f"{len(rows) - missed} of {len(rows)} targets met")
    digests = subprocess.run([str(BUILD / "bench_session"), "digests"], capture_output=True, text=True, check=True)
    print("digests (ns per call): one padded block compressed, low-level, through EVP fetched once:", " | ".join(digests.stdout.splitlines()))


if __name__ == "__main__":
    sys.exit(main())
