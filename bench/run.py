"""Benchmarks of velmora.orderbook against the plain Python book.

Every flow is generated once from fixed seeds, checked to give the same outcome on velmora
and on the plain engine, then timed on each engine in turn (the order rotates every repeat,
after one warm-up round), with the garbage collector off inside the timed sections. Then
callgrind counts instructions per event (callgrind.py), and the time per event is compared on
a small and a large book.

    python bench/run.py [--quick] [--repeats N] [--only NAME[,NAME...]] [--no-callgrind]
                        [--callgrind-events N] [--callgrind-flows all]
"""

import argparse
import gc
import os
import platform
import shutil
import statistics
import sys
import time
from functools import partial
from time import perf_counter_ns

# The flows and the plain book live in reference/, shared with the tests and the build.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "reference"))

import callgrind  # noqa: E402
import flows  # noqa: E402
import plain  # noqa: E402
import velmora.orderbook as velmora  # noqa: E402

RATIO_NOTE = "median (min-max) over the repeats; ratios are taken per repeat, engines interleaved"


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


def timed_replay(book_type, order_type, flow, events=None):
    """The time of the flow's events (or of the events given) on a fresh book, after the
    untimed set-up."""
    book, orders = book_type(), []
    flows.replay(book, order_type, flow.setup, orders)
    events = flow.events if events is None else events
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


ENGINES = {"velmora": (velmora.OrderBook, velmora.Order), "plain": (plain.OrderBook, plain.Order)}


def interleaved(engines, repeats):
    """{name: [time per repeat]} for {name: timed call}; one warm-up round, then the engines
    take turns, the turn order rotating every repeat."""
    names = list(engines)
    times = {name: [] for name in names}
    for round_ in range(repeats + 1):  # round 0 warms up
        shift = round_ % len(names)
        for name in names[shift:] + names[:shift]:
            elapsed = engines[name]()
            if round_:
                times[name].append(elapsed)
    return times


def timers(flow, events=None):
    return {name: partial(timed_replay, *types, flow, events) for name, types in ENGINES.items()}


def measure(flow, repeats):
    """Check the flow, then time it; returns (times per engine, what the events do)."""
    found = {}
    for name, (book_type, order_type) in ENGINES.items():
        book, orders = book_type(), []
        counts = flows.profile(book, order_type, flow, orders)
        found[name] = dict(outcome(book, orders), counts=counts)
        del book, orders
    check_same(flow, found["velmora"], found["plain"])
    return interleaved(timers(flow), repeats), found["plain"]["counts"]


# The same events against a small and a large book: what the larger heap adds per event, to
# both engines alike, which bounds the time ratios of the flows on 100 000-order books below
# their instruction ratios. (title, flow, events timed)
DEPTHS = [
    ("cancel-keep, 4 000-event book", lambda: flows.cancels_keeping_levels(13, 4_000), 2_000),
    ("cancel-keep, 100 000-event book", lambda: flows.cancels_keeping_levels(13, 100_000), 2_000),
    ("add-existing, first 2 000 adds", lambda: flows.adds_at_existing_levels(11, 100_000), 2_000),
    ("add-existing, all 100 000 adds", lambda: flows.adds_at_existing_levels(11, 100_000), 100_000),
]


def by_depth(repeats):
    """[(title, velmora ns per event, plain ns per event)], medians of interleaved repeats."""
    rows = []
    for title, build, n in DEPTHS:
        flow = build()
        times = interleaved(timers(flow, flow.events[:n]), repeats)
        rows.append((title, *(statistics.median(times[name]) / n for name in ENGINES)))
    return rows


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


def print_table(head, rows):
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]
    line = "  ".join(("{:<%d}" if i == 0 else "{:>%d}") % w for i, w in enumerate(widths))
    print(line.format(*head))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line.format(*r))


# Targets: flow -> (plain/velmora instructions, plain/velmora time), both at least.
TARGETS = {"mixed-10": (2.0, 1.8), "add-existing": (2.6, 2.5), "cancel-keep": (2.3, 1.7)}
PROFILE = {"limit": "limit", "market": "market", "cancel": "cancel", "opened": "lvl+",
           "closed": "lvl-", "fills": "fills"}


def report(results, repeats, instructions, callgrind_events, depths):
    print("Time, thousands of events per second:")
    rows = []
    for flow, times, _ in results:
        n = len(flow.events)
        rows.append([flow.name, f"{n:,}", fmt_rate(n, times["velmora"]),
                     fmt_rate(n, times["plain"]),
                     fmt_ratio(ratios(times["plain"], times["velmora"]))])
    print_table(["flow", "events", "velmora", "plain", "plain/velmora"], rows)
    print(f"{RATIO_NOTE}; {repeats} repeats after a warm-up.")

    if instructions:
        print()
        print("Instructions per event (callgrind):")
        rows = []
        for flow, _, _ in results:
            got = {e: instructions.get((flow.name, e)) for e in callgrind.ENGINES}
            if not any(got.values()):
                continue
            v, p = got["velmora"], got["plain"]
            rows.append([flow.name] + [f"{got[e]:,.0f}" if got[e] else "-" for e in got]
                        + [f"{p / v:.2f}" if v and p else "-"])
        print_table(["flow", *callgrind.ENGINES, "plain/velmora"], rows)
        print(f"(count for 2N events - count for N events) / N, N = {callgrind_events}, on the"
              " same flows built with 4N events; loop: the replay loop and velmora Order()"
              " alone.")

    print()
    print("What the timed events do (counts per 1 000 events):")
    print_table(["flow", *PROFILE.values()],
                [[flow.name] + [f"{1000 * counts[key] / len(flow.events):.0f}" for key in PROFILE]
                 for flow, _, counts in results])
    print("lvl+/lvl-: price levels opened/closed; fills: trades.")

    print()
    print("Targets:")
    by_name = {flow.name: times for flow, times, _ in results}

    def verdict(ok):
        return "met" if ok else "NOT MET"

    if not set(TARGETS) & set(by_name):
        print("  none of the flows run has targets: " + ", ".join(TARGETS))
    for name, (min_instr, min_time) in TARGETS.items():
        if name not in by_name:
            continue
        times = by_name[name]
        r = statistics.median(ratios(times["plain"], times["velmora"]))
        print(f"  {name}: plain/velmora time >= {min_time}: {r:.2f}  -> {verdict(r >= min_time)}")
        v, p = instructions.get((name, "velmora")), instructions.get((name, "plain"))
        if v and p:
            print(f"  {name}: plain/velmora instructions >= {min_instr}: {p / v:.2f}"
                  f"  -> {verdict(p / v >= min_instr)}")

    # Velmora's per-event cost on the mixed flow by book depth, relative to the shallowest.
    def by_resting(per_event, unit):
        base = per_event[0][1]
        parts = [f"{resting:,} resting {x:,.0f}{unit} ({x / base - 1:+.1%})".replace(",", " ")
                 for resting, x in per_event]
        return "; ".join(parts), max(abs(x / base - 1) for _, x in per_event)

    mixed = [(flow, times) for flow, times, _ in results if flow.group == "mixed"]
    counted = [(f.resting, instructions.get((f.name, "velmora"))) for f, _ in mixed]
    counted = [(resting, n) for resting, n in counted if n]
    if len(counted) > 1:
        parts, worst = by_resting(counted, "")
        print(f"  mixed per-event instructions flat within +-20 %: {parts}"
              f"  -> {verdict(worst <= 0.20)}")
    if len(mixed) > 1:
        timed = [(f.resting, statistics.median(t["velmora"]) / len(f.events)) for f, t in mixed]
        parts, worst = by_resting(timed, " ns")
        print(f"  (not a target) mixed per-event time by book depth: {parts}"
              f"  -> {'within' if worst <= 0.20 else 'beyond'} +-20 %")

    if depths:
        print()
        print("Time per event against a small and a large book (ns, median of"
              f" {repeats} interleaved repeats):")
        print_table(["case", "velmora", "plain", "plain/velmora"],
                    [[title, f"{v:.0f}", f"{p:.0f}", f"{p / v:.2f}"] for title, v, p in depths])
        print("what the larger book adds per event, to both engines alike, bounds the time")
        print("ratios of the flows on 100 000-order books below their instruction ratios.")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="small sizes and no depth comparison, for a smoke run")
    parser.add_argument("--repeats", type=int, help="timed repeats per engine (7; quick: 3)")
    parser.add_argument("--only", help="flow names or prefixes, comma-separated (e.g. mixed,sweep)")
    parser.add_argument("--no-callgrind", action="store_true",
                        help="skip the instruction counts (they need valgrind)")
    parser.add_argument("--callgrind-events", type=int, default=1000,
                        help="N for the instruction counts (default 1000)")
    parser.add_argument("--callgrind-flows", default=",".join(TARGETS),
                        help="flows to count instructions for, or 'all' (default: the flows"
                             " with targets)")
    args = parser.parse_args()
    repeats = args.repeats or (3 if args.quick else 7)
    if repeats < 1:
        parser.error("--repeats must be at least 1")

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

    print(f"velmora: {velmora.__file__}")
    print(f"Python {platform.python_version()} on {platform.machine()}, "
          f"{os.cpu_count()} CPUs{', quick sizes' if args.quick else ''}")
    print()
    results = []
    for flow in selected:
        t0 = time.perf_counter()
        results.append((flow, *measure(flow, repeats)))
        print(f"{flow.name}: {time.perf_counter() - t0:.1f} s", file=sys.stderr)
    depths = []
    if not args.quick and {"cancel-keep", "add-existing"} & {f.name for f in selected}:
        t0 = time.perf_counter()
        depths = by_depth(repeats)
        print(f"small and large books: {time.perf_counter() - t0:.1f} s", file=sys.stderr)
    instructions = {}
    if not args.no_callgrind:
        if shutil.which("valgrind") is None:
            print("valgrind is not installed: no instruction counts (make bench installs it)",
                  file=sys.stderr)
        else:
            t0 = time.perf_counter()
            wanted = (set(callgrind.BUILDERS) if args.callgrind_flows == "all"
                      else set(args.callgrind_flows.split(",")))
            pairs = [(flow.name, engine) for flow in selected
                     if flow.name in callgrind.BUILDERS and flow.name in wanted
                     for engine in callgrind.ENGINES]
            # Velmora alone on the mixed flow from every book size, for the flatness target.
            pairs += [(flow.name, "velmora") for flow in selected
                      if flow.group == "mixed" and flow.name in callgrind.BUILDERS
                      and (flow.name, "velmora") not in pairs]
            instructions = callgrind.per_event(pairs, args.callgrind_events)
            print(f"callgrind: {time.perf_counter() - t0:.1f} s", file=sys.stderr)
    report(results, repeats, instructions, args.callgrind_events, depths)
    print(f"\ntotal {time.perf_counter() - started:.0f} s", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
