"""Instructions per event under valgrind's callgrind: repeatable where timings are noisy.

    python bench/callgrind.py [--events N] [--flows add-existing,cancel-keep,mixed-10]
                              [--engines velmora,plain,loop] [--jobs J] [--total T] [--cache]

Each figure is (count for 2N events - count for N events) / N, so interpreter start-up,
flow generation and book set-up cancel out. "loop" is the replay loop with velmora's Order()
construction against a book that does nothing. The flows are the benchmark's, built with 4N
events (mixed-10 is the mixed flow from its 10 resting orders). Needs valgrind (apt-get
install valgrind).
"""

import argparse
import gc
import os
import re
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

# The flows and the plain book live in reference/, shared with the tests and the build.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "reference"))

import flows  # noqa: E402

BUILDERS = {
    "mixed-10": lambda total: flows.with_preload(
        flows.zero_intelligence(20100101, total), "mixed-10", 10),
    "add-existing": lambda total: flows.adds_at_existing_levels(11, total),
    "add-new-level": lambda total: flows.adds_opening_levels(12, total),
    "cancel-keep": lambda total: flows.cancels_keeping_levels(13, total),
    "cancel-random": lambda total: flows.cancels_keeping_levels(17, total, anywhere=True),
    "cancel-empty": lambda total: flows.cancels_emptying_levels(14, total),
    "sweep": lambda total: flows.sweeping_limits(15, total),
    "market": lambda total: flows.market_orders(16, total),
}
# The mixed flow from deeper books, for the flatness of the per-event count: velmora only
# (the set-up of 100 000 resting orders is replayed under valgrind in every run).
for _resting, _name in ((1_000, "mixed-1k"), (10_000, "mixed-10k"), (100_000, "mixed-100k")):
    BUILDERS[_name] = (lambda resting, name: lambda total: flows.with_preload(
        flows.zero_intelligence(20100101, total), name, resting))(_resting, _name)
BUILDERS["mixed"] = BUILDERS["mixed-10"]  # the old name
ENGINES = ("velmora", "plain", "loop")


class NullBook:
    """Takes every event and does nothing with it: what is left is the replay loop and the
    construction of the orders, which every engine pays."""

    def __init__(self):
        self.add_limit_order = self.add_market_order = self.cancel_order = id


def _flow(name, total, events):
    built = BUILDERS[name](total)
    return flows.Flow(name, name, built.setup, built.events[:events])


def replay_child(name, engine, n, base, total):
    """Runs inside valgrind: set up, then replay the first n events and exit at once. Both
    runs of a pair do the same work up to the replay: they build 2 * base events whichever n
    they replay."""
    import velmora.orderbook as vm

    flow = _flow(name, total, 2 * base)
    events = flow.events[:n]
    orders = []
    if engine == "velmora":
        book, order_type = vm.OrderBook(), vm.Order
    elif engine == "plain":
        import plain

        book, order_type = plain.OrderBook(), plain.Order
    else:
        book, order_type = NullBook(), vm.Order
    flows.replay(book, order_type, flow.setup, orders)
    gc.collect()
    gc.disable()
    flows.replay(book, order_type, events, orders)
    os._exit(0)  # no teardown: the difference between the two runs is the replay alone


def count(name, engine, n, base, total, cache=False):
    """Instructions of one run; with cache, (instructions, first-level and last-level cache
    misses) from valgrind's cache simulation (its model of this machine's caches)."""
    tool = ["--cache-sim=yes"] if cache else []
    proc = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *tool, sys.executable,
         __file__, "--child", name, engine, str(n), str(base), str(total)],
        capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    found = re.search(r"Collected : (\d+)(.*)", proc.stderr)
    # valgrind reports a count even when the replay failed: only a clean exit counts.
    if proc.returncode or not found:
        raise SystemExit(f"callgrind failed for {name}/{engine}:\n{proc.stderr[-2000:]}")
    if not cache:
        return int(found.group(1))
    # Collected: Ir Dr Dw I1mr D1mr D1mw ILmr DLmr DLmw
    fields = [int(x) for x in found.group(2).split()]
    return int(found.group(1)), sum(fields[2:5]), sum(fields[5:8])


def per_event(pairs, events=1000, jobs=2, total=None, cache=False):
    """Instructions per event for each (flow name, engine) pair, as a dict (with cache,
    instructions, first-level and last-level cache misses per event); the valgrind runs go
    jobs at a time. The flows are built with total events (default 4 * events)."""
    total = total or 4 * events
    runs = [(name, engine, n) for name, engine in pairs for n in (events, 2 * events)]
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        counted = list(pool.map(
            lambda run: count(run[0], run[1], run[2], events, total, cache), runs))
    found = dict(zip(runs, counted))

    def diff(a, b):
        return (b - a) / events

    if cache:
        return {(name, engine): tuple(diff(a, b) for a, b in zip(found[name, engine, events],
                                                                 found[name, engine, 2 * events]))
                for name, engine in pairs}
    return {(name, engine): diff(found[name, engine, events], found[name, engine, 2 * events])
            for name, engine in pairs}


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        name, engine, n, base, total = sys.argv[2:7]
        replay_child(name, engine, int(n), int(base), int(total))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=1000, help="N (default 1000)")
    parser.add_argument("--flows", default="add-existing,cancel-keep,mixed-10")
    parser.add_argument("--engines", default=",".join(ENGINES))
    parser.add_argument("--jobs", type=int, default=2, help="valgrind runs at a time (2)")
    parser.add_argument("--total", type=int,
                        help="build the flows with this many events (default 4N): the size of "
                             "the book for the cancel flows")
    parser.add_argument("--cache", action="store_true",
                        help="also count last-level cache misses per event (cache simulation)")
    args = parser.parse_args()
    names, engines = args.flows.split(","), args.engines.split(",")
    unknown = sorted(set(names) - set(BUILDERS)) + sorted(set(engines) - set(ENGINES))
    if unknown:
        parser.error(f"unknown flow or engine: {', '.join(unknown)} (flows: "
                     f"{', '.join(BUILDERS)}; engines: {', '.join(ENGINES)})")
    figures = per_event([(f, e) for f in names for e in engines], args.events, args.jobs,
                        args.total, args.cache)
    print(f"{'flow':<14} " + " ".join(f"{e:>10}" for e in engines))
    for name in names:
        if args.cache:
            print(f"{name:<14} " + " ".join(f"{figures[name, e][0]:>10,.0f}" for e in engines)
                  + "   instructions")
            print(f"{'':<14} " + " ".join(f"{figures[name, e][1]:>10,.1f}" for e in engines)
                  + "   first-level cache misses")
            print(f"{'':<14} " + " ".join(f"{figures[name, e][2]:>10,.1f}" for e in engines)
                  + "   last-level cache misses")
        else:
            print(f"{name:<14} " + " ".join(f"{figures[name, e]:>10,.0f}" for e in engines))
    print("per event: (2N - N) / N with N =", args.events)


if __name__ == "__main__":
    main()
