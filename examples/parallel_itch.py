"""A folder of ITCH 5.0 day files replayed in parallel on Dask distributed, one task per day.

Each task replays one file (plain or gzip) on velmora.itch, every stock or the chosen ones,
and writes that day's trades, summary and top levels as Parquet partitioned by symbol into
OUT/<file name>/; only a summary row travels back. Needs the optional extras:
pip install 'velmora[itch,dist]'.

    python examples/parallel_itch.py DATA OUT                          # a local cluster
    python examples/parallel_itch.py DATA OUT --symbols AAPL,MSFT --depth 10 --every 1s
    python examples/parallel_itch.py DATA OUT --scheduler tcp://10.0.0.5:8786
    python examples/parallel_itch.py DATA OUT --serial                 # in this process
    python examples/parallel_itch.py --demo OUT                        # generated days

A day of every stock needs memory for its books (see the README); give each worker one
thread and room for one day. On a cluster of your own, every worker needs velmora installed
and must see DATA and OUT at the same paths.
"""

import argparse
import sys
import time
from pathlib import Path

SUFFIXES = (".itch", ".itch.gz", ".gz", ".ITCH50", ".NASDAQ_ITCH50")


def days(folder):
    """The ITCH files of a folder: NASDAQ's names (01302019.NASDAQ_ITCH50.gz) or *.itch[.gz]."""
    return [p for p in sorted(Path(folder).iterdir())
            if p.is_file() and ("ITCH" in p.name.upper() or p.name.endswith(SUFFIXES))]


def replay_day(path, out, symbols=None, depth=0, every=None):
    """One task: replay one day, write it, return its summary row."""
    from velmora import itch

    started = time.perf_counter()
    result = itch.replay(path, symbols, depth=depth, every=every)
    target = result.write_parquet(Path(out) / Path(path).name.split(".")[0])
    s = result.summary
    return {"day": Path(path).name, "messages": result.messages, "stocks": len(s),
            "trades": len(result.trades), "unknown": int(s["unknown"].sum()),
            "crossed": int(s["crossed"].sum()), "seconds": time.perf_counter() - started,
            "out": str(target)}


def warm_up():
    import velmora.itch  # noqa: F401


def run(found, out, options, client=None, report=print):
    if client is None:
        return [replay_day(path, out, **options) for path in found]
    from dask.distributed import as_completed

    futures = [client.submit(replay_day, path, out, pure=False, key=f"velmora-itch-{path.name}",
                             **options) for path in found]
    rows = []
    for done, future in enumerate(as_completed(futures), 1):
        rows.append(future.result())
        future.release()
        report(f"{rows[-1]['day']} done ({done}/{len(found)})")
    return sorted(rows, key=lambda row: row["day"])


def demo_folder(folder, count=3):
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "reference"))
    from itch_files import generate

    folder.mkdir(parents=True, exist_ok=True)
    for k in range(count):
        generate(folder / f"day{k}.itch.gz", seed=200 + k, stocks=40, messages=30_000)
    return folder


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("data", type=Path, nargs="?", help="folder of ITCH day files")
    parser.add_argument("out", type=Path, help="folder for the Parquet output")
    parser.add_argument("--demo", action="store_true", help="generate a few days into OUT/data")
    parser.add_argument("--symbols", default=None, help="comma-separated stocks (default all)")
    parser.add_argument("--depth", type=int, default=0, help="top levels to record")
    parser.add_argument("--every", default=None, help="also sample the top at this interval")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler")
    where.add_argument("--serial", action="store_true", help="run in this process instead")
    parser.add_argument("--workers", type=int, default=None, help="local worker processes")
    args = parser.parse_args(argv)
    if args.demo:
        args.data = demo_folder(args.out / "data")
    if args.data is None:
        parser.error("give a DATA folder, or --demo")
    found = days(args.data)
    if not found:
        parser.error(f"no ITCH file in {args.data}")
    options = {"symbols": args.symbols, "depth": args.depth, "every": args.every}
    started = time.perf_counter()
    if args.serial:
        rows = run(found, args.out, options)
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
            client.run(warm_up)
            rows = run(found, args.out, options, client,
                       lambda line: print(line, file=sys.stderr, flush=True))
        if cluster is not None:
            cluster.close()
    wall = time.perf_counter() - started
    for row in rows:
        print(f"{row['day']:<28} {row['messages']:>12,} messages {row['stocks']:>6} stocks "
              f"{row['trades']:>10,} trades {row['seconds']:>7.2f} s -> {row['out']}")
    print(f"{len(rows)} days in {wall:.2f} s (wall)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
