"""AES-256-GCM next to the cryptography package and libcrypto, in one run.

velmora and cryptography's AESGCM (one object kept for all calls, its
fastest use) are timed in paired rounds of thread CPU time, and the ratio is
the median of the rounds' ratios. The C++ bench_gcm adds libcrypto's EVP as
a stateless caller uses it (a context and the key per call) and velmora's
own seal and open without Python, which tells what the Python call costs.
"""

import os
import statistics
import subprocess
import sys

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from timing import BUILD, fmt_ns, paired_ns, table

import velmora.ext as ext

# Size in bytes: how many times as fast as cryptography velmora must be.
TARGETS = {64: 1.25, 1024: 1.10, 65536: 1.0, 1 << 20: 1.0}


def cxx_times():
    out = subprocess.run([str(BUILD / "bench_gcm")], capture_output=True, text=True, check=True)
    rows = (line.split() for line in out.stdout.splitlines() if line.strip())
    return {(engine, op, int(n)): float(ns) for engine, op, n, ns in rows}


def size_text(n):
    return f"{n >> 20} MiB" if n >= 1 << 20 else f"{n >> 10} KiB" if n >= 1024 else f"{n} B"


def main():
    backend = ext._gcm_backend
    print(f"velmora's AES-GCM backend: {backend}")
    cxx = cxx_times()
    core = "core-ipsec-mb" if backend.startswith("ipsec-mb") else "core-openssl"
    key, nonce, aad = os.urandom(32), os.urandom(12), b""
    theirs = AESGCM(key)
    rows, missed = [], 0
    for n, target in TARGETS.items():
        plain = os.urandom(n)
        sealed = theirs.encrypt(nonce, plain, aad)
        calls = {
            "enc": (lambda: ext.aes_gcm_encrypt(key, nonce, plain, aad),
                    lambda: theirs.encrypt(nonce, plain, aad)),
            "dec": (lambda: ext.aes_gcm_decrypt(key, nonce, sealed, aad),
                    lambda: theirs.decrypt(nonce, sealed, aad)),
        }
        for op, fns in calls.items():
            ours, base = paired_ns(fns, rounds=21)
            ratio = statistics.median(b / o for o, b in zip(ours, base))
            ok = ratio >= target
            missed += not ok
            mine, evp = statistics.median(ours), cxx[("evp", op, n)]
            rows.append([size_text(n), op, fmt_ns(mine), fmt_ns(statistics.median(base)),
                         f"{ratio:.2f}x", f">= {target:.2f}x", "ok" if ok else "MISSED",
                         fmt_ns(cxx[(core, op, n)]), fmt_ns(evp), f"{evp / mine:.2f}x"])
    table(["size", "op", "velmora", "cryptography", "velmora is", "target", "",
           "velmora C++ core", "EVP, key per call", "velmora vs EVP"], rows)
    print(f"{len(rows) - missed} of {len(rows)} targets met")


if __name__ == "__main__":
    sys.exit(main())
