"""Two threads encoding pages of 1,000 messages at once (each its own dicts)
against one thread encoding them alone: the throughput the second core adds.

A thread's CPU time per page, alone and beside the other, shows what running
together costs it (cache lines taken from each other, contended atomics):
two threads' throughput over one's is 2 x alone / together, as long as
neither waits for the other. A wait on the GIL or a lock spends no CPU time,
so each thread also counts the times it gave up the processor (voluntary
context switches): near none per page means it never waited. Wall time on a
machine shared with other work says little (printed all the same). Rounds
alternate one and two threads; medians over the rounds.
"""

import resource
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


def encode(p, spent, start):
    start.wait()
    waits = resource.getrusage(resource.RUSAGE_THREAD).ru_nvcsw
    cpu = time.thread_time()
    for _ in range(PAGES):
        ext.serialize_constructor("messages.messages", p)
    spent.append((time.thread_time() - cpu, resource.getrusage(resource.RUSAGE_THREAD).ru_nvcsw - waits))


def timed(pages):
    """For len(pages) threads each encoding its page PAGES times: the wall seconds, a thread's CPU seconds
    per page and its waits per page (means over the threads)."""
    spent = []
    start = threading.Barrier(len(pages))
    threads = [threading.Thread(target=encode, args=(p, spent, start)) for p in pages]
    wall = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    n = len(pages) * PAGES
    return time.perf_counter() - wall, sum(c for c, _ in spent) / n, sum(w for _, w in spent) / n


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
    speedup = [2 * a[1] / b[1] for a, b in zip(one, two)]
    q = statistics.quantiles(speedup, n=4)
    r = statistics.median(speedup)
    waits = statistics.median(b[2] for b in two)
    wall = statistics.median(2 * a[0] / b[0] for a, b in zip(one, two))
    met = "-" if gil else "yes" if r >= 1.7 and waits < 1 else "MISSED"
    table(["work", "CPU per page, alone", "beside another", "throughput 2 / 1 (IQR)", "target", "met",
           "waits per page, 2 threads", "wall 2 / 1"],
          [(f"encode pages of 1,000 messages, {PAGES} a round", f"{statistics.median(a[1] for a in one) * 1e3:.2f} ms",
            f"{statistics.median(b[1] for b in two) * 1e3:.2f} ms", f"{r:.2f} ({q[0]:.2f}-{q[2]:.2f})",
            "-" if gil else ">= 1.70, no waits", met, f"{waits:.2f}", f"{wall:.2f}")])
    print(f"GIL {'enabled' if gil else 'disabled'}; thread CPU time, {ROUNDS} rounds of one and two threads in turn;"
          " medians.")


if __name__ == "__main__":
    main()
