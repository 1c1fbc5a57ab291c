"""What an event costs velmora.core on a shallow and on a deep book, with far levels and on a
market-order flow: instructions and cache misses per event under callgrind's cache
simulation, per event from a Python loop and in one batch call, each beside its target;
bytes per resting order (on a 100 000-order book, and across a long stream at a stable size);
and the level storage as shipped (a window by price, sorted blocks beyond it) against sorted
blocks alone, in the native replay, on four flows.

    python bench/core_cost.py [--events N] [--stream N] [--jobs J] [--native PATH]

Flows: the benchmark's mixed flow from 10 resting orders (shallow, about 50 rest while it
runs) and from 100 000 (deep: the extra orders rest beyond the flow's prices), converted to
ticks as bench/core.py does; "far" (counted) and "far levels" (level storage), the shallow
flow with every tenth limit order moved 5 000 to 10 million ticks away from the best;
"market" (counted), bench/core.py's market flow; and "wide" (level storage), a book whose
orders arrive at distances from the opposite best spread evenly on a log scale from 1 to
20 000 ticks (thousands of levels per side, dense near the best). Before counting, the
batch's fills and book are checked equal to the per-event calls'. Counts are taken inside the
measured call only, as (count for 2N events - count for N events) / N; first-level misses are
valgrind's I1 and D1 misses, last-level its LL misses (its model of this machine's caches: no
second level, no TLB).
"""

import argparse
import json
import os
import random
import re
import statistics
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "reference"))

import flows  # noqa: E402
from core import core_events  # noqa: E402
from core_mbo import as_array, bytes_per_order, rows_of  # noqa: E402
from run import print_table  # noqa: E402

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


def market_book():
    """The benchmark's market-order flow: market orders reaching one to three levels of a
    deep book."""
    built = flows.market_orders(16, 10_000)
    setup, first = core_events(built.setup, 0)
    events, _ = core_events(built.events, first)
    return rows_of(setup), rows_of(events)


def far_levels(setup, events, seed=4):
    """Every tenth limit order of the flow moved far from the best, on its own side."""
    rng = random.Random(seed)
    out, limits = [], 0
    for kind, side, order_id, price, quantity, t in events:
        if kind == core.LIMIT:
            limits += 1
            if limits % 10 == 0:
                away = rng.randrange(5_000, 10_000_000)
                price = price - away if side == core.BID else price + away
        out.append((kind, side, order_id, price, quantity, t))
    return setup, out


def wide(count=100_000, seed=9):
    """A book of orders placed at log-uniform distances (1 to 20 000 ticks) from the opposite
    best, cancelled at random, with a market order one event in twenty."""
    rng = random.Random(seed)
    book, live, rows = core.Book(), [], []
    mid = 10**7
    for t in range(count + 20_000):
        roll = rng.random()
        if roll < 0.05 and t > 1_000:
            kind, side, order_id, price = core.MARKET, rng.randrange(2), t, 0
        elif roll < 0.47 and live:
            k = rng.randrange(len(live))
            live[k], live[-1] = live[-1], live[k]
            kind, side, order_id, price = core.CANCEL, 0, live.pop(), 0
        else:
            side = rng.randrange(2)
            other = book.depth(1 - side, 1)
            best = other[0][0] if other else mid
            distance = int(10 ** (rng.random() * 4.3))
            kind, order_id = core.LIMIT, t
            price = best - distance if side == core.BID else best + distance
            live.append(t)
        row = (kind, side, order_id, price, rng.randrange(1, 6), t)
        if kind == core.LIMIT:
            book.add_limit(order_id, side, price, row[4], t)
        elif kind == core.MARKET:
            book.add_market(order_id, side, row[4])
        else:
            book.cancel(order_id)
        rows.append(row)
    return rows[:20_000], rows[20_000:]


def core_levels(flow):
    """The price levels left resting by a flow's set-up and events."""
    book = core.Book()
    book.replay(as_array(flow[0]))
    book.replay(as_array(flow[1]))
    return book.depth(0, 10**6) + book.depth(1, 10**6)


def storage(native, flows_, repeats=5):
    """{flow: {variant: (ns per event, bytes per resting order)}} from the native replay; the
    variants must agree on the fills."""
    out = {}
    with tempfile.TemporaryDirectory() as folder:
        for name, (setup, events) in flows_.items():
            path = os.path.join(folder, f"{name}.flow")
            with open(path, "wb") as f:
                np.array([len(setup), len(events)], dtype="<i8").tofile(f)
                as_array(setup).tofile(f)
                as_array(events).tofile(f)
            rows = {}
            for variant in ("window", "blocks"):
                run = subprocess.run([native, path, str(repeats), variant], check=True,
                                     capture_output=True, text=True).stdout
                rows[variant] = json.loads(run)
            if rows["window"]["fills"] != rows["blocks"]["fills"]:
                raise SystemExit(f"*** {name}: the level storages disagree on the fills ***")
            out[name] = {v: (statistics.median(r["ns"]) / len(events),
                             r["bytes"] / max(r["resting"], 1)) for v, r in rows.items()}
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


# The targets, in instructions per event: a same-semantics engine's 170 on the shallow and the
# deep book and 499 on the market flow (the batch within 1.1 x of them); far levels at most
# 1.15 x the near (shallow) book; per event, a third of what bourse's own per-event Python
# loop executes on the same flows.
BATCH_FLOOR = 170
MARKET_FLOOR = 499
BOURSE = {"shallow": 3230, "deep": 3430}


def targets(name, engine, near):
    """(the target as printed, the largest count that meets it or None) for a row."""
    if engine == "loop":
        if name in BOURSE:
            limit = BOURSE[name] / 3
            return f"<= {limit:,.0f} (bourse / 3)", limit
        return "", None
    if name == "far":
        return f"<= {1.15 * near:,.0f} (1.15 x shallow)", 1.15 * near
    floor = MARKET_FLOOR if name == "market" else BATCH_FLOOR
    return f"<= {1.1 * floor:,.0f} (1.1 x {floor})", 1.1 * floor


def verdict(ok):
    return "met" if ok else "NOT MET"


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
    parser.add_argument("--no-callgrind", action="store_true", help="no callgrind figures")
    parser.add_argument("--native", default="build/core-replay",
                        help="the native replay program (make bench builds it)")
    args = parser.parse_args()
    print(f"velmora.core: {core.__file__}")
    built = books()
    for setup, events in built.values():
        check(setup, events[:20_000])
    counted = dict(built, far=far_levels(*built["shallow"]), market=market_book())
    if not args.no_callgrind:
        for setup, events in list(counted.values())[2:]:
            check(setup, events[:20_000])
        with tempfile.TemporaryDirectory() as folder:
            paths = {}
            for name, (setup, events) in counted.items():
                paths[name] = os.path.join(folder, f"{name}.npz")
                np.savez(paths[name], setup=as_array(setup), events=as_array(events))
            figures = per_event(paths, args.events, args.jobs)
        print(f"\nPer event (callgrind with its cache simulation; (2N - N) / N with"
              f" N = {args.events}):")
        near = figures["shallow", "batch"][0]
        rows = []
        for name in counted:
            for engine in ENGINES:
                ins, l1, ll = figures[name, engine]
                target, limit = targets(name, engine, near)
                rows.append([name, "per event" if engine == "loop" else "batch", f"{ins:,.0f}",
                             target, "" if limit is None else verdict(ins <= limit),
                             f"{l1:.2f}", f"{ll:.2f}"])
        print_table(["book", "call", "instructions", "target", "", "L1 misses", "LL misses"],
                    rows)
        print("far: the shallow flow with every tenth limit order 5 000 to 10 million ticks"
              " from the best;\nmarket: bench/core.py's market flow (market orders reaching"
              " 1-3 levels of a deep book).\nper-event targets: a third of bourse's"
              f" instructions per event through its Python loop ({BOURSE['shallow']:,} shallow,"
              f" {BOURSE['deep']:,} deep; bench/core.py --peers times it)")

    if os.path.exists(args.native):
        wide_book = wide()
        check(*wide_book)
        flows_ = dict(built, **{"far levels": far_levels(*built["shallow"]), "wide": wide_book})
        figures = storage(args.native, flows_)
        print("\nLevel storage, native replay (ns per event, median of 5; bytes per resting order"
              " at the end):")
        print_table(["flow", "levels", "window ns", "blocks ns", "blocks/window", "window B/order",
               "blocks B/order"],
              [[name, f"{sum(len(core_levels(f)) for f in [flows_[name]])}",
                f"{w[0]:.1f}", f"{b[0]:.1f}", f"{b[0] / w[0]:.2f}", f"{w[1]:.1f}", f"{b[1]:.1f}"]
               for name, (w, b) in ((n, (v["window"], v["blocks"])) for n, v in figures.items())])
        print("levels: price levels resting at the end of the flow, both sides.")
    else:
        print(f"\n(no level storage table: {args.native} not found; make bench builds it)")

    per_order = bytes_per_order(100_000)
    print(f"\nNative bytes per resting order, 100,000-order book, ten orders a level, time"
          f" stamps set: {per_order:.1f}  (target <= 48: {verdict(per_order <= 48)})")
    setup, events = books(args.stream)["deep"]
    print(f"Native bytes across a stream of {len(events):,} events on the deep book:")
    print_table(["events", "resting", "bytes", "B/order"],
          [[f"{k:,}", f"{r:,}", f"{b:,}", f"{b / r:.1f}"] for k, r, b in
           stream_bytes(setup, events)])
    return 0


if __name__ == "__main__":
    sys.exit(main())
