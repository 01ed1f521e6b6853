"""What strict encoding costs: the package's default (velmora.serialize_constructor,
strict) against the lenient velmora.ext function, on the channel message and the
1,000-message page of bench_codec, with the document's constructor types, so that
every nested object's type is checked. Paired rounds of thread CPU time in one
run; the ratio is the median of the rounds' ratios. Outputs are compared first."""

import statistics

from bench_codec import NINE as SCHEMA, ONE, PAGE
from timing import DEFAULT_SCHEMA, fmt_ns, paired_ns, table

import velmora
import velmora.ext as ext

ROUNDS = 21
TARGET = 1.10


def main():
    ext.load_schema(SCHEMA)
    try:
        run()
    finally:
        ext.load_schema(DEFAULT_SCHEMA)


def run():
    rows = []
    for work, obj in [("one message", ONE), ("1,000 messages", PAGE)]:
        name = obj.get("_", "messages.messages")
        strict = lambda: velmora.serialize_constructor(name, obj)
        lenient = lambda: ext.serialize_constructor(name, obj)
        if strict() != lenient():
            raise SystemExit(f"{work}: strict and lenient bytes differ")
        t_strict, t_lenient = paired_ns([strict, lenient], rounds=ROUNDS)
        r = [a / b for a, b in zip(t_strict, t_lenient)]
        q = statistics.quantiles(r, n=4)
        ratio = statistics.median(r)
        rows.append((f"encode {work}", fmt_ns(statistics.median(t_strict)),
                     fmt_ns(statistics.median(t_lenient)), f"{ratio:.3f} ({q[0]:.3f}-{q[2]:.3f})",
                     f"<= {TARGET:.2f}", "yes" if ratio <= TARGET else "MISSED"))
    table(["work", "strict", "lenient", "strict / lenient (IQR)", "target", "met"], rows)
    print(f"Thread CPU time, {ROUNDS} paired rounds; each ratio is the median of the rounds' ratios.")


if __name__ == "__main__":
    main()
