"""Whole-book pickling against copy.deepcopy, on deep books of growing size.

    python bench/snapshots.py [--sizes 25000,50000,100000,200000] [--repeats 5]

Each book rests the given number of orders, ten a level, on both sides. For each size the
table gives the median (min-max) time of pickle.dumps (highest protocol), pickle.loads and
copy.deepcopy, the pickle's size, and the dump time per resting order, which stays flat
when the time is linear in the book's size. Collection of garbage is off inside the timed
calls. The machines are shared and noisy: compare figures from one run.
"""

import argparse
import copy
import gc
import pickle
import statistics
import time

from velmora import flows
from velmora.orderbook import Order, OrderBook


def deep_book(size):
    book = OrderBook()
    for k in range(size):
        side = k % 2
        step = k // 20  # ten orders a level on each side
        ticks = flows.MID - 1 - step if side == 0 else flows.MID + 1 + step
        book.add_limit_order(Order(flows.SIDES[side], 1 + k % 5, flows.price_of(ticks)))
    return book


def timed(fn):
    gc.collect()
    gc.disable()
    try:
        started = time.perf_counter()
        result = fn()
        return time.perf_counter() - started, result
    finally:
        gc.enable()


def spread(values, scale=1.0, digits=2):
    values = [v * scale for v in values]
    return (f"{statistics.median(values):.{digits}f} "
            f"({min(values):.{digits}f}-{max(values):.{digits}f})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="25000,50000,100000,200000")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    columns = ["orders", "dump s", "load s", "deepcopy s", "MB", "dump us/order",
               "deepcopy/dump"]
    rows = []
    for size in map(int, args.sizes.split(",")):
        book = deep_book(size)
        dumps, loads, copies = [], [], []
        for _ in range(args.repeats):
            seconds, data = timed(lambda: pickle.dumps(book, pickle.HIGHEST_PROTOCOL))
            dumps.append(seconds)
            loads.append(timed(lambda: pickle.loads(data))[0])
            copies.append(timed(lambda: copy.deepcopy(book))[0])
        rows.append([f"{size:,}", spread(dumps), spread(loads), spread(copies),
                     f"{len(data) / 1e6:.2f}", spread(dumps, 1e6 / size, 1),
                     spread([c / d for c, d in zip(copies, dumps)])])
    widths = [max(len(c), *(len(r[i]) for r in rows)) for i, c in enumerate(columns)]
    print("  ".join(c.rjust(w) for c, w in zip(columns, widths)))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print("  ".join(v.rjust(w) for v, w in zip(row, widths)))


if __name__ == "__main__":
    main()
