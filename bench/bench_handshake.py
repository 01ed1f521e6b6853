"""The key exchange: factorize against cryptg, and the client's side of a whole exchange
against the same steps in Python, in one run.

factorize and cryptg.factorize_pq_pair take the same 1,000 products of two primes of 31 to
32 bits (a fixed seed), checked to agree, then timed over all 1,000 in paired rounds of
thread CPU time; a pure-Python Pollard-Brent (bench/pure_handshake.py) is timed on the
first 50 beside velmora on the same 50, for scale. The exchange is the first known one of
handshake.json, replayed from its draws with the server's answers precomputed, the prime
tests already kept (as in a running client); bench/pure_handshake.py's Python client
(pow, hashlib, velmora's IGE) does the same steps, once with its own Pollard-Brent and once
with velmora's factorize. The first exchange of a fresh process, which pays for the prime
tests, is timed in a few subprocesses.
"""

import json
import pathlib
import random
import statistics
import subprocess
import sys

import cryptg

import pure_handshake
from timing import fmt_ns, paired_ns, table

from velmora import handshake

ROOT = pathlib.Path(__file__).resolve().parents[1]
VECTORS = json.loads((ROOT / "tests" / "vectors" / "handshake.json").read_text())
EXCHANGE = VECTORS["exchanges"][0]
KEY = (int(VECTORS["rsa_test_key"]["n"], 16), VECTORS["rsa_test_key"]["e"])
FACTORIZE_TARGET, EXCHANGE_TARGET = 2.0, 2.0
ROUNDS = 11


def semiprimes(count, seed=32):
    rng, out = random.Random(seed), []
    while len(out) < count:
        p, q = (rng.randrange(2**30 + 1, 2**32, 2) for _ in range(2))
        if pure_handshake._is_prime(p) and pure_handshake._is_prime(q):
            out.append(p * q)
    return out


def iqr(xs):
    q = statistics.quantiles(xs, n=4)
    return q[2] - q[0]


def ratio_row(name, ours, base, target, per):
    ratios = [b / o for o, b in zip(ours, base)]
    r = statistics.median(ratios)
    ok = target is None or r >= target
    return [name, fmt_ns(statistics.median(ours) / per), fmt_ns(statistics.median(base) / per),
            f"{r:.2f}x (IQR {iqr(ratios):.2f})", "-" if target is None else f">= {target:.1f}x",
            "ok" if ok else "MISSED"], ok


def factorize_rows():
    values = semiprimes(1000)
    for v in values:
        assert handshake.factorize(v) == tuple(sorted(cryptg.factorize_pq_pair(v))), v
    assert all(pure_handshake.factorize(v) == handshake.factorize(v) for v in values[:50])
    ours, theirs = paired_ns([lambda: [handshake.factorize(v) for v in values],
                              lambda: [cryptg.factorize_pq_pair(v) for v in values]], rounds=ROUNDS)
    few = values[:50]
    ours50, pure = paired_ns([lambda: [handshake.factorize(v) for v in few],
                              lambda: [pure_handshake.factorize(v) for v in few]], rounds=5)
    row1, ok = ratio_row("factorize, per value of 1,000: cryptg", ours, theirs, FACTORIZE_TARGET, 1000)
    row2, _ = ratio_row("factorize, per value of 50: pure Python", ours50, pure, None, 50)
    return [row1, row2], ok


def replay(draws):
    left = [bytes.fromhex(d) for d in draws]
    return lambda n: left.pop(0)


def run(make):
    hs = make()
    out = hs.start()
    for reply in EXCHANGE["replies"]:
        out = hs.receive(bytes.fromhex(reply))
    return out


def ours():
    return handshake.Handshake([KEY], dc=EXCHANGE["dc"], rand=replay(EXCHANGE["client_random"]),
                               clock=lambda: EXCHANGE["clock"])


def python(factorize):
    return lambda: pure_handshake.PyHandshake([KEY], EXCHANGE["dc"], replay(EXCHANGE["client_random"]),
                                              lambda: EXCHANGE["clock"], factorize)


FIRST = """
import json, sys, time
sys.path.insert(0, {bench!r})
import bench_handshake as b
t = time.thread_time_ns(); b.run(b.ours); print(time.thread_time_ns() - t)
"""


def first_exchange_ns(runs=5):
    code = FIRST.format(bench=str(pathlib.Path(__file__).resolve().parent))
    times = [int(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout)
             for _ in range(runs)]
    return statistics.median(times), iqr(times)


def exchange_rows():
    pure_handshake._PRIMES_SEEN.add(bytes.fromhex(VECTORS["dh_params"][0]["p"]))
    want = run(ours)
    assert tuple(want) == run(python(pure_handshake.factorize)) == run(python(handshake.factorize))
    mine, pure, mixed = paired_ns([lambda: run(ours), lambda: run(python(pure_handshake.factorize)),
                                   lambda: run(python(handshake.factorize))], rounds=ROUNDS)
    row1, ok1 = ratio_row("exchange: Python steps", mine, pure, EXCHANGE_TARGET, 1)
    row2, ok2 = ratio_row("exchange: Python steps, velmora's factorize", mine, mixed, EXCHANGE_TARGET, 1)
    return [row1, row2], ok1 and ok2


def main():
    rows1, ok1 = factorize_rows()
    rows2, ok2 = exchange_rows()
    table(["what", "velmora", "baseline", "velmora is", "target", ""], rows1 + rows2)
    first, spread = first_exchange_ns()
    print(f"first exchange of a process (the two prime tests of dh_prime included): {fmt_ns(first)} "
          f"median of 5 processes (IQR {fmt_ns(spread)})")
    print(f"{int(ok1) + int(ok2)} of 2 targets met")


if __name__ == "__main__":
    sys.exit(main())
