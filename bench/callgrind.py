"""Instructions per event under valgrind's callgrind: repeatable where timings are noisy.

    python bench/callgrind.py [--events N] [--flows add-existing,cancel-keep,mixed]
                              [--engines velmora,plain,loop,floor]

Each figure is (count for 2N events - count for N events) / N, so interpreter start-up,
flow generation and book set-up cancel out. "loop" is the replay loop with velmora's
Order() construction against a book that does nothing; "floor" replays only the mandated
SortedDict and Trade operations. Needs valgrind (apt-get install valgrind).
"""

import argparse
import gc
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import flows  # noqa: E402

BUILDERS = {
    "add-existing": lambda total: flows.adds_at_existing_levels(11, total),
    "add-new-level": lambda total: flows.adds_opening_levels(12, total),
    "cancel-keep": lambda total: flows.cancels_keeping_levels(13, total),
    "cancel-empty": lambda total: flows.cancels_emptying_levels(14, total),
    "sweep": lambda total: flows.sweeping_limits(15, total),
    "market": lambda total: flows.market_orders(16, total),
    "mixed": lambda total: flows.zero_intelligence(20100101, total),
}


class NullBook:
    def __init__(self):
        self.add_limit_order = self.add_market_order = self.cancel_order = id


def replay_child(name, engine, n, base, total):
    """Runs inside valgrind: set up, then replay the first n events and exit at once."""
    import velmora.orderbook as vm

    built = BUILDERS[name](total)
    setup, events = built.setup, built.events
    if engine == "floor":
        import floor
        # Record for both sizes in both runs, so the runs differ only in the replay.
        recorded = {k: floor.record(flows.Flow(name, name, setup, events[:k]))[2:]
                    for k in (base, 2 * base)}
        setup_ops, ops = recorded[n]
        sides, log = floor.new_state(setup_ops)
        gc.collect()
        gc.disable()
        floor.apply(sides, log, ops)
        os._exit(0)
    if engine == "velmora":
        book, order_type = vm.OrderBook(), vm.Order
    elif engine == "plain":
        import plain
        book, order_type = plain.OrderBook(), plain.Order
    else:
        book, order_type = NullBook(), vm.Order
    orders = []
    flows.replay(book, order_type, setup, orders)
    gc.collect()
    gc.disable()
    flows.replay(book, order_type, events[:n], orders)
    os._exit(0)  # no teardown: the difference between the two runs is the replay alone


def count(name, engine, n, base, total):
    proc = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
         __file__, "--child", name, engine, str(n), str(base), str(total)],
        capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    found = re.search(r"Collected : (\d+)", proc.stderr)
    if not found:
        raise SystemExit(f"callgrind failed for {name}/{engine}:\n{proc.stderr[-2000:]}")
    return int(found.group(1))


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        name, engine, n, base, total = sys.argv[2:7]
        replay_child(name, engine, int(n), int(base), int(total))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=1000, help="N (default 1000)")
    parser.add_argument("--flows", default="add-existing,cancel-keep,mixed")
    parser.add_argument("--engines", default="velmora,plain,loop,floor")
    args = parser.parse_args()
    n = args.events
    total = 4 * n
    print(f"{'flow':<14} " + " ".join(f"{e:>10}" for e in args.engines.split(",")))
    for name in args.flows.split(","):
        cells = []
        for engine in args.engines.split(","):
            per_event = (count(name, engine, 2 * n, n, total) - count(name, engine, n, n, total)) / n
            cells.append(f"{per_event:>10,.0f}")
        print(f"{name:<14} " + " ".join(cells), flush=True)
    print("instructions per event: (2N - N) / N with N =", n)


if __name__ == "__main__":
    main()
