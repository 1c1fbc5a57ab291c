"""A folder of LOBSTER ticker-days replayed in parallel on Dask distributed.

Each message file with its orderbook file beside it (LOBSTER's names) is one task: a worker
reads the pair, replays it on velmora.core, compares every row with the orderbook file and
writes the rows after every message and the trades beside them, as Parquet (CSV without
pyarrow), into the output folder. Only a summary row travels back; the table of every
ticker-day goes to the screen and to summary.csv in the output folder. Outputs are named by
the pair's whole name (ticker, date, time window, levels), so two windows of one ticker-day
never overwrite each other; files that are not a usable pair are listed with the reason. Needs
the optional extras: pip install 'velmora[lobster,dist]'.

    python examples/parallel_lobster.py DATA OUT                     # a local cluster
    python examples/parallel_lobster.py DATA OUT --scheduler tcp://10.0.0.5:8786
    python examples/parallel_lobster.py DATA OUT --serial            # the same, in this process
    python examples/parallel_lobster.py --demo OUT                   # generated ticker-days

On a cluster of your own, every worker needs velmora installed (the same version) and must
see DATA and OUT at the same paths (a shared file system or a mounted bucket). --demo writes a
few ticker-days of seeded flow first (from a source checkout: it uses reference/).
"""

import argparse
import sys
import time
import warnings
from pathlib import Path


def pairs(folder):
    """The pairs in `folder` by LOBSTER's names, TICKER_DATE_START_END_KIND_N: a list of
    (message file, orderbook file), and a list of (file, why it is skipped) for every other
    file (a name LOBSTER's download does not give, such as a short TICKER_message_N.csv, or
    half a pair)."""
    from velmora import lobster

    found, skipped = [], []
    for path in sorted(Path(folder).iterdir()):
        if path.is_dir():
            continue
        name = lobster.parse_name(path)
        if name is None:
            skipped.append((path, "not named TICKER_DATE_START_END_message|orderbook_N "
                                  "(rename it so, with its partner)"))
        elif name.kind == "message":
            orderbook = lobster.orderbook_for(path)
            if orderbook is None:
                skipped.append((path, f"no orderbook file {name.partner()} beside it"))
            else:
                found.append((path, orderbook))
        elif not path.with_name(name.partner()).exists():
            skipped.append((path, f"no message file {name.partner()} beside it"))
    return found, skipped


def stem_of(message):
    """The outputs' name for a pair: its message file's name without the kind and suffix."""
    from velmora import lobster

    name = lobster.parse_name(message)
    if name is None:
        return Path(message).stem
    return f"{name.ticker}_{name.date}_{name.start_ms}_{name.end_ms}_{name.levels}"


def replay_pair(message, orderbook, out, depth=None):
    """One task: replay, compare, write. Returns the summary row."""
    from velmora import lobster

    started = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        session, comparison = lobster.check(message, orderbook, depth=depth)
    name = lobster.parse_name(message)
    stem = stem_of(message)
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    try:
        import pyarrow  # noqa: F401

        suffix = ".parquet"
    except ImportError:
        suffix = ".csv"
    rows_path, trades_path = lobster.write(session, out / f"{stem}{suffix}")
    return {
        "ticker": name.ticker if name else stem,
        "date": name.date if name else "",
        "window ms": f"{name.start_ms}-{name.end_ms}" if name else "",
        "name levels": name.levels if name else "",
        "file levels": session.levels,
        "messages": len(session.messages),
        "compared": comparison.levels,
        "equal %": (comparison.equal[-1] / comparison.rows * 100 if comparison.rows
                    else 100.0),
        "differing": comparison.mismatched,
        "unexplained": comparison.inside,
        "refused": len(session.refused),
        "trades": len(session.trades),
        "halts": len(session.halts),
        "seconds": time.perf_counter() - started,
        "rows": str(rows_path),
        "trades file": str(trades_path),
        "notes": "; ".join(str(w.message) for w in caught),
    }


def warm_up():
    """Run on every worker first: a worker without velmora or NumPy fails here, and import
    time is not counted in the tasks."""
    import velmora.lobster  # noqa: F401


def run_serial(found, out, report=print, depth=None):
    results = {}
    for done, (message, orderbook) in enumerate(found, 1):
        results[message] = replay_pair(message, orderbook, out, depth)
        report(f"{message.name} done ({done}/{len(found)})")
    return results


def run_on(client, found, out, report=print, depth=None):
    """Every pair as one task on the client's cluster, reported as each finishes:
    {message path: summary row}."""
    from dask.distributed import as_completed

    futures = {client.submit(replay_pair, message, orderbook, out, depth, pure=False,
                             key=f"velmora-lobster-{message.name}"): message
               for message, orderbook in found}
    results = {}
    for done, future in enumerate(as_completed(futures), 1):
        message = futures[future]
        results[message] = future.result()
        future.release()
        report(f"{message.name} done ({done}/{len(found)})")
    return results


COLUMNS = ["ticker", "date", "window ms", "name levels", "file levels", "messages", "compared",
           "equal %", "differing", "unexplained", "refused", "trades", "halts", "seconds"]
LEGEND = """\
window ms: the file's time window (ms after midnight); name levels / file levels: the depth
the file name gives / the depth its orderbook rows hold; compared: levels compared; equal %:
rows equal to the orderbook file's at all of them; differing: rows that are not;
unexplained: of those, rows that differ at levels the messages describe; refused: messages
the engine refused (a check passes only with 0 differing and 0 refused)"""


def cell(column, value):
    if column == "equal %":
        return f"{value:.3f}"
    if column == "seconds":
        return f"{value:.2f}"
    return f"{value:,}" if isinstance(value, int) else str(value)


def table(rows, wall):
    text = [[cell(c, row[c]) for c in COLUMNS] for row in rows]
    messages = sum(r["messages"] for r in rows)
    total = {c: f"{sum(r[c] for r in rows):,}"
             for c in ("differing", "unexplained", "refused", "trades", "halts")}
    text.append(["all", "", "", "", "", f"{messages:,}", "", "", *total.values(),
                 f"{wall:.2f} (wall)"])
    widths = [max(len(c), *(len(t[i]) for t in text)) for i, c in enumerate(COLUMNS)]
    lines = ["  ".join(c.rjust(w) for c, w in zip(COLUMNS, widths)),
             "  ".join("-" * w for w in widths)]
    lines += ["  ".join(v.rjust(w) for v, w in zip(t, widths)) for t in text]
    lines += [f"{row['ticker']} {row['date']} {row['window ms']}: {row['notes']}"
              for row in rows if row["notes"]]
    return "\n".join(lines + ["", LEGEND])


def write_summary(rows, path):
    import csv

    with open(path, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=list(rows[0]) if rows else COLUMNS)
        writer.writeheader()
        writer.writerows(rows)


def demo_folder(folder, days=4, messages=40_000):
    """A few generated ticker-days, level 10 and level 5, under LOBSTER's names."""
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "reference"))
    import lobster_files

    folder.mkdir(parents=True, exist_ok=True)
    for k in range(days):
        lobster_files.write_stream(folder, 100 + k, messages, 10 if k % 2 == 0 else 5,
                                   ticker=f"DEMO{k}")
    return folder


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("data", type=Path, nargs="?", help="folder of LOBSTER pairs")
    parser.add_argument("out", type=Path, help="folder for the rows, trades and summary")
    parser.add_argument("--demo", action="store_true",
                        help="generate a few ticker-days into OUT/data and replay those")
    parser.add_argument("--depth", type=int, default=None, help="compare the top K levels")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler")
    where.add_argument("--serial", action="store_true", help="run in this process instead")
    parser.add_argument("--workers", type=int, default=None,
                        help="worker processes of the local cluster (one per core)")
    args = parser.parse_args(argv)
    if args.demo:
        args.data = demo_folder(args.out / "data")
    if args.data is None:
        parser.error("give a DATA folder, or --demo")
    found, skipped = pairs(args.data)

    def report(line):
        print(line, file=sys.stderr, flush=True)

    for path, why in skipped:
        report(f"skipped {path.name}: {why}")
    if not found:
        parser.error(f"no LOBSTER message file with its orderbook file in {args.data}")

    started = time.perf_counter()
    if args.serial:
        where = "serially in this process"
        results = run_serial(found, args.out, report, args.depth)
    else:
        try:
            from dask.distributed import Client, LocalCluster
        except ImportError:
            parser.error("Dask distributed is not installed: pip install 'velmora[dist]'")
        cluster = None
        if args.scheduler:
            client = Client(args.scheduler)
        else:
            cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                   processes=True, dashboard_address="127.0.0.1:0")
            client = Client(cluster)
        with client:
            workers = len(client.run(warm_up))
            where = f"on {workers} Dask worker{'s' if workers != 1 else ''}"
            report(f"{len(found)} ticker-days {where}")
            started = time.perf_counter()
            results = run_on(client, found, args.out, report, args.depth)
        if cluster is not None:
            cluster.close()
    wall = time.perf_counter() - started
    rows = [results[message] for message, _ in found]
    write_summary(rows, args.out / "summary.csv")
    print(f"{len(found)} ticker-days replayed {where}, {wall:.2f} s wall; rows and trades in "
          f"{args.out}")
    print(table(rows, wall))


if __name__ == "__main__":
    main()
