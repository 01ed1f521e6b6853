"""AES-IGE, cut and pack against their ceilings, measured in one run.

The ceilings come from bench_ige (libcrypto through EVP, no Python);
every ratio is computed from this run only. AES-GCM has bench_gcm.
"""

import os
import subprocess
import sys

from timing import BUILD, fmt_ns, per_call_ns, table

import velmora.ext as ext


def ceilings():
    exe = BUILD / "bench_ige"
    out = subprocess.run([str(exe)], capture_output=True, text=True, check=True).stdout
    res = {}
    for line in out.split("\n"):
        if line.strip():
            mode, n, ns = line.split()
            res[(mode, int(n))] = float(ns)
    return res


def mbps(n, ns):
    return f"{n / ns * 1e3:.0f} MB/s"


def check(ok):
    return "ok" if ok else "MISSED"


def main():
    ceil = ceilings()
    key, iv = os.urandom(32), os.urandom(32)
    rows = []
    for n in (1024, 65536, 1 << 20):
        data = os.urandom(n)
        cbc = ceil[("cbc", n)]
        enc = per_call_ns(lambda: ext.aes_ige_enc(data, key, iv))
        dec = per_call_ns(lambda: ext.aes_ige_dec(data, key, iv))
        big = n == 1 << 20
        rows.append([f"IGE enc {n} B", mbps(n, enc), f"EVP CBC {mbps(n, cbc)}",
                     f"{cbc / enc:.2f}", ">= 0.90" if big else "", check(cbc / enc >= 0.90) if big else ""])
        rows.append([f"IGE dec {n} B", mbps(n, dec), f"EVP CBC {mbps(n, cbc)}",
                     f"{cbc / dec:.2f}", ">= 0.75" if big else "", check(cbc / dec >= 0.75) if big else ""])
    b16 = os.urandom(16)
    t = per_call_ns(lambda: ext.aes_ige_enc(b16, key, iv))
    rows.append(["IGE enc 16 B call", fmt_ns(t), "", "", "<= 400 ns", check(t <= 400)])

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
