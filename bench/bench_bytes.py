"""The byte helpers cut and pack, measured in one run; pack next to
b''.join. AES-IGE has bench_ige, AES-GCM bench_gcm.
"""

import os
import sys

from timing import fmt_ns, per_call_ns, table

import velmora.ext as ext


def check(ok):
    return "ok" if ok else "MISSED"


def main():
    rows = []
    s = os.urandom(64)
    t = per_call_ns(lambda: ext.cut(s, 8, 16))
    rows.append(["cut 16 B", fmt_ns(t), "", "", "<= 100 ns", check(t <= 100)])
    parts = [os.urandom(100) for _ in range(10)]
    t = per_call_ns(lambda: ext.pack(parts))
    tj = per_call_ns(lambda: b"".join(parts))
    rows.append(["pack 10 x 100 B", fmt_ns(t), f"b''.join {fmt_ns(tj)}", f"{t / tj:.2f}x",
                 "<= 400 ns", check(t <= 400)])
    table(["case", "velmora", "baseline", "ratio", "target", ""], rows)


if __name__ == "__main__":
    sys.exit(main())
