"""velmora.core as a market-by-order replay uses it: one batch call with the top levels written
after every event, against the same batch without them and against a per-event Python loop
that reads them with depth(); the per-call cost of the per-order operations against cancel's;
bytes per resting order.

    python bench/core_mbo.py [--quick] [--repeats N] [--depth 10] [--no-callgrind]
                             [--only NAME[,NAME...]]

Flows: the benchmark's mixed flow from 10 and from 100 000 resting orders (bench/core.py's
conversion to ticks), and mbo-10, the mixed-10 flow as a market-by-order feed reports it: each
market order becomes the executions of the orders it filled, and of the cancellations of
orders with more than one unit open, one in three is first reduced to a single unit and one
in three first modified down to it, in place. Before timing, the batch (with and without
snapshots) is checked against the per-event loop: the same fills, books and top levels.

Run with a build of the core from before the per-order operations on the path, it measures
what that build has (batch and the per-event loops, cancel and add_limit per call): the
figures "today".
"""

import argparse
import operator
import os
import re
import statistics
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

import numpy as np

# The flows live in reference/, shared with the tests and the build.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "reference"))

import flows  # noqa: E402
from core import core_events  # noqa: E402
from peers import timed  # noqa: E402
from run import fmt_rate, fmt_ratio, print_table, ratios  # noqa: E402

from velmora import core  # noqa: E402

MODERN = hasattr(core, "REDUCE")  # the per-order operations, times and snapshots exist
LIMIT, MARKET, CANCEL = core.LIMIT, core.MARKET, core.CANCEL
REDUCE, EXECUTE, MODIFY = (core.REDUCE, core.EXECUTE, core.MODIFY) if MODERN else (3, 4, 5)


# --- flows -----------------------------------------------------------------------------------


def as_array(rows):
    """(kind, side, order_id, price, quantity, time) rows as EVENT_DTYPE (without the time on
    a build whose events have none)."""
    if "time" not in core.EVENT_DTYPE.names:
        rows = [row[:5] for row in rows]
    return np.array(rows, dtype=core.EVENT_DTYPE)


def rows_of(events):
    """bench/core.py's (kind, order_id, side, price, quantity) events as rows, timed by
    position."""
    return [(k, s, i, p, q, t) for t, (k, i, s, p, q) in enumerate(events)]


def market_by_order(setup, events):
    """The events as a market-by-order feed reports them (see the module's docstring), found
    by replaying them on a scratch book."""
    book = core.Book()
    book.replay(as_array(setup))
    out = []
    cancels = 0
    for kind, side, order_id, price, quantity, t in events:
        if kind == MARKET:
            for resting, _, filled in book.add_market(order_id, side, quantity):
                out.append((EXECUTE, 0, resting, 0, filled, t))
            continue
        if kind == CANCEL:
            resting = book.order(order_id)
            if resting and resting[2] > 1:
                cancels += 1
                if cancels % 3 == 1:
                    out.append((REDUCE, 0, order_id, 0, resting[2] - 1, t))
                elif cancels % 3 == 2:
                    out.append((MODIFY, 0, order_id, resting[1], 1, t))
            book.cancel(order_id)
        else:
            book.add_limit(order_id, side, price, quantity, t)
        out.append((kind, side, order_id, price, quantity, t))
    return out


class Case:
    def __init__(self, name, setup, events):
        self.name, self.setup, self.events = name, setup, events
        self.setup_array, self.events_array = as_array(setup), as_array(events)


def cases(quick, only):
    built = {f.name: f for f in flows.build(quick=quick)}
    out = []
    for name in ("mixed-10", "mixed-100k" if not quick else "mixed-10k"):
        setup, first = core_events(built[name].setup, 0)
        events, _ = core_events(built[name].events, first)
        out.append(Case(name, rows_of(setup), rows_of(events)))
    if MODERN:
        base = out[0]
        out.append(Case("mbo-10", base.setup, market_by_order(base.setup, base.events)))
    if only:
        wanted = [w.strip() for w in only.split(",") if w.strip()]
        out = [c for c in out if any(c.name.startswith(w) for w in wanted)]
    return out


# --- the engines -----------------------------------------------------------------------------


def new_book(case):
    book = core.Book()
    book.replay(case.setup_array)
    return book


def loop(book, events, depth):
    """The per-event loop: one call per event, then depth() of both sides when depth > 0."""
    add_limit, add_market, cancel = book.add_limit, book.add_market, book.cancel
    read = book.depth
    if MODERN:
        reduce, execute, modify = book.reduce, book.execute, book.modify
    for kind, side, order_id, price, quantity, t in events:
        if kind == LIMIT:
            if MODERN:
                add_limit(order_id, side, price, quantity, t)
            else:
                add_limit(order_id, side, price, quantity)
        elif kind == CANCEL:
            cancel(order_id)
        elif kind == MARKET:
            add_market(order_id, side, quantity)
        elif kind == EXECUTE:
            execute(order_id, quantity)
        elif kind == REDUCE:
            reduce(order_id, quantity)
        else:
            modify(order_id, price, quantity, t)
        if depth:
            read(0, depth)
            read(1, depth)


def engines(case, depth):
    """{name: fn(book)} for the timed section of each engine."""
    out = {"batch": lambda book: book.replay(case.events_array)}
    if MODERN:
        out["snapshots"] = lambda book: book.replay(case.events_array, depth=depth)
        out["changed"] = lambda book: book.replay(case.events_array, depth=depth,
                                                  changed_only=True)
    out["loop"] = lambda book: loop(book, case.events, 0)
    out["loop+depth"] = lambda book: loop(book, case.events, depth)
    return out


def check(case, depth):
    """The batch, with and without snapshots, against the per-event calls."""
    one_by_one = new_book(case)
    rows = []
    for event in case.events:
        loop(one_by_one, [event], 0)
        if MODERN:
            rows.append([one_by_one.depth(side, depth) for side in (0, 1)])
    batch = new_book(case)
    if MODERN:
        result = batch.replay(case.events_array, depth=depth)
    else:
        batch.replay(case.events_array)
    if batch.orders() != one_by_one.orders():
        raise SystemExit(f"*** {case.name}: the batch's book differs from the per-event one ***")
    if not MODERN:
        return
    snaps = result.snapshots
    for k in (0, len(rows) // 2, len(rows) - 1):
        for side, prefix in ((0, "bid"), (1, "ask")):
            levels = rows[k][side]
            got = list(zip(snaps[f"{prefix}_price"][k][:len(levels)].tolist(),
                           snaps[f"{prefix}_total"][k][:len(levels)].tolist()))
            if got != [(p, t) for p, t, _ in levels]:
                raise SystemExit(f"*** {case.name}: snapshot {k} differs from depth() ***")


def measure(case, repeats, depth):
    fns = engines(case, depth)
    names = list(fns)
    times = {name: [] for name in names}
    for round_ in range(repeats + 1):  # round 0 warms up
        shift = round_ % len(names)
        for name in names[shift:] + names[:shift]:
            book = new_book(case)
            elapsed = timed(lambda: fns[name](book))
            if round_:
                times[name].append(elapsed)
    return times


# --- instructions under callgrind ---------------------------------------------------------------


def callgrind(args, inside="_operator_call"):
    """Instructions of `python bench/core_mbo.py --child ARGS...` under callgrind, counted
    only inside the function named `inside`: by default the one operator.call() through which
    the child runs what it measures (interpreter start-up and imports vary by a few million
    instructions from run to run), or a method's own C function."""
    proc = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
         "--collect-atstart=no", f"--toggle-collect={inside}", sys.executable,
         os.path.abspath(__file__), "--child", *map(str, args)],
        capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    found = re.search(r"Collected : (\d+)", proc.stderr)
    if not found:
        raise SystemExit(f"callgrind failed for {args}:\n{proc.stderr[-2000:]}")
    return int(found.group(1))


def per_unit(jobs, runs, inside=lambda key: "_operator_call"):
    """{key: (count(2N) - count(N)) / N} for runs of (key, make, N), where make(n, N) gives
    the child's arguments for n units of work out of the same preparation for 2N; counted
    inside the function inside(key)."""
    plan = [(key, make(n, n), n) for key, make, n in runs] + [(key, make(2 * n, n), n)
                                                                for key, make, n in runs]
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        counts = list(pool.map(lambda run: callgrind(run[1], inside(run[0])), plan))
    half = len(runs)
    return {plan[k][0]: (counts[half + k] - counts[k]) / plan[k][2] for k in range(half)}


ENGINE_CALLS = {
    "batch": lambda book, events, array, depth: book.replay(array),
    "snapshots": lambda book, events, array, depth: book.replay(array, depth=depth),
    "changed": lambda book, events, array, depth: book.replay(array, depth=depth,
                                                              changed_only=True),
    "loop": lambda book, events, array, depth: loop(book, events, 0),
    "loop+depth": lambda book, events, array, depth: loop(book, events, depth),
}

OPERATIONS = ("add_limit", "cancel", "reduce", "execute", "modify", "order", "level")
# The C function behind each method, for its own cost (callgrind's function names).
METHOD_FUNCTIONS = {op: f"*book_{op}(*" for op in OPERATIONS} | {"reduce": "*book_reduce_order(*"}


def deep_rows(size):
    """A book of `size` orders, ten per level on each side, 2 to 6 units each."""
    rows = []
    for k in range(size):
        side, step = k % 2, k // 20
        rows.append((k, side, 10_000 - step if side == 0 else 20_000 + step, 2 + k % 5, False))
    return rows


def operation_child(name, n, base, size):
    """n calls of one per-order operation on distinct orders of a deep book, in an order that
    jumps around it, the arguments made beforehand and each result dropped at once (no Python
    code runs between calls); the targets are drawn for 2 * base calls whatever n is."""
    import gc
    import random
    from collections import deque
    from itertools import starmap

    rows = deep_rows(size)
    book = core.Book.from_orders(rows)
    targets = random.Random(1).sample(rows, 2 * base)[:n]
    arguments = {
        "add_limit": lambda r: (size + r[0], r[1], r[2], 1),
        "cancel": lambda r: (r[0],),
        "reduce": lambda r: (r[0], 1),
        "execute": lambda r: (r[0], 1),
        "modify": lambda r: (r[0], r[2], 1),
        "order": lambda r: (r[0],),
        "level": lambda r: (r[1], r[2]),
    }[name]
    calls = [arguments(row) for row in targets]
    method = getattr(book, name)
    gc.collect()
    gc.disable()
    operator.call(lambda: deque(starmap(method, calls), maxlen=0))
    os._exit(0)


def child(argv):
    if argv[0] == "operation":
        operation_child(argv[1], int(argv[2]), int(argv[3]), int(argv[4]))
    path, engine, n, base, depth = argv[0], argv[1], int(argv[2]), int(argv[3]), int(argv[4])
    import gc

    data = np.load(path)
    setup, events = data["setup"], data["events"][:n]
    # Converted for 2 * base events whatever n is, so both runs of a pair do the same here.
    rows = [tuple(row) + (0,) * (6 - len(row)) for row in data["events"][:2 * base].tolist()][:n]
    book = core.Book()
    book.replay(setup)
    gc.collect()
    gc.disable()
    operator.call(ENGINE_CALLS[engine], book, rows, events, depth)
    os._exit(0)


# --- report ------------------------------------------------------------------------------------


def median_ratio(num, den):
    values = ratios(num, den)
    return statistics.median(values) if values else float("nan")


def verdict(ok):
    return "met" if ok else "NOT MET"


def bytes_per_order(size=100_000):
    rows = deep_rows(size)
    if MODERN:
        rows = [row + (k,) for k, row in enumerate(rows)]  # each with a time stamp
    book = core.Book.from_orders(rows)
    return book._native_bytes() / len(book)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2:])
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--repeats", type=int, help="timed repeats per engine (7; quick: 3)")
    parser.add_argument("--depth", type=int, default=10, help="levels per side (10)")
    parser.add_argument("--only", help="flow names or prefixes, comma-separated")
    parser.add_argument("--no-callgrind", action="store_true", help="timings only")
    parser.add_argument("--events", type=int, default=5000,
                        help="N for the callgrind figures of the flows (5000; quick: 1000)")
    parser.add_argument("--calls", type=int, default=2000,
                        help="N for the per-call figures (2000; quick: 500)")
    parser.add_argument("--jobs", type=int, default=2, help="valgrind runs at a time (2)")
    args = parser.parse_args()
    repeats = args.repeats or (3 if args.quick else 7)
    events_n = 1000 if args.quick else args.events
    calls_n = 500 if args.quick else args.calls
    depth = args.depth
    print(f"velmora.core: {core.__file__}" + ("" if MODERN else " (before the per-order "
                                                                "operations)"))
    selected = cases(args.quick, args.only)
    results = []
    for case in selected:
        check(case, depth)
        results.append((case, measure(case, repeats, depth)))
        print(f"{case.name}: timed", file=sys.stderr)

    names = list(engines(selected[0], depth)) if selected else []
    print(f"\nOne replay per engine, top {depth} levels of both sides after every event "
          f"(thousands of events per second, median (min-max) of {repeats}; engines "
          "interleaved, ratios per repeat):")
    columns = ["flow", "events"] + names
    if MODERN:
        columns += ["snapshots/batch time", "loop+depth/snapshots time"]
    else:
        columns += ["loop+depth/batch time"]
    rows = []
    for case, times in results:
        n = len(case.events)
        row = [case.name, f"{n:,}"] + [fmt_rate(n, times[name]) for name in names]
        if MODERN:
            row += [fmt_ratio(ratios(times["snapshots"], times["batch"])),
                    fmt_ratio(ratios(times["loop+depth"], times["snapshots"]))]
        else:
            row += [fmt_ratio(ratios(times["loop+depth"], times["batch"]))]
        rows.append(row)
    print_table(columns, rows)
    print("batch: Book.replay(events); snapshots: replay(events, depth=N), a row per event;"
          " changed: the same with\nchanged_only=True; loop: a Python loop of per-event calls;"
          " loop+depth: the same loop calling\ndepth(BID, N) and depth(ASK, N) after each"
          " event.")

    instructions, operations, whole = {}, {}, {}
    if not args.no_callgrind:
        with tempfile.TemporaryDirectory() as folder:
            runs = []
            for case in selected:
                path = os.path.join(folder, f"{case.name}.npz")
                np.savez(path, setup=case.setup_array, events=case.events_array)
                for name in names:
                    n = min(events_n, len(case.events) // 2)
                    runs.append(((case.name, name),
                                 (lambda p, e: lambda k, b: [p, e, k, b, depth])(path, name), n))
            instructions = per_unit(args.jobs, runs)
        print(f"\nInstructions per event (callgrind; (2N - N) / N with N = {events_n}):")
        rows = []
        for case in selected:
            figures = [instructions[case.name, name] for name in names]
            row = [case.name] + [f"{x:,.0f}" for x in figures]
            if MODERN:
                row += [f"{instructions[case.name, 'snapshots'] / instructions[case.name, 'batch']:.2f}",
                        f"{instructions[case.name, 'loop+depth'] / instructions[case.name, 'snapshots']:.1f}"]
            else:
                row += [f"{instructions[case.name, 'loop+depth'] / instructions[case.name, 'batch']:.1f}"]
            rows.append(row)
        print_table(["flow"] + names + [c.replace(" time", "") for c in columns[2 + len(names):]],
                    rows)

        size = 10_000 if args.quick else 100_000
        available = [op for op in OPERATIONS if hasattr(core.Book, op)]
        runs = [(op, (lambda o: lambda k, b: ["operation", o, k, b, size])(op), calls_n)
                for op in available]
        whole = per_unit(args.jobs, runs)
        operations = per_unit(args.jobs, runs, lambda op: METHOD_FUNCTIONS[op])
        print(f"\nInstructions per call on distinct orders of a {size:,}-order book (callgrind;"
              f" (2N - N) / N with N = {calls_n}): the method's own\n(its C function: argument"
              " binding, the engine, making the result) and the whole call (the method\nas"
              " looked up on the book, called by itertools.starmap with its arguments made"
              " beforehand, the result dropped):")
        if not operations["cancel"]:  # a stripped build (the wheel): no function names
            operations = {}
            print("(the method's own figures need a build with symbols: PYTHONPATH=build/...)")
        print_table(["operation", "method", "/ cancel", "call", "/ cancel"],
              [[op] + ([f"{operations[op]:,.0f}", f"{operations[op] / operations['cancel']:.2f}"]
                       if operations else ["-", "-"])
               + [f"{whole[op]:,.0f}", f"{whole[op] / whole['cancel']:.2f}"] for op in available])
        print("add_limit rests a new order at an existing level; reduce, execute: 1 unit of an"
              " order with 2 or more;\nmodify: down to 1 unit at the same price (keeps its"
              " place); order, level: look-ups that find.")

    per_order = bytes_per_order(10_000 if args.quick else 100_000)
    print(f"\nNative bytes per resting order, {10_000 if args.quick else 100_000:,}-order book,"
          f" ten orders a level{', time stamps set' if MODERN else ''}: {per_order:.1f}")

    if not MODERN:
        return 0
    print("\nTargets:")
    for case, times in results:
        if not case.name.startswith("mixed"):
            continue
        r = median_ratio(times["snapshots"], times["batch"])
        print(f"  {case.name}: snapshots <= 2 x batch time: {r:.2f}  -> {verdict(r <= 2)}")
        if instructions:
            r = instructions[case.name, "snapshots"] / instructions[case.name, "batch"]
            print(f"  {case.name}: snapshots <= 2 x batch instructions: {r:.2f}"
                  f"  -> {verdict(r <= 2)}")
        r = median_ratio(times["loop+depth"], times["snapshots"])
        print(f"  {case.name}: snapshots >= 20 x the loop with depth() time: {r:.1f}"
              f"  -> {verdict(r >= 20)}")
        if instructions:
            r = instructions[case.name, "loop+depth"] / instructions[case.name, "snapshots"]
            print(f"  {case.name}: snapshots >= 20 x the loop with depth() instructions: {r:.1f}"
                  f"  -> {verdict(r >= 20)}")
    for label, figures in (("method", operations), ("call", whole)):
        for op in ("reduce", "execute", "order", "level") if figures else ():
            r = figures[op] / figures["cancel"]
            print(f"  {op} per {label} <= cancel's: {figures[op]:,.0f} against"
                  f" {figures['cancel']:,.0f}  -> {verdict(r <= 1)}")
    print(f"  memory per resting order <= 64 B: {per_order:.1f}  -> {verdict(per_order <= 64)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
