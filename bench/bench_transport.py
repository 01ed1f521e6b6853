"""The transport's ciphers and codecs next to their peers, in one run.

- Ctr.update against tgcrypto.ctr256_encrypt and cryptography's CTR encryptor kept from call to call;
- cbc_encrypt / cbc_decrypt against tgcrypto.cbc256_*;
- Obfuscated(Intermediate()).feed of 1 MiB arriving in 16 KiB chunks, against the same in Python with
  cryptography's CTR and struct;
- the floor: Ctr.update of 1 MiB against libcrypto's own CTR in C++ (bench_ctr, this run).

Every pair is checked to give the same bytes, then timed in paired rounds of thread CPU time
(timing.paired_ns); a ratio is the median over the rounds of the peer's time over velmora's, with its
interquartile range.
"""

import os
import statistics
import struct
import subprocess
import sys

import tgcrypto
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

from timing import BUILD, fmt_ns, paired_ns, table

import velmora.crypto as vc
import velmora.transport as vt

SIZES = [64, 1024, 65536, 1 << 20]
# Size: the least ratio to meet against tgcrypto, against cryptography.
CTR_TARGETS = {64: (1.5, 1.3), 1024: (1.5, 1.3), 65536: (1.5, 1.0), 1 << 20: (1.5, 1.0)}
CBC_TARGET = 1.5
FEED_TARGETS = {1024: 3.0, 512 * 1024: 1.0}
FLOOR_TARGET = 0.9
ROUNDS = 21


def size_text(n):
    return f"{n >> 20} MiB" if n >= 1 << 20 else f"{n >> 10} KiB" if n >= 1024 else f"{n} B"


def quartiles(xs):
    q = statistics.quantiles(xs, n=4)
    return q[0], statistics.median(xs), q[2]


def ratio_cell(ours, theirs, target):
    lo, r, hi = quartiles([b / a for a, b in zip(ours, theirs)])
    return f"{r:.2f} ({lo:.2f}-{hi:.2f})", f">= {target:.2f}", "yes" if r >= target else "MISSED", r >= target


def ctr_rows(key, iv):
    rows, missed = [], 0
    for n in SIZES:
        data = os.urandom(n)
        ours, crypt = vc.Ctr(key, iv), Cipher(algorithms.AES(key), modes.CTR(iv)).encryptor()
        tg_iv, tg_state = bytearray(iv), bytearray(1)
        check = [ours.update(data), crypt.update(data), tgcrypto.ctr256_encrypt(data, key, tg_iv, tg_state)]
        if len(set(check)) != 1:
            raise SystemExit(f"CTR of {n} bytes: the three disagree")
        t_ours, t_crypt, t_tg = paired_ns([lambda: ours.update(data), lambda: crypt.update(data),
                                          lambda: tgcrypto.ctr256_encrypt(data, key, tg_iv, tg_state)],
                                         rounds=ROUNDS)
        tg_target, crypt_target = CTR_TARGETS[n]
        tg = ratio_cell(t_ours, t_tg, tg_target)
        cr = ratio_cell(t_ours, t_crypt, crypt_target)
        missed += (not tg[3]) + (not cr[3])
        rows.append([size_text(n), fmt_ns(statistics.median(t_ours)), fmt_ns(statistics.median(t_tg)), *tg[:3],
                     fmt_ns(statistics.median(t_crypt)), *cr[:3]])
    return rows, missed


def cbc_rows(key, iv):
    rows, missed = [], 0
    for n in SIZES:
        data = os.urandom(n)
        for op, ours, theirs in (("enc", vc.cbc_encrypt, tgcrypto.cbc256_encrypt),
                                 ("dec", vc.cbc_decrypt, tgcrypto.cbc256_decrypt)):
            # tgcrypto writes the last block into the iv it is given, bytes or not: a copy each.
            if ours(data, key, iv) != theirs(data, key, bytes(bytearray(iv))):
                raise SystemExit(f"CBC {op} of {n} bytes: the two disagree")
            tg_iv = bytes(bytearray(iv))
            t_ours, t_tg = paired_ns([lambda: ours(data, key, iv), lambda: theirs(data, key, tg_iv)], rounds=ROUNDS)
            cell = ratio_cell(t_ours, t_tg, CBC_TARGET)
            missed += not cell[3]
            rows.append([size_text(n), op, fmt_ns(statistics.median(t_ours)), fmt_ns(statistics.median(t_tg)),
                         *cell[:3]])
    return rows, missed


def python_feed(header, chunks):
    """The receiving side of obfuscated intermediate in Python: cryptography's CTR and struct."""
    ctx = Cipher(algorithms.AES(header[8:40]), modes.CTR(header[40:56])).decryptor()
    ctx.update(header)
    buf, out, length = bytearray(), [], struct.Struct("<I")
    for chunk in chunks:
        buf += ctx.update(chunk)
        while len(buf) >= 4:
            n = length.unpack_from(buf)[0]
            if len(buf) < 4 + n:
                break
            out.append(bytes(buf[4:4 + n]))
            del buf[:4 + n]
    return out


def velmora_feed(header, chunks):
    _, _, server = vt.Obfuscated.accept(header)
    out = []
    for chunk in chunks:
        out += server.feed(chunk)
    return out


def feed_rows():
    rows, missed = [], 0
    for packet, target in FEED_TARGETS.items():
        client = vt.Obfuscated(vt.Intermediate())
        header = client.start()
        packets = [os.urandom(packet) for _ in range((1 << 20) // packet)]
        stream = b"".join(map(client.pack, packets))
        chunks = [stream[i:i + 16384] for i in range(0, len(stream), 16384)]
        if not velmora_feed(header, chunks) == python_feed(header, chunks) == packets:
            raise SystemExit(f"feed of {packet}-byte packets: the two disagree")
        t_ours, t_py = paired_ns([lambda: velmora_feed(header, chunks), lambda: python_feed(header, chunks)],
                                 rounds=ROUNDS)
        cell = ratio_cell(t_ours, t_py, target)
        missed += not cell[3]
        rows.append([f"1 MiB in 16 KiB chunks, {size_text(packet)} packets", fmt_ns(statistics.median(t_ours)),
                     fmt_ns(statistics.median(t_py)), *cell[:3]])
    return rows, missed


def floor_row(key, iv):
    out = subprocess.run([str(BUILD / "bench_ctr")], capture_output=True, text=True, check=True)
    cxx = {(engine, int(n)): float(v) for engine, n, v in (line.split() for line in out.stdout.splitlines())}
    n = 1 << 20
    data, ours = os.urandom(n), vc.Ctr(key, iv)
    (t_ours,) = paired_ns([lambda: ours.update(data)], rounds=ROUNDS)
    lo, med, hi = quartiles([cxx[("evp-ctr", n)] / t for t in t_ours])
    met = med >= FLOOR_TARGET
    return [["Ctr.update 1 MiB vs libcrypto's CTR in C++", fmt_ns(statistics.median(t_ours)),
             fmt_ns(cxx[("evp-ctr", n)]), fmt_ns(cxx[("core", n)]), f"{med:.2f} ({lo:.2f}-{hi:.2f})",
             f">= {FLOOR_TARGET:.2f}", "yes" if met else "MISSED"]], not met


def main():
    print(f"velmora's AES-CTR backend: {vc._ext._ctr_backend}")
    key, iv = os.urandom(32), os.urandom(16)
    rows, m1 = ctr_rows(key, iv)
    table(["size", "Ctr.update", "tgcrypto", "tgcrypto / velmora (IQR)", "target", "met", "cryptography",
           "cryptography / velmora (IQR)", "target", "met"], rows)
    print()
    cbc, m2 = cbc_rows(key, iv)
    table(["size", "op", "velmora", "tgcrypto", "tgcrypto / velmora (IQR)", "target", "met"], cbc)
    print()
    feed, m3 = feed_rows()
    table(["Obfuscated(Intermediate()).feed", "velmora", "Python + cryptography", "Python / velmora (IQR)",
           "target", "met"], feed)
    print()
    floor, m4 = floor_row(key, iv)
    table(["case", "velmora", "libcrypto C++", "velmora C++ core", "C++ / velmora (IQR)", "target", "met"], floor)
    total = 2 * len(rows) + len(cbc) + len(feed) + len(floor)
    print(f"{total - m1 - m2 - m3 - m4} of {total} targets met")


if __name__ == "__main__":
    sys.exit(main())
