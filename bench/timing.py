"""Shared timing helpers for the benchmarks (best of several repeats, or
paired rounds of thread CPU time)."""

import os
import pathlib
import time
import timeit

BUILD = pathlib.Path(os.environ.get("VELMORA_BUILD", "build/release"))

# The compiled-in schema document: what benches that load another one put back.
DEFAULT_SCHEMA = (pathlib.Path(__file__).resolve().parents[1] / "src/schema/default_schema.json").read_text()


def _best_ns(fn, min_time, repeat):
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    number = max(number, int(number * min_time / 0.2))
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


_OVERHEAD = []


def call_overhead_ns():
    """What calling an empty lambda costs: the timing loop's own share."""
    if not _OVERHEAD:
        _OVERHEAD.append(_best_ns(lambda: None, 0.2, 7))
    return _OVERHEAD[0]


def per_call_ns(fn, *, min_time=0.2, repeat=5):
    """Best per-call time of fn() in nanoseconds, less the cost of calling the
    empty lambda that wraps it (the same correction for the baselines)."""
    return max(_best_ns(fn, min_time, repeat) - call_overhead_ns(), 0.0)


def fmt_ns(ns):
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.0f} ns"


def table(headers, rows):
    """Prints a Markdown table."""
    widths = [max(len(str(x)) for x in col) for col in zip(headers, *rows)]
    line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"
    print(line(headers))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))


def paired_ns(fns, *, rounds=15, batch_s=0.02):
    """Per-call thread CPU time of each fn() in ns, one list per fn with one
    entry per round. Every round times each fn over a batch of calls, in an
    order that turns from round to round, and takes off what an empty call
    cost in that same round; so the lists pair up round by round."""
    timers = [timeit.Timer(f, timer=time.thread_time) for f in [lambda: None, *fns]]
    numbers = []
    for t in timers:
        number = 1
        while (spent := t.timeit(number)) < batch_s / 10:
            number *= 10
        numbers.append(max(1, int(number * batch_s / spent)))
    out = [[] for _ in fns]
    for r in range(rounds):
        order = list(range(len(timers)))
        order = order[r % len(order):] + order[: r % len(order)]
        per_call = {}
        for i in order:
            per_call[i] = timers[i].timeit(numbers[i]) / numbers[i] * 1e9
        for i in range(len(fns)):
            out[i].append(max(per_call[i + 1] - per_call[0], 0.0))
    return out
