"""Benchmarks of velmora.orderbook against the plain Python book and the two floors.

Every flow is generated once from fixed seeds, checked to give the same outcome on velmora
and on the plain engine, then timed on each engine in turn (the order rotates every repeat,
after one warm-up round), with the garbage collector off inside the timed sections. Then
callgrind counts instructions per event for every engine and both floors (callgrind.py).

    python bench/run.py [--quick] [--repeats N] [--only NAME[,NAME...]] [--no-velmora]
                        [--no-callgrind] [--callgrind-events N] [--callgrind-flows all]
"""

import argparse
import gc
import os
import platform
import shutil
import statistics
import sys
import time
from time import perf_counter_ns

# The flows and the plain book live in reference/, shared with the tests and the build.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "reference"))

import callgrind  # noqa: E402
import flows  # noqa: E402
import floor  # noqa: E402
import literal  # noqa: E402
import plain  # noqa: E402
import recording  # noqa: E402
from velmora.orderbook import Order

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


def timed_replay(new_book, order_type, flow):
    """new_book(orders) makes the book, given the list the replay fills with its orders."""
    orders = []
    book = new_book(orders)
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
    """Check the flow, then time it; returns (times per engine, recorded floor operations,
    counts of the literal floor's operations)."""
    recorded = recording.record(flow)
    expected = outcome(recorded.book, recorded.orders)
    setup_ops, ops = floor.mandated(flow, recorded)
    counts = recording.counts(recorded.events)
    plan = literal.checked_plan(flow, recorded, Order)[0]
    del recorded
    engines = {}
    if velmora is not None:
        book = velmora.OrderBook()
        orders = []
        flows.replay(book, velmora.Order, flow.setup, orders)
        flows.replay(book, velmora.Order, flow.events, orders)
        check_same(flow, outcome(book, orders), expected)
        del book, orders
        engines["velmora"] = lambda: timed_replay(
            lambda orders: velmora.OrderBook(), velmora.Order, flow)
        if flow.group == "mixed":
            engines["loop"] = lambda: timed_replay(lambda orders: NullBook(), velmora.Order, flow)
    del expected
    engines["plain"] = lambda: timed_replay(lambda orders: plain.OrderBook(), plain.Order, flow)
    engines["floor"] = lambda: timed_floor(setup_ops, ops)
    engines["literal"] = lambda: timed_replay(
        lambda orders: literal.Book(plan, orders), Order, flow)
    names = list(engines)
    times = {name: [] for name in names}
    for round_ in range(repeats + 1):  # round 0 warms up
        shift = round_ % len(names)
        for name in names[shift:] + names[:shift]:
            elapsed = engines[name]()
            if round_:
                times[name].append(elapsed)
    return times, ops, counts


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


# Issue targets: flow -> (plain/velmora instructions, plain/velmora time,
# velmora/literal floor instructions).
TARGETS = {
    "mixed-10": (2.0, 1.8, 1.10),
    "add-existing": (2.6, 2.5, 1.10),
    "cancel-keep": (2.3, 1.7, 1.10),
}


def report(results, have_velmora, repeats, instructions, callgrind_events):
    rows = []
    for flow, times, ops, _ in results:
        n = len(flow.events)
        v = times.get("velmora")
        rows.append([
            flow.name,
            f"{n:,}",
            fmt_rate(n, v) if v else "n/a",
            fmt_rate(n, times["plain"]),
            fmt_rate(n, times["floor"]) if ops else "- (nothing)",
            fmt_rate(n, times["literal"]),
            fmt_ratio(ratios(times["plain"], v)) if v else "n/a",
            fmt_ratio(ratios(v, times["floor"])) if v and ops else "-",
            fmt_ratio(ratios(v, times["literal"])) if v else "n/a",
        ])
    print("Time, thousands of events per second:")
    print_table(["flow", "events", "velmora", "plain", "floor", "literal floor",
                 "plain/velmora", "velmora/floor", "velmora/literal"], rows)
    print(f"{RATIO_NOTE}; {repeats} repeats after a warm-up.")
    print("floor: SortedDict insert/delete per level that comes or goes, first-key read after")
    print("the best level goes, one Trade per fill; '- (nothing)': the flow needs none of these.")
    print("literal floor: every operation the semantics perform on caller-visible objects,")
    print("replayed at their cheapest behind the same replay loop and Order() construction.")

    if instructions:
        print()
        print("Instructions per event (callgrind):")
        engines = [e for e in callgrind.ENGINES if any(k[1] == e for k in instructions)]
        rows = []
        for flow, _, _, _ in results:
            got = {e: instructions.get((flow.name, e)) for e in engines}
            if not any(got.values()):
                continue
            row = [flow.name] + [f"{got[e]:,.0f}" if got[e] else "-" for e in engines]
            v, p, lit = got.get("velmora"), got.get("plain"), got.get("literal")
            row.append(f"{p / v:.2f}" if v and p else "-")
            row.append(f"{v / lit:.2f}" if v and lit else "-")
            rows.append(row)
        print_table(["flow"] + [e if e != "literal" else "literal floor" for e in engines]
                    + ["plain/velmora", "velmora/literal"], rows)
        print(f"(count for 2N events - count for N events) / N, N = {callgrind_events}, on the"
              " same flows built with 4N events; loop: the replay loop and velmora Order()"
              " alone.")

    print()
    print("What the timed events do (counts per 1 000 events):")
    kinds_head = ["limit", "market", "cancel"]
    groups = [
        ("lvl+", [recording.SIDE_INSERT]), ("lvl-", [recording.SIDE_DELETE]),
        ("first", [recording.SIDE_FIRST]),
        ("side?", [recording.SIDE_CONTAINS, recording.SIDE_GET]),
        ("q+", [recording.QUEUE_INSERT]), ("peek", [recording.QUEUE_PEEK]),
        ("pop", [recording.QUEUE_POP]), ("q-", [recording.QUEUE_DELETE]),
        ("q?", [recording.QUEUE_CONTAINS, recording.QUEUE_GET, recording.QUEUE_LOOKUP]),
        ("idx?", [recording.INDEX_CONTAINS, recording.INDEX_GET]),
        ("idx+", [recording.INDEX_SET]), ("idx-", [recording.INDEX_DELETE]),
        ("cmp", [recording.COMPARE]), ("fills", [recording.TRADE]),
    ]
    table = []
    for flow, _, _, counts in results:
        n = len(flow.events) or 1
        kinds = [0, 0, 0]
        for event in flow.events:
            kinds[event[0]] += 1
        per = [kinds[flows.LIMIT], kinds[flows.MARKET], kinds[flows.CANCEL]]
        per += [sum(counts[code] for code in codes) for _, codes in groups]
        table.append([flow.name] + [f"{1000 * x / n:.0f}" for x in per])
    print_table(["flow"] + kinds_head + [name for name, _ in groups], table)
    print("lvl+/lvl-: side inserts/deletes (levels opened/closed); first: first-key reads;")
    print("side?, q?, idx?: look-ups (in, [], get) of the sides, the queues, the orders index;")
    print("q+, peek, pop, q-: queue inserts, oldest reads, pops, deletions; idx+/idx-: index")
    print("writes/deletions; cmp: price comparisons. A new level also makes one PriceLevel.")

    if not have_velmora:
        print("\nTargets: not measured (velmora not run).")
        return
    print()
    print("Targets:")
    by_name = {flow.name: times for flow, times, _, _ in results}

    def verdict(ok):
        return "met" if ok else "NOT MET"

    if not set(TARGETS) & set(by_name):
        print("  none of the flows run has targets: " + ", ".join(TARGETS))
    for name, (min_instr, min_time, max_literal) in TARGETS.items():
        if name not in by_name:
            continue
        times = by_name[name]
        r = statistics.median(ratios(times["plain"], times["velmora"]))
        print(f"  {name}: plain/velmora time >= {min_time}: {r:.2f}  -> {verdict(r >= min_time)}")
        v, p = instructions.get((name, "velmora")), instructions.get((name, "plain"))
        lit = instructions.get((name, "literal"))
        if v and p:
            print(f"  {name}: plain/velmora instructions >= {min_instr}: {p / v:.2f}"
                  f"  -> {verdict(p / v >= min_instr)}")
        if v and lit:
            print(f"  {name}: velmora/literal floor instructions <= {max_literal:.2f}:"
                  f" {v / lit:.2f}  -> {verdict(v / lit <= max_literal)}")
    # Velmora's per-event cost on the mixed flow by book depth, relative to the shallowest.
    def spread(per_event, unit):
        base = per_event[0][1]
        parts = [f"{resting:,} resting {x:,.0f}{unit} ({x / base - 1:+.1%})".replace(",", " ")
                 for resting, x in per_event]
        return "; ".join(parts), max(abs(x / base - 1) for _, x in per_event)

    mixed = [entry for entry in results if entry[0].group == "mixed"]
    counted = [(f.resting, instructions.get((f.name, "velmora"))) for f, _, _, _ in mixed]
    counted = [(resting, n) for resting, n in counted if n]
    if len(counted) > 1:
        parts, worst = spread(counted, "")
        print(f"  mixed per-event instructions flat within +-20 %: {parts}"
              f"  -> {verdict(worst <= 0.20)}")
    if len(mixed) > 1:
        timed = [(f.resting, statistics.median(t["velmora"]) / len(f.events))
                 for f, t, _, _ in mixed]
        parts, worst = spread(timed, " ns")
        print(f"  (not a target) mixed per-event time, 10 to 100 000 resting: {parts}"
              f"  -> {'within' if worst <= 0.20 else 'beyond'} +-20 %")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--repeats", type=int, help="timed repeats per engine (7; quick: 3)")
    parser.add_argument("--only", help="flow names or prefixes, comma-separated (e.g. mixed,sweep)")
    parser.add_argument("--no-velmora", action="store_true",
                        help="time the plain engine and the floors only")
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
        times, ops, counts = measure(flow, velmora, repeats)
        results.append((flow, times, ops, counts))
        print(f"{flow.name}: {time.perf_counter() - t0:.1f} s", file=sys.stderr)
    instructions = {}
    if not args.no_callgrind:
        if shutil.which("valgrind") is None:
            print("valgrind is not installed: no instruction counts (make bench installs it)",
                  file=sys.stderr)
        else:
            t0 = time.perf_counter()
            engines = [e for e in callgrind.ENGINES
                       if velmora is not None or e not in ("velmora", "loop")]
            wanted = (set(callgrind.BUILDERS) if args.callgrind_flows == "all"
                      else set(args.callgrind_flows.split(",")))
            pairs = [(flow.name, engine) for flow in selected
                     if flow.name in callgrind.BUILDERS and flow.name in wanted
                     for engine in engines]
            # Velmora alone on the mixed flow from every book size, for the flatness target.
            if velmora is not None:
                pairs += [(flow.name, "velmora") for flow in selected
                          if flow.group == "mixed" and flow.name in callgrind.BUILDERS
                          and (flow.name, "velmora") not in pairs]
            instructions = callgrind.per_event(pairs, args.callgrind_events)
            print(f"callgrind: {time.perf_counter() - t0:.1f} s", file=sys.stderr)
    report(results, velmora is not None, repeats, instructions, args.callgrind_events)
    print(f"\ntotal {time.perf_counter() - started:.0f} s", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
