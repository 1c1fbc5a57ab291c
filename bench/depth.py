"""Time per event of velmora and the plain engine on the same events against a small and a
large book: what the larger heap costs both engines, which bounds the time ratios of the
flows on 100 000-order books (cancel-keep, add-existing) below their instruction ratios.

    python bench/depth.py [--repeats 5]

cancel-keep cancels 2 000 orders from a book built by 4 000 events, then from one built by
100 000 (the benchmark's); add-existing times its first 2 000 adds, then all 100 000.
"""

import argparse
import gc
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# The flows and the plain book live in reference/, shared with the tests and the build.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "reference"))

import flows  # noqa: E402
import plain  # noqa: E402
import velmora.orderbook as vm  # noqa: E402

ENGINES = {"velmora": (vm.OrderBook, vm.Order), "plain": (plain.OrderBook, plain.Order)}
CASES = [
    ("cancel-keep, 4 000-event book", lambda: flows.cancels_keeping_levels(13, 4_000), 2_000),
    ("cancel-keep, 100 000-event book", lambda: flows.cancels_keeping_levels(13, 100_000), 2_000),
    ("add-existing, first 2 000 adds", lambda: flows.adds_at_existing_levels(11, 100_000), 2_000),
    ("add-existing, all 100 000 adds", lambda: flows.adds_at_existing_levels(11, 100_000), 100_000),
]


def per_event(engine, built, n):
    book_type, order_type = ENGINES[engine]
    book, orders = book_type(), []
    flows.replay(book, order_type, built.setup, orders)
    events = built.events[:n]
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        flows.replay(book, order_type, events, orders)
        return (time.perf_counter_ns() - start) / n
    finally:
        gc.enable()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    print(f"{'case':<34} {'velmora ns':>10} {'plain ns':>9} {'plain/velmora':>14}")
    for title, build, n in CASES:
        built = build()
        got = {e: [] for e in ENGINES}
        for _ in range(args.repeats):
            for engine in ENGINES:  # interleaved
                got[engine].append(per_event(engine, built, n))
        v, p = statistics.median(got["velmora"]), statistics.median(got["plain"])
        print(f"{title:<34} {v:>10.0f} {p:>9.0f} {p / v:>14.2f}")
    print(f"median of {args.repeats} interleaved repeats, nanoseconds per event")


if __name__ == "__main__":
    main()
