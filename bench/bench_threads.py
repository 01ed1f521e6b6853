"""Two threads encoding pages of 1,000 messages at once (each its own dicts)
against one thread encoding them alone: the throughput the second core adds.

On a GIL build the ratio stays near 1; the free-threaded build runs both
threads at once. Throughput is work over wall time, the one clock that sees
threads wait for each other (a thread blocked on the GIL or a lock spends no
CPU time); each round's thread CPU time is printed beside it, since the
machine is shared and a low ratio with low CPU use means another process
held a core. Rounds alternate one and two threads; medians over the rounds.
"""

import statistics
import sys
import threading
import time

from bench_codec import NINE, message
from timing import DEFAULT_SCHEMA, table

import velmora.ext as ext

ROUNDS = 15
PAGES = 12  # per thread and round: some 0.1 s of work


def page(thread):
    return {"messages": [message(thread * 1000 + i) for i in range(1000)], "chats": [], "users": []}


def encode(p, spent):
    start = time.thread_time()
    for _ in range(PAGES):
        ext.serialize_constructor("messages.messages", p)
    spent.append(time.thread_time() - start)


def timed(pages):
    """Wall seconds for len(pages) threads each encoding its page PAGES times, and their CPU seconds."""
    spent = []
    threads = [threading.Thread(target=encode, args=(p, spent)) for p in pages]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - start, sum(spent)


def main():
    ext.load_schema(NINE)
    try:
        run()
    finally:
        ext.load_schema(DEFAULT_SCHEMA)


def run():
    pages = [page(0), page(1)]
    if ext.serialize_constructor("messages.messages", pages[0]) == ext.serialize_constructor("messages.messages",
                                                                                             pages[1]):
        raise SystemExit("the two threads' pages must differ")
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    one, two = [], []
    for r in range(ROUNDS):
        order = [(one, pages[:1]), (two, pages)]
        for out, ps in order if r % 2 else order[::-1]:
            out.append(timed(ps))
    speedup = [2 * a[0] / b[0] for a, b in zip(one, two)]
    q = statistics.quantiles(speedup, n=4)
    parallel = statistics.median(b[1] / b[0] for b in two)
    r = statistics.median(speedup)
    target = "-" if gil else ">= 1.70"
    table(["work", "1 thread (wall)", "2 threads (wall)", "throughput 2 / 1 (IQR)", "target", "met",
           "CPU / wall, 2 threads"],
          [(f"encode pages, {PAGES} each", f"{statistics.median(a[0] for a in one) * 1e3:.1f} ms",
            f"{statistics.median(b[0] for b in two) * 1e3:.1f} ms", f"{r:.2f} ({q[0]:.2f}-{q[2]:.2f})", target,
            "-" if gil else "yes" if r >= 1.7 else "MISSED", f"{parallel:.2f}")])
    print(f"GIL {'enabled' if gil else 'disabled'}; {ROUNDS} rounds, one and two threads in turn; medians.")


if __name__ == "__main__":
    main()
