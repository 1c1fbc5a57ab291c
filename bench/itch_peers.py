"""velmora.itch beside the ITCH tools people install from the package registry (itch-book,
itchcpp, meatpy), on one generated day: each one's rate, and their outputs compared with
velmora's where they overlap.

    python bench/itch_peers.py [--messages 5000000] [--stocks 6000] [--repeats 3]
                               [--meatpy-messages 1000000] [--folder DIR]

The day comes from bench/itch_day.cpp (as in bench/itch.py). Every run is a fresh process;
rates are messages per CPU-second of that process (all its threads: itch-book decompresses on
a thread of its own), the best of --repeats. What is run:

- velmora: `itch.replay(path)` (every book, the trades kept), and `itch.replay(path, depth=1)`
  (also the best level of every stock after every change of it);
- itch-book: `Feed.batches(tables=())` (parse and apply, no table) and
  `tables=("bbo", "trades")`, prices as fixed-point integers;
- itchcpp: `BookManager.process_stream` over the file's bytes (reading them included), then
  each stock's best bid and offer;
- meatpy: its reader over the whole file and its market processor for the busiest stock only
  (its documented use: one processor per symbol). It is pure Python, so it reads a smaller day
  of the same stocks (--meatpy-messages; 0 for the same day), and velmora replays that day too
  for the comparison.

Compared: every trade (velmora against itch-book: time, locate, kind, price, shares, resting
reference, match number); the best bid and offer of every stock after every change of it
(against itch-book's bbo table, consecutive equal rows merged on both sides, an empty side
as price 0 and size 0); each stock's best bid and offer at the end (against all three).

These tools are measured here only: none is a dependency of velmora or of its tests.
`make bench-peers` installs them into the development environment; a tool that is missing is
reported and left out.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))

from itch import day  # noqa: E402

EMPTY = np.iinfo(np.int64).max  # velmora's price of an empty place (bid: its negation)

# Each child prints one JSON line: {"cpu": s, "wall": s, "messages": n, ...}; the outputs to
# compare go to an .npz named by argv[2].
PRELUDE = r"""
import json, sys, time
import numpy as np
path, out = sys.argv[1], sys.argv[2]
extra = json.loads(sys.argv[3]) if len(sys.argv) > 3 else {}
cpu = wall = 0.0
def start():  # after the tool's imports: the interpreter's start-up is nobody's work
    global cpu, wall
    cpu, wall = time.process_time(), time.perf_counter()
def done(messages, **info):
    info.update(cpu=time.process_time() - cpu, wall=time.perf_counter() - wall,
                messages=messages)
    print(json.dumps(info))
"""

CHILDREN = {
    "velmora": r"""
from velmora import core, itch
start()
day = itch.replay(path, depth=extra.get("depth", 0))
done(day.messages, trades=len(day.trades))
if extra.get("save"):
    bbo = []
    for locate, book in day.books.items():
        bid, ask = book.depth(core.BID, 1), book.depth(core.ASK, 1)
        bbo.append((locate, *(bid[0][:2] if bid else (0, 0)), *(ask[0][:2] if ask else (0, 0))))
    np.savez(out, trades=day.trades, top=day.top, final=np.array(bbo, dtype=np.int64),
             symbols=np.array([(l, s or "") for l, s in day.symbols.items()],
                              dtype=[("locate", "<i8"), ("symbol", "U8")]))
""",
    "itch-book": r"""
import datetime
import itch_book
start()
feed = itch_book.Feed(path, date=datetime.date(2026, 12, 7), price_type="fixed")
tables = tuple(extra.get("tables", ()))
parts = {t: [] for t in tables}
for batch in feed.batches(tables=tables, rows=1_000_000):
    for t in tables:
        parts[t].append({k: np.asarray(v) for k, v in getattr(batch, t).items()})
done(feed.stats["messages"], unknown=feed.stats["unknown"], crossed=feed.stats["crossed_books"])
if tables:
    arrays = {}
    for t in tables:
        for k in parts[t][0] if parts[t] else ():
            arrays[f"{t}.{k}"] = np.concatenate([p[k] for p in parts[t]])
    np.savez(out, **arrays)
""",
    "itchcpp": r"""
import itchcpp.book
start()
manager = itchcpp.book.BookManager()
with open(path, "rb") as f:
    data = f.read()
manager.process_stream(data)
done(extra["messages"], books=manager.book_count())
rows = []
for symbol in extra["symbols"]:
    q = manager.book_for_symbol(symbol).bbo()
    rows.append((symbol, round(q.bid_price * 10000) if q.has_bid else 0,
                 q.bid_shares if q.has_bid else 0,
                 round(q.ask_price * 10000) if q.has_ask else 0,
                 q.ask_shares if q.has_ask else 0))
np.savez(out, final=np.array(rows, dtype=[("symbol", "U8"), ("bid", "<i8"), ("bid_size", "<i8"),
                                          ("ask", "<i8"), ("ask_size", "<i8")]))
""",
    "meatpy": r"""
import datetime
from meatpy.itch50 import ITCH50MarketProcessor, ITCH50MessageReader
start()
processor = ITCH50MarketProcessor(extra["symbol"], datetime.datetime(2026, 12, 7))
messages = refused = 0
with ITCH50MessageReader(path) as reader:
    for message in reader:
        messages += 1
        try:
            processor.process_message(message)
        except Exception as exc:  # its book refuses what its rules do not allow
            refused += 1
            first = first if refused > 1 else f"{type(exc).__name__}: {exc}"[:200]
done(messages, refused=refused, first=first if refused else "")
lob = processor.current_lob
def best(levels):
    return (int(levels[0].price), sum(int(o.volume) for o in levels[0].queue)) if levels else (0, 0)
np.savez(out, final=np.array([(*best(lob.bid_levels), *best(lob.ask_levels))], dtype=np.int64))
""",
}


def run(tool: str, path: Path, out: Path, repeats: int, **extra) -> dict | None:
    """The best of `repeats` runs of one tool (by CPU time); None when it is not installed."""
    best = None
    for _ in range(repeats):
        done = subprocess.run([sys.executable, "-c", PRELUDE + CHILDREN[tool], str(path),
                               str(out), json.dumps(extra)], capture_output=True, text=True)
        if done.returncode != 0:
            last = done.stderr.strip().splitlines()[-1:] or ["no output"]
            if "ModuleNotFoundError" in done.stderr:
                print(f"{tool}: not installed ({last[0]}); left out")
                return None
            raise SystemExit(f"{tool} failed: {done.stderr[-2000:]}")
        result = json.loads(done.stdout.strip().splitlines()[-1])
        if best is None or result["cpu"] < best["cpu"]:
            best = result
    return best


def finals(saved: np.lib.npyio.NpzFile) -> tuple[dict, dict]:
    """velmora's best bid and offer at the end ((bid, size, ask, size)), by locate and by
    symbol."""
    final = {int(r[0]): tuple(int(x) for x in r[1:]) for r in saved["final"]}
    by_symbol = {str(s["symbol"]): final.get(int(s["locate"]), (0, 0, 0, 0))
                 for s in saved["symbols"] if s["symbol"]}
    return final, by_symbol


def merged(rows: np.ndarray) -> list[tuple[int, ...]]:
    """Consecutive equal rows merged."""
    out: list[tuple[int, ...]] = []
    for row in map(tuple, rows.tolist()):
        if not out or out[-1] != row:
            out.append(row)
    return out


def compare_bbo(mine: np.lib.npyio.NpzFile, theirs: np.lib.npyio.NpzFile) -> tuple[int, int]:
    """(stocks whose best-level sequences agree, stocks compared)."""
    top = mine["top"]
    bid_px, bid_sz = top["bid_price"][:, 0], top["bid_total"][:, 0]
    ask_px, ask_sz = top["ask_price"][:, 0], top["ask_total"][:, 0]
    ours = np.stack([top["locate"], np.where(bid_sz > 0, bid_px, 0), bid_sz,
                     np.where(ask_sz > 0, ask_px, 0), ask_sz], axis=1)
    t = {k.split(".", 1)[1]: theirs[k] for k in theirs.files if k.startswith("bbo.")}
    bsz, asz = t["bid_sz"].astype(np.int64), t["ask_sz"].astype(np.int64)
    other = np.stack([t["locate"].astype(np.int64),
                      np.where(bsz > 0, t["bid_px"].astype(np.int64), 0), bsz,
                      np.where(asz > 0, t["ask_px"].astype(np.int64), 0), asz], axis=1)
    agree = 0
    locates = np.union1d(ours[:, 0], other[:, 0])
    ours = ours[np.argsort(ours[:, 0], kind="stable")]
    other = other[np.argsort(other[:, 0], kind="stable")]
    a_at = np.searchsorted(ours[:, 0], locates), np.searchsorted(ours[:, 0], locates, "right")
    b_at = np.searchsorted(other[:, 0], locates), np.searchsorted(other[:, 0], locates, "right")
    for i in range(len(locates)):
        a = merged(ours[a_at[0][i]:a_at[1][i], 1:])
        b = merged(other[b_at[0][i]:b_at[1][i], 1:])
        # Both start from an empty book; a first row that is still empty is not a change.
        a = a[1:] if a and a[0] == (0, 0, 0, 0) else a
        b = b[1:] if b and b[0] == (0, 0, 0, 0) else b
        agree += a == b
    return agree, len(locates)


def compare_trades(mine: np.lib.npyio.NpzFile, theirs: np.lib.npyio.NpzFile) -> tuple[int, int, int]:
    """(trades equal, velmora's printed trades, itch-book's trades without B rows)."""
    tr = mine["trades"]
    tr = tr[tr["printable"]]
    ours = {(int(r["time"]), int(r["locate"]), r["kind"].decode(), int(r["price"]),
             int(r["shares"]), int(r["reference"]) if r["kind"] in (b"E", b"C") else 0,
             int(r["match"])) for r in tr}
    t = {k.split(".", 1)[1]: theirs[k] for k in theirs.files if k.startswith("trades.")}
    kinds = t["kind"].astype("U1")
    keep = kinds != "B"
    other = set()
    for ts, loc, kind, px, size, oid, match in zip(
            t["ts_event"][keep], t["locate"][keep], kinds[keep], t["price"][keep],
            t["size"][keep], t["order_id"][keep], t["match_number"][keep]):
        other.add((int(ts), int(loc), str(kind), int(px), int(size),
                   int(oid) if kind in ("E", "C") else 0, int(match)))
    # itch-book stamps rows with New York midnight of the session (in UTC) plus the ITCH
    # time: the offset is taken from the first trade and must hold for all of them.
    first = min(ours, key=lambda o: o[-1], default=None)
    theirs_first = [o for o in other if first and o[-1] == first[-1]]
    offset = theirs_first[0][0] - first[0] if theirs_first else 0
    other = {(o[0] - offset, *o[1:]) for o in other}
    return len(ours & other), len(ours), len(other)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--messages", type=int, default=5_000_000)
    parser.add_argument("--stocks", type=int, default=6000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--meatpy-messages", type=int, default=1_000_000,
                        help="meatpy reads a day of this many messages (0: the same day)")
    parser.add_argument("--folder", type=Path, default=ROOT / "build" / "itch-bench")
    args = parser.parse_args()
    args.folder.mkdir(parents=True, exist_ok=True)
    plain, _ = day(args.folder, args.messages, args.stocks)
    print(f"{plain.name}: {plain.stat().st_size / 1e6:.0f} MB, {args.stocks} stocks")
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp)
        rows = []
        mine = run("velmora", plain, out / "velmora.npz", 1, depth=1, save=True)
        saved = np.load(out / "velmora.npz")
        final, by_symbol = finals(saved)
        for label, tool, extra in (
                ("velmora, books + trades", "velmora", {}),
                ("velmora, + best level after every change", "velmora", {"depth": 1}),
                ("itch-book, books (no table)", "itch-book", {}),
                ("itch-book, bbo + trades tables", "itch-book", {"tables": ["bbo", "trades"]}),
                ("itchcpp, books (BookManager)", "itchcpp",
                 {"messages": mine["messages"], "symbols": sorted(by_symbol)})):
            result = run(tool, plain, out / f"{tool}.npz", args.repeats, **extra)
            rows.append((label, result))
        meat_path, meat_final = plain, by_symbol
        if args.meatpy_messages and args.meatpy_messages != args.messages:
            meat_path, _ = day(args.folder, args.meatpy_messages, args.stocks)
            run("velmora", meat_path, out / "velmora-small.npz", 1, save=True)
            _, meat_final = finals(np.load(out / "velmora-small.npz"))
        busiest = max(meat_final, key=lambda s: (sum(meat_final[s][1::2]), s))
        rows.append((f"meatpy, one stock ({busiest}; {meat_path.name})",
                     run("meatpy", meat_path, out / "meatpy.npz", 1, symbol=busiest)))

        print(f"\n{'tool':<44} {'M messages / CPU-s':>19} {'CPU s':>7} {'wall s':>7}  notes")
        for label, r in rows:
            if r is None:
                continue
            notes = {k: v for k, v in r.items() if k not in ("cpu", "wall", "messages")}
            print(f"{label:<44} {r['messages'] / r['cpu'] / 1e6:>19.2f} {r['cpu']:>7.2f} "
                  f"{r['wall']:>7.2f}  {notes or ''}")

        print("\nOutputs against velmora's:")
        if (out / "itch-book.npz").exists():
            # the last itch-book run asked for the tables
            theirs = np.load(out / "itch-book.npz")
            same, n_ours, n_theirs = compare_trades(saved, theirs)
            print(f"  trades, itch-book: {same:,} equal; velmora {n_ours:,} printed, "
                  f"itch-book {n_theirs:,} (B rows aside)")
            agree, stocks = compare_bbo(saved, theirs)
            print(f"  best bid and offer after every change, itch-book: {agree:,} of "
                  f"{stocks:,} stocks agree row for row")
            last = {}
            bbo = {k.split(".", 1)[1]: theirs[k] for k in theirs.files if k.startswith("bbo.")}
            for i in range(len(bbo["locate"])):
                last[int(bbo["locate"][i])] = (int(bbo["bid_px"][i]), int(bbo["bid_sz"][i]),
                                               int(bbo["ask_px"][i]), int(bbo["ask_sz"][i]))
            norm = {loc: (b if bs else 0, bs, a if as_ else 0, as_)
                    for loc, (b, bs, a, as_) in last.items()}
            agree = sum(norm.get(loc, (0, 0, 0, 0)) == f for loc, f in final.items())
            print(f"  best bid and offer at the end, itch-book: {agree:,} of {len(final):,}")
        if (out / "itchcpp.npz").exists():
            theirs = np.load(out / "itchcpp.npz")["final"]
            agree = sum(by_symbol[str(r["symbol"])] == (int(r["bid"]), int(r["bid_size"]),
                                                        int(r["ask"]), int(r["ask_size"]))
                        for r in theirs)
            print(f"  best bid and offer at the end, itchcpp: {agree:,} of {len(theirs):,}")
            bad = [r for r in theirs if by_symbol[str(r["symbol"])] !=
                   (int(r["bid"]), int(r["bid_size"]), int(r["ask"]), int(r["ask_size"]))][:3]
            for r in bad:
                print(f"    {r['symbol']}: velmora {by_symbol[str(r['symbol'])]}, itchcpp "
                      f"{(int(r['bid']), int(r['bid_size']), int(r['ask']), int(r['ask_size']))}")
        if (out / "meatpy.npz").exists():
            theirs = tuple(int(x) for x in np.load(out / "meatpy.npz")["final"][0])
            print(f"  best bid and offer at the end, meatpy ({busiest}): "
                  f"{'equal' if theirs == meat_final[busiest] else 'different'}: velmora "
                  f"{meat_final[busiest]}, meatpy {theirs}")


if __name__ == "__main__":
    main()
