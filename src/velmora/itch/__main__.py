"""python -m velmora.itch: an ITCH 5.0 file's summary, or its books and trades as Parquet.

    python -m velmora.itch summary FILE [--symbols AAPL,MSFT] [--limit 20]
    python -m velmora.itch book FILE --symbols AAPL,MSFT --depth 10 --every 1s --out DIR

On a terminal a progress bar shows the bytes of the file read.
"""

from __future__ import annotations

import argparse
import sys
import time

import numpy as np

from velmora import itch
from velmora._progress import end_bar as _done
from velmora._progress import progress_bar
from velmora._progress import size_text as _size


def summary(args: argparse.Namespace) -> int:
    show = progress_bar(args.file)
    start = time.perf_counter()
    result = itch.replay(args.file, args.symbols, stop_on_unknown=args.stop_on_unknown,
                         progress=show)
    seconds = time.perf_counter() - start
    _done(show)
    s = result.summary
    print(f"{args.file}: {result.messages:,} messages, {_size(result.bytes)}, "
          f"{len(s):,} stocks, {len(result.trades):,} trades "
          f"({int(result.trades['broken'].sum()):,} broken) in {seconds:.2f} s "
          f"({result.messages / max(seconds, 1e-9) / 1e6:.1f} M messages/s)")
    print(f"skipped {result.skipped:,} (other stocks), {result.other:,} of other types; "
          f"unknown references {int(s['unknown'].sum()):,}, reused {int(s['duplicate'].sum()):,}, "
          f"overshoots {int(s['overshoot'].sum()):,}, broken trades naming no trade "
          f"{result.unknown_matches:,}; crossed events {int(s['crossed'].sum()):,}")
    total = np.zeros(len(s), np.int64)
    for c in itch.COUNTERS[:13]:
        total += s[c]
    order = total.argsort()[::-1][: args.limit]
    columns = ("A", "F", "E", "C", "X", "D", "U", "P", "Q", "B", "trades", "unknown", "crossed")
    print(f"{'symbol':<8} {'messages':>10} " + " ".join(f"{c:>8}" for c in columns))
    for i in order:
        row = s[i]
        name = row["symbol"] or f"#{row['locate']}"
        print(f"{name:<8} {int(total[i]):>10} " + " ".join(f"{int(row[c]):>8}" for c in columns))
    if len(s) > len(order):
        print(f"... {len(s) - len(order)} more stocks (--limit)")
    return 0


def book(args: argparse.Namespace) -> int:
    show = progress_bar(args.file)
    result = itch.replay(args.file, args.symbols, depth=args.depth, every=args.every,
                         stop_on_unknown=args.stop_on_unknown, progress=show)
    _done(show)
    out = result.write_parquet(args.out)
    print(f"{result.messages:,} messages; {len(result.trades):,} trades, "
          f"{0 if result.top is None else len(result.top):,} top-{args.depth} changes, "
          f"{0 if result.samples is None else len(result.samples):,} samples -> {out}")
    for locate, symbol in sorted(result.symbols.items(), key=lambda kv: str(kv[1])):
        b = result.books[locate]
        print(f"{symbol or '#' + str(locate):<8} {len(b):>8} orders  best bid {b.best_bid()}"
              f"  best ask {b.best_ask()}" + ("  (crossed)" if b.crossed else ""))
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m velmora.itch", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("file", help="an ITCH 5.0 file, plain or gzip")
    common.add_argument("--symbols", help="comma-separated stocks to apply (default: all)")
    common.add_argument("--stop-on-unknown", action="store_true",
                        help="stop at the first reference no book holds")
    p = sub.add_parser("summary", parents=[common], help="counts per stock")
    p.add_argument("--limit", type=int, default=20, help="stocks listed (most messages first)")
    p.set_defaults(run=summary)
    p = sub.add_parser("book", parents=[common], help="trades and top levels as Parquet")
    p.add_argument("--depth", type=int, default=10, help="levels per side (default 10)")
    p.add_argument("--every", default=None, help="also sample the top at this interval (1s)")
    p.add_argument("--out", required=True, help="the output folder")
    p.set_defaults(run=book)
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except (OSError, ValueError, KeyError, ImportError) as exc:
        message = exc.args[0] if isinstance(exc, KeyError) and exc.args else exc
        print(f"python -m velmora.itch: {message}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
