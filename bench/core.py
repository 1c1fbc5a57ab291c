"""velmora.core on the benchmark flows: per event from a Python loop, in batch, and the same
engine code with no Python at all (bench/core_replay.cpp), next to the exact book; with
--peers, other engines installed in the environment (see peers.py) as well.

    python bench/core.py [--quick] [--repeats N] [--only NAME[,NAME...]] [--native PATH]
                         [--peers]

Every flow is the one bench/run.py times, converted once to integer ticks (0.01) and to
order ids that number the flow's orders. Before timing, the core's fills (aggressor, resting
order, price, quantity) and final resting orders are checked equal to the exact book's, the
batch fills equal to the per-event ones, and the native replay's fill count equal to both.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

# The flows and the plain book live in reference/, shared with the tests and the build.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "reference"))

import flows  # noqa: E402
from peers import timed  # noqa: E402
from run import fmt_rate, fmt_ratio, interleaved, print_table, ratios, timed_replay  # noqa: E402

from velmora import core
from velmora import orderbook as ob

NATIVE_VARIANTS = {"window": "a window by price, sorted blocks beyond (shipped)",
                   "blocks": "sorted blocks", "tree": "red-black tree",
                   "flat": "one sorted array"}


# --- flows in the core's terms -------------------------------------------------------------


def core_events(events, first_order):
    """(kind, order_id, side, price, quantity) tuples; orders are numbered from first_order
    in flow order, as the flow's cancellations number them."""
    out = []
    n = first_order
    bid = flows.SIDES[0]
    for kind, a, b, c in events:
        if kind == flows.LIMIT:
            out.append((core.LIMIT, n, 0 if a == bid else 1, int(c.scaleb(2)), b))
            n += 1
        elif kind == flows.MARKET:
            out.append((core.MARKET, n, 0 if a == bid else 1, 0, b))
            n += 1
        else:
            out.append((core.CANCEL, a, 0, 0, 0))
    return out, n


def as_array(events):
    """The events as EVENT_DTYPE records, each stamped with its position as its time."""
    return np.array([(k, s, i, p, q, t) for t, (k, i, s, p, q) in enumerate(events)],
                    dtype=core.EVENT_DTYPE)


class CoreFlow:
    def __init__(self, flow):
        self.flow = flow
        self.setup, n = core_events(flow.setup, 0)
        self.events, _ = core_events(flow.events, n)
        self.setup_array = as_array(self.setup)
        self.events_array = as_array(self.events)


def replay_core(book, events):
    """The events one call each; a limit order is stamped with its position, as as_array
    stamps it for the batch."""
    add_limit = book.add_limit
    add_market = book.add_market
    cancel = book.cancel
    for t, (kind, order_id, side, price, quantity) in enumerate(events):
        if kind == 0:
            add_limit(order_id, side, price, quantity, t)
        elif kind == 2:
            cancel(order_id)
        else:
            add_market(order_id, side, quantity)


# --- checks ----------------------------------------------------------------------------------


def abort(flow, what):
    sys.stdout.flush()
    raise SystemExit(f"\n*** BENCHMARK ABORTED: {flow.name}: {what} ***")


def check(cf):
    """The core per event, the core in batch and the exact book agree on the flow."""
    flow = cf.flow
    exact = ob.OrderBook()
    orders = []
    flows.replay(exact, ob.Order, flow.setup, orders)
    before = len(exact.trade_log)
    flows.replay(exact, ob.Order, flow.events, orders)
    number = {order.order_id: k for k, order in enumerate(orders)}
    expected = [(number[t.aggressor_id], number[t.filler_id], int(t.price.scaleb(2)),
                 t.quantity_filled) for t in exact.trade_log[before:]]

    book = core.Book()
    replay_core(book, cf.setup)
    got = []
    for t, (kind, order_id, side, price, quantity) in enumerate(cf.events):
        if kind == core.LIMIT:
            fills = book.add_limit(order_id, side, price, quantity, t)
        elif kind == core.MARKET:
            fills = book.add_market(order_id, side, quantity)
        else:
            book.cancel(order_id)
            continue
        got += [(order_id, resting, p, q) for resting, p, q in fills]
    if got != expected:
        abort(flow, "the core's fills differ from the exact book's")
    resting = sorted(number[order_id] for order_id in exact.orders)
    if sorted(row[0] for row in book.orders()) != resting:
        abort(flow, "the core's resting orders differ from the exact book's")
    if book.ladder("0.01") != str(exact):
        abort(flow, "the core's ladder differs from the exact book's")

    batch = core.Book()
    batch.replay(cf.setup_array)
    fills = batch.replay(cf.events_array).fills
    as_tuples = [(a, r, p, q) for a, r, p, q in
                 zip(fills["aggressor_id"].tolist(), fills["resting_id"].tolist(),
                     fills["price"].tolist(), fills["quantity"].tolist())]
    if as_tuples != got or batch.orders() != book.orders():
        abort(flow, "the batch replay differs from the per-event calls")
    return got, book._native_bytes(), len(book)


# --- timing ---------------------------------------------------------------------------------


def timed_core(cf):
    book = core.Book()
    replay_core(book, cf.setup)
    return timed(lambda: replay_core(book, cf.events))


def timed_batch(cf):
    book = core.Book()
    book.replay(cf.setup_array)
    return timed(lambda: book.replay(cf.events_array))


def flow_file(cf):
    """The flow in the native replay's file format, in a temporary file."""
    with tempfile.NamedTemporaryFile(suffix=".flow", delete=False) as f:
        np.array([len(cf.setup), len(cf.events)], dtype="<i8").tofile(f)
        cf.setup_array.tofile(f)
        cf.events_array.tofile(f)
        return f.name


def run_native(native, path, repeats, variant=None):
    """{variant: {"ns": [...], "fills", "bytes", "resting"}} from the native replay."""
    command = [native, path, str(repeats)] + ([variant] if variant else [])
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return {row["variant"]: row for row in map(json.loads, out.splitlines())}


def measure(cf, repeats, peers, native, path):
    engines = {
        "velmora": lambda: timed_replay(ob.OrderBook, ob.Order, cf.flow),
        "core": lambda: timed_core(cf),
        "batch": lambda: timed_batch(cf),
        # One timed round of the native replay (after its own warm-up), taking its turn with
        # the others so that its ratio to batch is taken between neighbouring runs.
        "native": lambda: run_native(native, path, 1, "window")["window"]["ns"][0],
    }
    for peer in peers:
        engines[peer.name] = (lambda p: lambda: p.timed(cf))(peer)
    return interleaved(engines, repeats)


# --- report ---------------------------------------------------------------------------------


def median_ratio(num, den):
    values = ratios(num, den)
    return statistics.median(values) if values else float("nan")


def report(results, peers, repeats):
    columns = ["flow", "events", "velmora kev/s", "core kev/s", "batch kev/s", "native kev/s",
               "core/velmora", "batch/native time"]
    for peer in peers:
        columns += [f"{peer.name} kev/s", f"core/{peer.name}"]
    rows = []
    for cf, times, native, _ in results:
        n = len(cf.events)
        row = [cf.flow.name, f"{n:,}", fmt_rate(n, times["velmora"]), fmt_rate(n, times["core"]),
               fmt_rate(n, times["batch"]), fmt_rate(n, times["native"]),
               fmt_ratio(ratios(times["velmora"], times["core"])),
               fmt_ratio(ratios(times["batch"], times["native"]))]
        for peer in peers:
            row += [fmt_rate(n, times[peer.name]),
                    fmt_ratio(ratios(times[peer.name], times["core"]))]
        rows.append(row)
    print_table(columns, rows)
    print(f"thousands of events per second, median (min-max) of {repeats}; engines interleaved,"
          " ratios per repeat.\ncore: a Python loop calling add_limit/add_market/cancel;"
          " batch: one Book.replay call on a NumPy\narray; native: the same engine code driven"
          " by a C++ loop over the same events (bench/core_replay.cpp),\nwriting the same fill"
          " records as batch, with no Python at all.")

    print()
    print("Level storage, native replay (ns per event, median; bytes per resting order at the"
          " end):")
    columns = ["flow"] + [f"{v} ns" for v in NATIVE_VARIANTS] + [f"{v} B/order"
                                                                  for v in NATIVE_VARIANTS]
    rows = []
    for cf, _, native, _ in results:
        n = len(cf.events)
        rows.append([cf.flow.name]
                    + [f"{statistics.median(native[v]['ns']) / n:.0f}" for v in NATIVE_VARIANTS]
                    + [f"{native[v]['bytes'] / native[v]['resting']:.1f}"
                       if native[v]["resting"] >= 10_000 else "-" for v in NATIVE_VARIANTS])
    print_table(columns, rows)
    print("variants: " + "; ".join(f"{k} = {v}" for k, v in NATIVE_VARIANTS.items())
          + "\n(tree bytes count 48-byte nodes, without the allocator's overhead; B/order only"
          " where 10 000 or more orders rest).")

    print()
    print("Targets:")
    by_name = {cf.flow.name: (cf, times, native, memory) for cf, times, native, memory in results}

    def verdict(ok):
        return "met" if ok else "NOT MET"

    bourse = next((p for p in peers if p.name == "bourse"), None)
    for name in ("mixed-10", "mixed-100k"):
        if name not in by_name:
            continue
        _, times, _, _ = by_name[name]
        r = median_ratio(times["batch"], times["native"])
        print(f"  {name}: batch time <= 1.2 x the native replay's: {r:.2f} x"
              f"  -> {verdict(r <= 1.2)}")
        if bourse is None:
            print(f"  {name}: against bourse: not measured (make bench-peers)")
            continue
        r = median_ratio(times["bourse"], times["core"])
        print(f"  {name}: core per event >= 2.5 x bourse: {r:.2f} x  -> {verdict(r >= 2.5)}")
        r = median_ratio(times["bourse"], times["batch"])
        print(f"  {name}: batch >= 10 x bourse per event: {r:.1f} x  -> {verdict(r >= 10)}")
        r = median_ratio(times["bourse"], times["native"])
        print(f"  {name}: (the native replay, no Python: {r:.1f} x bourse)")
    worst = max(median_ratio(t["batch"], t["native"]) for _, t, _, _ in results)
    print(f"  batch time <= 3 x the native replay's, every flow: worst {worst:.2f} x"
          f"  -> {verdict(worst <= 3)}")
    for name, (cf, _, _, (nbytes, resting)) in by_name.items():
        if cf.flow.group == "mixed" and resting >= 50_000:
            per = nbytes / resting
            print(f"  memory per resting order ({name}, {resting:,} resting): {per:.1f} B"
                  f"  -> {verdict(per <= 48)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--repeats", type=int, help="timed repeats per engine (7; quick: 3)")
    parser.add_argument("--only", help="flow names or prefixes, comma-separated")
    parser.add_argument("--native", default="build/core-replay",
                        help="the native replay program (make bench builds it)")
    parser.add_argument("--peers", action="store_true", help="add the engines of peers.py")
    args = parser.parse_args()
    repeats = args.repeats or (3 if args.quick else 7)
    if not os.path.exists(args.native):
        parser.error(f"{args.native} not found: build it with make bench")
    peers = []
    if args.peers:
        import peers as peer_module

        peers = peer_module.available()

    started = time.perf_counter()
    selected = flows.build(quick=args.quick)
    if args.only:
        wanted = [w.strip() for w in args.only.split(",") if w.strip()]
        selected = [f for f in selected if any(f.name.startswith(w) for w in wanted)]
    print(f"velmora.core: {core.__file__}")
    print(f"peers: {', '.join(p.describe() for p in peers) or 'none (make bench-peers)'}")
    print()
    results = []
    for flow in selected:
        t0 = time.perf_counter()
        cf = CoreFlow(flow)
        fills, nbytes, resting = check(cf)
        for peer in peers:
            peer.check(cf, fills)
        path = flow_file(cf)
        try:
            native = run_native(args.native, path, repeats)
            if any(row["fills"] != len(fills) for row in native.values()):
                abort(flow, "the native replay's fill count differs")
            times = measure(cf, repeats, peers, args.native, path)
        finally:
            os.unlink(path)
        results.append((cf, times, native, (nbytes, resting)))
        print(f"{flow.name}: {time.perf_counter() - t0:.1f} s", file=sys.stderr)
    report(results, peers, repeats)
    print(f"\ntotal {time.perf_counter() - started:.0f} s", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
