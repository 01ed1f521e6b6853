"""One build against another: the codec and message rows of `make bench`, each
timed in both builds in the same paired rounds of thread CPU time (one process,
the two modules loaded side by side). For a change that must not slow anything:

    VELMORA_BEFORE=<other tree>/build/bench-abi3-3.10/python/velmora/ext.abi3.so \
    VELMORA_AFTER=build/bench-abi3-3.10/python/velmora/ext.abi3.so \
    .venv-bench/bin/python bench/before_after.py

Prints the median per call of each and the median and IQR of the per-round
ratio after / before; outputs are checked to be the same first.
"""

import importlib.machinery
import importlib.util
import os
import statistics
import sys

from bench_codec import NINE, ONE, PAGE
from timing import fmt_ns, paired_ns, table

ROUNDS = 21
KEY = bytes(range(256))


def load(tag, path):
    import velmora.ext  # bench_codec's, by PYTHONPATH: a library loads once per process
    if os.path.samefile(velmora.ext.__file__, path):
        velmora.ext.load_schema(NINE)
        return velmora.ext
    loader = importlib.machinery.ExtensionFileLoader(f"{tag}.ext", path)
    module_spec = importlib.util.spec_from_file_location(f"{tag}.ext", path, loader=loader)
    module = importlib.util.module_from_spec(module_spec)
    loader.exec_module(module)
    module.load_schema(NINE)
    return module


def rows(ext):
    one = ext.serialize_constructor("message", ONE)
    page = ext.serialize_constructor("messages.messages", PAGE)
    frame = ext._encrypt(KEY, 1, 2, 3, 4, one, padding=bytes(12 + (-len(one) - 44) % 16))
    return [
        ("encode one message", lambda: ext.serialize_constructor("message", ONE)),
        ("encode a page of 1,000", lambda: ext.serialize_constructor("messages.messages", PAGE)),
        ("strict encode one message", lambda: ext._serialize_constructor("message", ONE)),
        ("decode one message", lambda: ext.loads(one)),
        ("decode a page of 1,000", lambda: ext.loads(page)),
        ("encrypt one message", lambda: ext._encrypt(KEY, 1, 2, 3, 4, one)),
        ("decrypt one message", lambda: ext._decrypt(KEY, frame, sender="client")),
        ("unpack one message", lambda: ext._unpack(5, 6, one, None, 1 << 20)),
    ]


def main():
    before = rows(load("before", os.environ["VELMORA_BEFORE"]))
    after = rows(load("after", os.environ["VELMORA_AFTER"]))
    out = []
    for (name, b), (_, a) in zip(before, after):
        if not name.startswith("encrypt"):  # random padding: the lengths alone agree
            assert b() == a(), name
        tb, ta = paired_ns([b, a], rounds=ROUNDS)
        ratios = sorted(x / y for x, y in zip(ta, tb) if y > 0)
        q = statistics.quantiles(ratios, n=4)
        out.append((name, fmt_ns(statistics.median(tb)), fmt_ns(statistics.median(ta)),
                    f"{statistics.median(ratios):.3f}", f"{q[0]:.3f}-{q[2]:.3f}"))
    table(["work", "before", "after", "after / before (median)", "IQR"], out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
