"""What strictness costs: the package's defaults (velmora.serialize_constructor and
velmora.loads, strict) against the lenient velmora.ext functions, on the channel
message and the 1,000-message page of bench_codec, with the document's constructor
types, so that every nested object's type is checked. Paired rounds of thread CPU
time in one run; the ratio is the median of the rounds' ratios. Outputs are
compared first."""

import statistics

from bench_codec import NINE as SCHEMA, ONE, PAGE
from timing import DEFAULT_SCHEMA, fmt_ns, paired_ns, table

import velmora
import velmora.ext as ext

ROUNDS = 21
TARGET = {"encode": 1.10, "decode": 1.05}


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
        data = ext.serialize_constructor(name, obj)
        pairs = [("encode", lambda: velmora.serialize_constructor(name, obj),
                  lambda: ext.serialize_constructor(name, obj)),
                 ("decode", lambda: velmora.loads(data), lambda: ext.loads(data))]
        for what, strict, lenient in pairs:
            if strict() != lenient():
                raise SystemExit(f"{what} {work}: strict and lenient outputs differ")
            t_strict, t_lenient = paired_ns([strict, lenient], rounds=ROUNDS)
            r = [a / b for a, b in zip(t_strict, t_lenient)]
            q = statistics.quantiles(r, n=4)
            ratio = statistics.median(r)
            rows.append((f"{what} {work}", fmt_ns(statistics.median(t_strict)),
                         fmt_ns(statistics.median(t_lenient)), f"{ratio:.3f} ({q[0]:.3f}-{q[2]:.3f})",
                         f"<= {TARGET[what]:.2f}", "yes" if ratio <= TARGET[what] else "MISSED"))
    table(["work", "strict", "lenient", "strict / lenient (IQR)", "target", "met"], rows)
    print(f"Thread CPU time, {ROUNDS} paired rounds; each ratio is the median of the rounds' ratios.")


if __name__ == "__main__":
    main()
