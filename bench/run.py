"""Benchmarks of velmora.orderbook against the plain Python book and the floor.

Every flow is generated once from fixed seeds, checked to give the same outcome on velmora
and on the plain engine, then timed on each engine in turn (the order rotates every repeat,
after one warm-up round), with the garbage collector off inside the timed sections.

    python bench/run.py [--quick] [--repeats N] [--only NAME[,NAME...]] [--no-velmora]
"""

import argparse
import gc
import os
import platform
import statistics
import sys
import time
from time import perf_counter_ns

import flows
import floor
import plain

RATIO_NOTE = "median (min-max) over the repeats; ratios are taken per repeat, engines interleaved"


def load_velmora():
    try:
        import velmora.orderbook as module
    except ImportError as exc:
        return None, f"cannot import velmora.orderbook: {exc}"
    if not hasattr(module, "OrderBook"):
        return None, f"{module.__file__} has no OrderBook yet"
    return module, None


# --- outcome comparison ------------------------------------------------------------------


def outcome(book, orders):
    """What a replay left behind, with identifiers replaced by flow order numbers."""
    number = {order.order_id: k for k, order in enumerate(orders)}
    if len(number) != len(orders):
        raise SystemExit("BENCHMARK ABORTED: an engine issued the same order id twice")
    return {
        "trades": [
            (
                t.price,
                t.quantity_filled,
                t.aggressor_side,
                number[t.aggressor_id],
                number[t.filler_id],
                t.trade_type,
            )
            for t in book.trade_log
        ],
        "orders": [(o.status, o.remaining_quantity, o.original_quantity, o.price) for o in orders],
        "resting": sorted(number[order_id] for order_id in book.orders),
        "best": (book.best_bid(), book.best_ask()),
        "str(book)": str(book),
    }


def first_difference(a, b):
    if isinstance(a, str):
        la, lb = a.splitlines(), b.splitlines()
        for i, (x, y) in enumerate(zip(la, lb)):
            if x != y:
                return f"line {i + 1}: {x!r} != {y!r}"
        return f"{len(la)} lines != {len(lb)} lines"
    if isinstance(a, list):
        for i, (x, y) in enumerate(zip(a, b)):
            if x != y:
                return f"item {i}: {x!r} != {y!r}"
        return f"{len(a)} items != {len(b)} items"
    return f"{a!r} != {b!r}"


def check_same(flow, velmora_result, plain_result):
    for key, expected in plain_result.items():
        got = velmora_result[key]
        if got != expected:
            sys.stdout.flush()
            raise SystemExit(
                "\n*** BENCHMARK ABORTED: velmora and the plain engine disagree ***\n"
                f"flow {flow.name!r}, {key}: velmora vs plain: {first_difference(got, expected)}"
            )


# --- timing --------------------------------------------------------------------------------


class NullBook:
    """Takes every event and does nothing with it: what is left is the replay loop and the
    construction of the orders, which every engine pays and the floor leaves out."""

    def __init__(self):
        self.add_limit_order = self.add_market_order = self.cancel_order = id


def timed_replay(book_type, order_type, flow):
    book = book_type()
    orders = []
    flows.replay(book, order_type, flow.setup, orders)
    events = flow.events
    replay = flows.replay
    gc.collect()
    gc.disable()
    try:
        start = perf_counter_ns()
        replay(book, order_type, events, orders)
        elapsed = perf_counter_ns() - start
    finally:
        gc.enable()
    return elapsed


def timed_floor(setup_ops, ops):
    sides, log = floor.new_state(setup_ops)
    apply = floor.apply
    gc.collect()
    gc.disable()
    try:
        start = perf_counter_ns()
        apply(sides, log, ops)
        elapsed = perf_counter_ns() - start
    finally:
        gc.enable()
    return elapsed


def measure(flow, velmora, repeats):
    """Check the flow, then time it; returns (times per engine, recorded floor operations)."""
    plain_book, plain_orders, setup_ops, ops = floor.record(flow)
    expected = outcome(plain_book, plain_orders)
    del plain_book, plain_orders
    engines = {}
    if velmora is not None:
        book = velmora.OrderBook()
        orders = []
        flows.replay(book, velmora.Order, flow.setup, orders)
        flows.replay(book, velmora.Order, flow.events, orders)
        check_same(flow, outcome(book, orders), expected)
        del book, orders
        engines["velmora"] = lambda: timed_replay(velmora.OrderBook, velmora.Order, flow)
        if flow.group == "mixed":
            engines["loop"] = lambda: timed_replay(NullBook, velmora.Order, flow)
    del expected
    engines["plain"] = lambda: timed_replay(plain.OrderBook, plain.Order, flow)
    engines["floor"] = lambda: timed_floor(setup_ops, ops)
    names = list(engines)
    times = {name: [] for name in names}
    for round_ in range(repeats + 1):  # round 0 warms up
        shift = round_ % len(names)
        for name in names[shift:] + names[:shift]:
            elapsed = engines[name]()
            if round_:
                times[name].append(elapsed)
    return times, ops


# --- report ------------------------------------------------------------------------------


def spread(values):
    return statistics.median(values), min(values), max(values)


def fmt_rate(events, ns_list):
    if not events or min(ns_list) <= 0:
        return "-"
    rates = [events / ns * 1e6 for ns in ns_list]  # thousands of events per second
    mid, lo, hi = spread(rates)
    return f"{mid:,.0f} ({lo:,.0f}-{hi:,.0f})"


def ratios(num, den):
    return [a / b for a, b in zip(num, den) if b > 0]


def fmt_ratio(values):
    if not values:
        return "-"
    mid, lo, hi = spread(values)
    return f"{mid:.2f} ({lo:.2f}-{hi:.2f})"


def report(results, have_velmora, repeats):
    columns = ["flow", "events", "velmora kev/s", "plain kev/s", "floor kev/s",
               "plain/velmora", "velmora/floor"]
    rows = []
    for flow, times, ops in results:
        n = len(flow.events)
        v = times.get("velmora")
        floor_note = fmt_rate(n, times["floor"]) if ops else "- (nothing)"
        rows.append([
            flow.name,
            f"{n:,}",
            fmt_rate(n, v) if v else "n/a",
            fmt_rate(n, times["plain"]),
            floor_note,
            fmt_ratio(ratios(times["plain"], v)) if v else "n/a",
            fmt_ratio(ratios(v, times["floor"])) if v and ops else "-",
        ])
    widths = [max(len(str(r[i])) for r in rows + [columns]) for i in range(len(columns))]
    line = "  ".join(("{:<%d}" if i == 0 else "{:>%d}") % w for i, w in enumerate(widths))
    print(line.format(*columns))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line.format(*r))
    print(f"{RATIO_NOTE}; {repeats} repeats after a warm-up.")
    print("floor: SortedDict insert/delete per level that comes or goes, first-key read after")
    print("the best level goes, one Trade per fill; '- (nothing)': the flow needs none of these.")

    print()
    print("What the timed events do (counts per 1 000 events):")
    head = ["flow", "limit", "market", "cancel", "levels+", "levels-", "first-key", "fills"]
    table = []
    for flow, _, ops in results:
        n = len(flow.events) or 1
        kinds = [0, 0, 0]
        for event in flow.events:
            kinds[event[0]] += 1
        s = floor.summary(ops)
        per = [kinds[flows.LIMIT], kinds[flows.MARKET], kinds[flows.CANCEL],
               s["inserts"], s["deletes"], s["first-key reads"], s["trades"]]
        table.append([flow.name] + [f"{1000 * x / n:.0f}" for x in per])
    w = [max(len(r[i]) for r in table + [head]) for i in range(len(head))]
    fmt = "  ".join(("{:<%d}" if i == 0 else "{:>%d}") % x for i, x in enumerate(w))
    print(fmt.format(*head))
    for r in table:
        print(fmt.format(*r))

    if not have_velmora:
        print("\nTargets: not measured (velmora not run).")
        return
    print()
    print("Targets:")
    by_name = {flow.name: (flow, times, ops) for flow, times, ops in results}

    def verdict(ok):
        return "met" if ok else "NOT MET"

    mixed = [entry for entry in results if entry[0].group == "mixed"]
    if mixed:
        flow, times, ops = mixed[0]
        r = statistics.median(ratios(times["velmora"], times["floor"]))
        print(f"  {flow.name}: velmora time <= 1.15 x floor: {r:.2f} x  -> {verdict(r <= 1.15)}")
        n = len(flow.events)
        loop = statistics.median(ratios(times["loop"], times["floor"]))
        print(f"    for scale: the replay loop and velmora Order() construction alone take"
              f" {statistics.median(times['loop']) / n:.0f} ns/event = {loop:.2f} x floor;"
              f" velmora {statistics.median(times['velmora']) / n:.0f} ns/event,"
              f" floor {statistics.median(times['floor']) / n:.0f} ns/event")
    for name in ("add-existing", "cancel-keep", "cancel-random"):
        if name in by_name:
            _, times, _ = by_name[name]
            r = statistics.median(ratios(times["plain"], times["velmora"]))
            print(f"  {name}: velmora >= 10 x faster than plain: {r:.1f} x"
                  f"  -> {verdict(r >= 10)}")
    if len(mixed) > 1:
        per_event = [(f.resting, statistics.median(t["velmora"]) / len(f.events))
                     for f, t, _ in mixed]
        base = per_event[0][1]
        parts = []
        worst = 0.0
        for resting, ns in per_event:
            change = ns / base - 1
            worst = max(worst, abs(change))
            parts.append(f"{resting:,} resting {ns:.0f} ns ({change:+.0%})".replace(",", " "))
        print(f"  mixed per-event cost flat within +-20 %: {'; '.join(parts)}"
              f"  -> {verdict(worst <= 0.20)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--repeats", type=int, help="timed repeats per engine (7; quick: 3)")
    parser.add_argument("--only", help="flow names or prefixes, comma-separated (e.g. mixed,sweep)")
    parser.add_argument("--no-velmora", action="store_true",
                        help="time the plain engine and the floor only")
    args = parser.parse_args()
    repeats = args.repeats or (3 if args.quick else 7)
    if repeats < 1:
        parser.error("--repeats must be at least 1")

    velmora = None
    if not args.no_velmora:
        velmora, problem = load_velmora()
        if velmora is None:
            print(f"error: {problem} (use --no-velmora to time the baselines only)",
                  file=sys.stderr)
            return 1

    started = time.perf_counter()
    all_flows = flows.build(quick=args.quick)
    if args.only:
        wanted = [w.strip() for w in args.only.split(",") if w.strip()]
        selected = [f for f in all_flows if any(f.name.startswith(w) for w in wanted)]
        if not selected:
            parser.error(f"no flow matches {args.only!r}; flows: "
                         + ", ".join(f.name for f in all_flows))
    else:
        selected = all_flows
    print(f"flows generated in {time.perf_counter() - started:.1f} s", file=sys.stderr)

    where = velmora.__file__ if velmora else "not run"
    print(f"velmora: {where}")
    print(f"Python {platform.python_version()} on {platform.machine()}, "
          f"{os.cpu_count()} CPUs{', quick sizes' if args.quick else ''}")
    print()
    results = []
    for flow in selected:
        t0 = time.perf_counter()
        times, ops = measure(flow, velmora, repeats)
        results.append((flow, times, ops))
        print(f"{flow.name}: {time.perf_counter() - t0:.1f} s", file=sys.stderr)
    report(results, velmora is not None, repeats)
    print(f"\ntotal {time.perf_counter() - started:.0f} s", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
