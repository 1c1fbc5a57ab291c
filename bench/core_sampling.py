"""velmora.core's Sampler: the batch replay taking top-10 rows and every measure at intervals
of event time, against the same batch with no rows at all and against the batch writing the
top 10 after every event. CPU time, medians of several runs in one process; the flows of
bench/core_mbo.py (the mixed flow from 10 and from 100 000 resting orders), each event's
time its position, so an interval of T events of time is one row per T events.

    python bench/core_sampling.py [--quick] [--repeats 7] [--interval 1000]

The target: with rows and measures the replay runs at 0.9 x or more the speed of the batch
with no rows.
"""

import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "reference"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from core_mbo import cases, new_book  # noqa: E402

from velmora import core  # noqa: E402

MEASURES = ["mid", "spread", "microprice", "imbalance:5", "ofi", "volume", "notional", "vwap",
            "trades", "events"]


def cpu(case, run, repeats):
    times = []
    for _ in range(repeats):
        book = new_book(case)
        started = time.process_time()
        run(book)
        times.append(time.process_time() - started)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--interval", type=int, default=1000)
    args = parser.parse_args()
    print(f"{'flow':<12} {'events':>9} {'no rows':>10} {'sampled':>10} {'no ofi':>10} "
          f"{'every event':>12} {'rows':>5} {'sampled/none':>13} {'no ofi/none':>12}"
          "  target >= 0.90")
    for case in cases(args.quick, "mixed"):
        events = case.events_array
        found = {}

        def sampled(book, measures):
            sampler = core.Sampler(10, every=args.interval, measures=measures)
            book.replay(events, sampler=sampler)
            sampler.finish(book)
            found["rows"] = len(sampler.take())

        none = cpu(case, lambda book: book.replay(events), args.repeats)
        some = cpu(case, lambda book: sampled(book, MEASURES), args.repeats)
        calm = cpu(case, lambda book: sampled(book, [m for m in MEASURES if m != "ofi"]),
                   args.repeats)
        every = cpu(case, lambda book: book.replay(events, depth=10), args.repeats)
        rate = [len(events) / t / 1e6 for t in (none, some, calm, every)]
        print(f"{case.name:<12} {len(events):>9,} {rate[0]:>8.2f} M {rate[1]:>8.2f} M "
              f"{rate[2]:>8.2f} M {rate[3]:>10.2f} M {found['rows']:>5,} {none / some:>13.2f} "
              f"{none / calm:>12.2f}  {'met' if none / some >= 0.9 else 'NOT met'}")
    print("(events per CPU-second, medians; sampled: top 10 and every measure once per "
          "interval; no ofi: the same without order-flow imbalance; rows: one per interval)")


if __name__ == "__main__":
    main()
