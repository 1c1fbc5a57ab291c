"""What an event costs velmora.core on a shallow and on a deep book: instructions and cache
misses per event under callgrind's cache simulation, per event from a Python loop and in one
batch call, and bytes per resting order (on a 100 000-order book, and across a long stream at
a stable size).

    python bench/core_cost.py [--events N] [--stream N] [--jobs J]

Flows: the benchmark's mixed flow from 10 resting orders (shallow, about 50 rest while it
runs) and from 100 000 (deep: the extra orders rest beyond the flow's prices), converted to
ticks as bench/core.py does. Before counting, the batch's fills and book are checked equal to
the per-event calls'. Counts are taken inside the measured call only, as (count for 2N events
- count for N events) / N; first-level misses are valgrind's I1 and D1 misses, last-level its
LL misses (its model of this machine's caches: no second level, no TLB).
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "reference"))

import flows  # noqa: E402
from core import core_events  # noqa: E402
from core_mbo import as_array, bytes_per_order, rows_of, table  # noqa: E402

from velmora import core  # noqa: E402

CHILD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "core_mbo.py")
ENGINES = ("loop", "batch")


def books(stream=0):
    """{name: (setup rows, event rows)} for the shallow and the deep book; with stream, the
    deep book's flow lengthened to that many events."""
    mixed = flows.zero_intelligence(seed=20100101, count=max(stream, 100_000))
    out = {}
    for name, resting in (("shallow", 10), ("deep", 100_000)):
        flow = flows.with_preload(mixed, name, resting)
        setup, first = core_events(flow.setup, 0)
        events, _ = core_events(flow.events, first)
        out[name] = (rows_of(setup), rows_of(events))
    return out


def check(setup, events):
    one = core.Book()
    one.replay(as_array(setup))
    fills = []
    for event in events:
        kind, side, order_id, price, quantity, t = event
        if kind == core.LIMIT:
            fills += [(order_id, *f) for f in one.add_limit(order_id, side, price, quantity, t)]
        elif kind == core.MARKET:
            fills += [(order_id, *f) for f in one.add_market(order_id, side, quantity)]
        else:
            one.cancel(order_id)
    batch = core.Book()
    batch.replay(as_array(setup))
    got = batch.replay(as_array(events)).fills
    as_tuples = list(zip(got["aggressor_id"].tolist(), got["resting_id"].tolist(),
                         got["price"].tolist(), got["quantity"].tolist()))
    if as_tuples != fills or batch.orders() != one.orders():
        raise SystemExit("*** the batch differs from the per-event calls ***")


def callgrind(args):
    """(instructions, first-level misses, last-level misses) inside the child's measured
    call."""
    proc = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", "--cache-sim=yes",
         "--collect-atstart=no", "--toggle-collect=_operator_call", sys.executable, CHILD,
         "--child", *map(str, args)],
        capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    found = re.search(r"Collected : (\d+)(.*)", proc.stderr)
    if proc.returncode or not found:
        raise SystemExit(f"callgrind failed for {args}:\n{proc.stderr[-2000:]}")
    # Collected: Ir Dr Dw I1mr D1mr D1mw ILmr DLmr DLmw
    fields = [int(found.group(1))] + [int(x) for x in found.group(2).split()]
    return fields[0], sum(fields[3:6]), sum(fields[6:9])


def per_event(paths, n, jobs):
    """{(book, engine): (instructions, L1 misses, LL misses) per event}."""
    runs = [(name, engine, k) for name in paths for engine in ENGINES for k in (n, 2 * n)]
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        counts = list(pool.map(lambda r: callgrind([paths[r[0]], r[1], r[2], n, 0]), runs))
    found = dict(zip(runs, counts))
    return {(name, engine): tuple((b - a) / n for a, b in zip(found[name, engine, n],
                                                              found[name, engine, 2 * n]))
            for name in paths for engine in ENGINES}


def stream_bytes(setup, events, parts=8):
    """Native bytes after the set-up and after each of `parts` slices of the events, with the
    number of resting orders at each point."""
    book = core.Book()
    book.replay(as_array(setup))
    out = [(0, len(book), book._native_bytes())]
    step = len(events) // parts
    for k in range(parts):
        book.replay(as_array(events[k * step:(k + 1) * step]))
        out.append(((k + 1) * step, len(book), book._native_bytes()))
    return out


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        raise SystemExit("the child is bench/core_mbo.py --child")
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=5000, help="N (5000)")
    parser.add_argument("--stream", type=int, default=400_000,
                        help="events of the long stream on the deep book (400 000)")
    parser.add_argument("--jobs", type=int, default=2, help="valgrind runs at a time (2)")
    parser.add_argument("--no-callgrind", action="store_true", help="memory figures only")
    args = parser.parse_args()
    print(f"velmora.core: {core.__file__}")
    built = books()
    for setup, events in built.values():
        check(setup, events[:20_000])
    if not args.no_callgrind:
        with tempfile.TemporaryDirectory() as folder:
            paths = {}
            for name, (setup, events) in built.items():
                paths[name] = os.path.join(folder, f"{name}.npz")
                np.savez(paths[name], setup=as_array(setup), events=as_array(events))
            figures = per_event(paths, args.events, args.jobs)
        print(f"\nPer event (callgrind with its cache simulation; (2N - N) / N with"
              f" N = {args.events}):")
        rows = []
        for name in built:
            for engine in ENGINES:
                ins, l1, ll = figures[name, engine]
                rows.append([name, "per event" if engine == "loop" else "batch", f"{ins:,.0f}",
                             f"{l1:.2f}", f"{ll:.2f}"])
        table(["book", "call", "instructions", "L1 misses", "LL misses"], rows)
        deep, shallow = figures["deep", "batch"][0], figures["shallow", "batch"][0]
        print(f"deep / shallow batch instructions: {deep / shallow:.2f}")

    print(f"\nNative bytes per resting order, 100,000-order book, ten orders a level, time"
          f" stamps set: {bytes_per_order(100_000):.1f}")
    setup, events = books(args.stream)["deep"]
    print(f"Native bytes across a stream of {len(events):,} events on the deep book:")
    table(["events", "resting", "bytes", "B/order"],
          [[f"{k:,}", f"{r:,}", f"{b:,}", f"{b / r:.1f}"] for k, r, b in
           stream_bytes(setup, events)])
    return 0


if __name__ == "__main__":
    sys.exit(main())
