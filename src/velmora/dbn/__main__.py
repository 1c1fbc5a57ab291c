"""python -m velmora.dbn: a DBN market-by-order file's summary, or its books and trades as
Parquet.

    python -m velmora.dbn summary FILE [--symbols AAPL,MSFT] [--limit 20]
    python -m velmora.dbn book FILE --symbols AAPL,MSFT --depth 10 --every 1s --out DIR

Symbols are the raw symbols of the file's mappings (or instrument ids). On a terminal a
progress bar shows the bytes of the file read (compressed bytes for .zst).
"""

from __future__ import annotations

import argparse
import sys
import time

import numpy as np

from velmora import dbn
from velmora._progress import end_bar, progress_bar, size_text

_PRICE = 1e-9  # DBN prices are integers of 1e-9


def _price(p: int | None) -> str:
    return "-" if p is None else f"{p * _PRICE:.4f}"


def summary(args: argparse.Namespace) -> int:
    show = progress_bar(args.file)
    start = time.perf_counter()
    result = dbn.replay(args.file, args.symbols, clock=args.clock,
                        stop_on_unknown=args.stop_on_unknown, progress=show)
    seconds = time.perf_counter() - start
    end_bar(show)
    s, meta = result.summary, result.metadata
    print(f"{args.file}: {meta.dataset} DBN v{meta.version}, {result.records:,} records, "
          f"{size_text(result.bytes)}, {len(s):,} books, {len(result.trades):,} trades and "
          f"fills in {seconds:.2f} s ({result.records / max(seconds, 1e-9) / 1e6:.1f} M "
          "records/s)")
    print(f"skipped {result.skipped:,} (other instruments); unknown ids "
          f"{int(s['unknown'].sum()):,}, duplicate adds {int(s['duplicate'].sum()):,}, "
          f"overshooting cancels {int(s['overshoot'].sum()):,}, invalid adds "
          f"{int(s['invalid'].sum()):,}; groups ending crossed {int(s['crossed'].sum()):,}; "
          f"flagged bad book {int(s['bad_book'].sum()):,}, bad ts_recv "
          f"{int(s['bad_ts_recv'].sum()):,}")
    total = np.zeros(len(s), np.int64)
    for c in dbn.COUNTERS[:8]:
        total += s[c]
    order = total.argsort()[::-1][: args.limit]
    columns = ("A", "C", "M", "R", "T", "F", "N", "groups", "unknown", "crossed")
    print(f"{'symbol':<12} {'pub':>4} {'records':>10} " + " ".join(f"{c:>8}" for c in columns))
    for i in order:
        row = s[i]
        name = row["symbol"] or f"#{row['instrument_id']}"
        print(f"{name:<12} {int(row['publisher_id']):>4} {int(total[i]):>10} "
              + " ".join(f"{int(row[c]):>8}" for c in columns))
    if len(s) > len(order):
        print(f"... {len(s) - len(order)} more books (--limit)")
    return 0


def book(args: argparse.Namespace) -> int:
    show = progress_bar(args.file)
    result = dbn.replay(args.file, args.symbols, depth=args.depth, every=args.every,
                        clock=args.clock, stop_on_unknown=args.stop_on_unknown, progress=show)
    end_bar(show)
    out = result.write_parquet(args.out)
    print(f"{result.records:,} records; {len(result.trades):,} trades and fills, "
          f"{0 if result.top is None else len(result.top):,} top-{args.depth} changes, "
          f"{0 if result.samples is None else len(result.samples):,} samples -> {out}")
    for (publisher, instrument), b in sorted(result.books.items(), key=lambda kv: (
            result.symbols.get(kv[0][1], ""), kv[0])):
        name = result.symbols.get(instrument, f"#{instrument}")
        print(f"{name:<12} {publisher:>4} {len(b):>8} orders  best bid {_price(b.best_bid())}"
              f"  best ask {_price(b.best_ask())}" + ("  (crossed)" if b.crossed else ""))
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m velmora.dbn", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("file", help="a DBN market-by-order file, plain or .zst")
    common.add_argument("--symbols", help="comma-separated symbols or instrument ids to apply "
                                          "(default: all)")
    common.add_argument("--clock", choices=("ts_recv", "ts_event"), default="ts_recv",
                        help="the clock samples follow (default ts_recv)")
    common.add_argument("--stop-on-unknown", action="store_true",
                        help="stop at the first order id its book does not hold")
    p = sub.add_parser("summary", parents=[common], help="counts per book")
    p.add_argument("--limit", type=int, default=20, help="books listed (most records first)")
    p.set_defaults(run=summary)
    p = sub.add_parser("book", parents=[common], help="trades and top levels as Parquet")
    p.add_argument("--depth", type=int, default=10, help="levels per side (default 10)")
    p.add_argument("--every", default=None, help="also sample the top at this interval (1s)")
    p.add_argument("--out", required=True, help="the output folder")
    p.set_defaults(run=book)
    args = parser.parse_args(argv)
    try:
        return int(args.run(args))
    except (OSError, ValueError, KeyError, ImportError) as exc:
        message = exc.args[0] if isinstance(exc, KeyError) and exc.args else exc
        print(f"python -m velmora.dbn: {message}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
