"""Many independent order book sessions in parallel on Dask distributed.

Each session replays the seeded realistic order flow (velmora.flows.zero_intelligence) on
a book of its own, in a worker process. The worker sends back the final book, pickled
whole, and its timings; the table is computed from the books gathered here. "events/s"
is the book's own rate over the events; "session s" also counts generating the flow, which
takes most of a session. Needs the optional extra: pip install 'velmora[dist]'.

    python examples/parallel_sessions.py                          # 8 sessions, local cluster
    python examples/parallel_sessions.py --sessions 32 --events 50000 --workers 2
    python examples/parallel_sessions.py --scheduler tcp://10.0.0.5:8786   # a running cluster
    python examples/parallel_sessions.py --serial                 # the same, in this process

On a cluster of your own, every worker needs velmora installed (the same version).
"""

import argparse
import sys
import time

from velmora import flows
from velmora.orderbook import Order, OrderBook


def session(seed, events):
    """One session: a fresh book and the seeded flow. Returns (book, seconds the book took
    over the events, seconds of the whole session with the flow's generation)."""
    started = time.perf_counter()
    built = flows.zero_intelligence(seed, events)
    book, orders = OrderBook(), []
    flows.replay(book, Order, built.setup, orders)
    replay_started = time.perf_counter()
    flows.replay(book, Order, built.events, orders)
    finished = time.perf_counter()
    return book, finished - replay_started, finished - started


def warm_up():
    """Run on every worker before the clock starts: imports what a session needs, so a
    worker without velmora fails here, and import time is not counted as session time."""
    import velmora.flows  # noqa: F401


def summary(seed, events, book, seconds, session_seconds):
    """One row of the table, from a finished session's book."""
    return {
        "seed": seed,
        "events": events,
        "trades": len(book.trade_log),
        "volume": sum(t.quantity_filled for t in book.trade_log),
        "resting": len(book.orders),
        "best bid": book.best_bid(),
        "best ask": book.best_ask(),
        "events/s": events / seconds if seconds > 0 else float("inf"),
        "session s": session_seconds,
    }


def run_serial(seeds, events, report=print):
    """Every session in this process, one after the other: {seed: session(seed, events)}."""
    results = {}
    for done, seed in enumerate(seeds, 1):
        results[seed] = session(seed, events)
        report(f"session {seed} done ({done}/{len(seeds)})")
    return results


def run_on(client, seeds, events, report=print):
    """Every session as one task on the client's cluster: {seed: session(seed, events)}.

    Results come back as they finish, each reported at once; the books travel back to
    this process pickled.
    """
    from dask.distributed import as_completed

    futures = {
        client.submit(session, seed, events, key=f"velmora-session-{seed}-{events}", pure=False):
        seed for seed in seeds
    }
    results = {}
    for done, future in enumerate(as_completed(futures), 1):
        seed = futures[future]
        results[seed] = future.result()
        future.release()
        report(f"session {seed} done ({done}/{len(seeds)})")
    return results


def table(rows, wall):
    columns = ["seed", "events", "trades", "volume", "resting", "best bid", "best ask",
               "events/s", "session s"]
    text = [[f"{row[c]:,.0f}" if c == "events/s" else f"{row[c]:.2f}" if c == "session s" else
             f"{row[c]:,}" if isinstance(row[c], int) else str(row[c]) for c in columns]
            for row in rows]
    total_events = sum(row["events"] for row in rows)
    text.append(["all", f"{total_events:,}", f"{sum(r['trades'] for r in rows):,}",
                 f"{sum(r['volume'] for r in rows):,}", f"{sum(r['resting'] for r in rows):,}",
                 "", "", f"{total_events / wall:,.0f} (wall)", f"{wall:.2f} (wall)"])
    widths = [max(len(c), *(len(t[i]) for t in text)) for i, c in enumerate(columns)]
    lines = ["  ".join(c.rjust(w) for c, w in zip(columns, widths)),
             "  ".join("-" * w for w in widths)]
    lines += ["  ".join(v.rjust(w) for v, w in zip(t, widths)) for t in text]
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sessions", type=int, default=8, help="number of sessions (8)")
    parser.add_argument("--events", type=int, default=20_000, help="events per session (20000)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the first session (1)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler")
    where.add_argument("--serial", action="store_true", help="run in this process instead")
    parser.add_argument("--workers", type=int, default=None,
                        help="worker processes of the local cluster (one per core)")
    args = parser.parse_args(argv)
    seeds = list(range(args.seed, args.seed + args.sessions))

    def report(line):
        print(line, file=sys.stderr, flush=True)

    started = time.perf_counter()
    if args.serial:
        where = "serially in this process"
        results = run_serial(seeds, args.events, report)
    else:
        try:
            from dask.distributed import Client, LocalCluster
        except ImportError:
            parser.error("Dask distributed is not installed: pip install 'velmora[dist]'")
        if args.scheduler:
            client = Client(args.scheduler)
            cluster = None
        else:
            cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                   processes=True, dashboard_address="127.0.0.1:0")
            client = Client(cluster)
        with client:
            workers = len(client.run(warm_up))
            where = f"on {workers} Dask worker{'s' if workers != 1 else ''}"
            report(f"{len(seeds)} sessions {where}")
            started = time.perf_counter()
            results = run_on(client, seeds, args.events, report)
        if cluster is not None:
            cluster.close()
    wall = time.perf_counter() - started
    rows = [summary(seed, args.events, *results[seed]) for seed in seeds]
    print(f"{len(seeds)} sessions of {args.events:,} events {where}, {wall:.2f} s wall")
    print(table(rows, wall))


if __name__ == "__main__":
    main()
