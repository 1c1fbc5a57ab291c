"""NASDAQ TotalView-ITCH 5.0 files replayed natively, every stock into its own velmora.core
book, in one pass.

An ITCH file holds a trading day of NASDAQ's full-depth feed: each message preceded by its
length (2 bytes, big-endian), the file plain or gzip-compressed, read as a stream. The stock
directory (``R``) names each stock locate; adds (``A``, ``F``) rest without trading, in feed
mode (``velmora.core.Book(feed=True)``), so a book may lock or cross during halts and auctions
until the feed's own executions and deletes resolve it; executions (``E``, ``C``), cancels
(``X``), deletes (``D``) and replaces (``U``: the original removed, the new reference rested
with new time priority) change the named order; trades (``P``), cross trades (``Q``) and
broken trades (``B``) are kept as records and leave the books alone. Every other type is
skipped by its length. Prices are integers with four implied decimals, times nanoseconds since
midnight.

    from velmora import itch

    day = itch.replay("01302019.NASDAQ_ITCH50.gz", symbols=["AAPL", "MSFT"], depth=5,
                      every="1s")
    day.trades                    # TRADE_DTYPE records, broken ones marked
    day.summary                   # per stock: messages by type, trades, unknown references...
    day.book("AAPL")              # the final book, a velmora.core.Book
    day.top_of("AAPL")            # its top 5 levels after every change of them
    day.top_of("AAPL", samples=True)  # ... and at every second
    day.write_parquet("out/")     # Parquet with pyarrow, partitioned by symbol

Needs NumPy (``velmora[itch]``; Parquet output also pyarrow). The command
``python -m velmora.itch`` prints a summary or writes books and trades.
"""

from __future__ import annotations

import os
import re
from pathlib import Path
from typing import Any, Callable, Iterable

try:
    import numpy as np
except ImportError as exc:
    raise ImportError(
        "velmora.itch needs NumPy, which is not installed: pip install 'velmora[itch]'"
    ) from exc

from velmora import _itch, core

__all__ = ["TRADE_DTYPE", "COPY_DTYPE", "COUNTERS", "ItchReplay", "replay", "top_dtype",
           "parse_every", "parse_time"]

# One trade: time (ns since midnight), price (4 implied decimals), shares, the resting order's
# reference (E, C; P as the message gives it; 0 for Q), the match number, the stock locate,
# the resting order's side (0 bid, 1 ask, -1 for a cross), the message (b"E", b"C", b"P",
# b"Q"), whether a later B broke it, and C's printable flag (1 for the others).
TRADE_DTYPE = np.dtype({
    "names": ["time", "price", "shares", "reference", "match", "locate", "side", "kind",
              "broken", "printable"],
    "formats": ["<i8", "<i8", "<i8", "<u8", "<u8", "<u2", "i1", "S1", "?", "?"],
    "offsets": [0, 8, 16, 24, 32, 40, 42, 43, 44, 45],
    "itemsize": 48,
})

# The summary's counters per stock, in the native order: messages of each applied type, the
# other types, trades (E, C, P, Q), references not resting (unknown), references added while
# already resting (duplicate: the add changes nothing), executions and cancels larger than the
# order's open shares (overshoot: clamped to them), messages before the stock's directory
# entry (undirected: applied to the locate's book all the same), and messages after which the
# book was crossed.
COUNTERS = ("R", "H", "A", "F", "E", "C", "X", "D", "U", "P", "Q", "B", "other", "trades",
            "unknown", "duplicate", "overshoot", "undirected", "crossed")

_UNITS = {"ns": 1, "us": 1_000, "ms": 1_000_000, "s": 1_000_000_000, "m": 60_000_000_000,
          "min": 60_000_000_000, "h": 3_600_000_000_000}


def parse_every(every: int | str | None) -> int:
    """An interval as nanoseconds: an int, or text such as ``"1s"``, ``"250ms"``, ``"5min"``."""
    if every is None:
        return 0
    if isinstance(every, bool):
        raise TypeError("every must be an int of nanoseconds or text like '1s'")
    if isinstance(every, int):
        value = every
    else:
        match = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*(ns|us|ms|s|min|m|h)\s*", str(every))
        if not match:
            raise ValueError(f"cannot read the interval {every!r} (examples: 1s, 250ms, 5min)")
        value = round(float(match.group(1)) * _UNITS[match.group(2)])
    if value <= 0:
        raise ValueError(f"the interval must be positive, got {every!r}")
    return value


# The books at chosen times, one row per resting order: the chosen time, the stock locate,
# then the order as velmora.core.Book.orders() gives it (reference, side, price, shares,
# traded, time).
COPY_DTYPE = np.dtype([("at", "<i8"), ("locate", "<i8"), ("reference", "<i8"), ("side", "<i8"),
                       ("price", "<i8"), ("shares", "<i8"), ("traded", "<i8"), ("time", "<i8")])


def parse_time(value: int | str) -> int:
    """A time of day as nanoseconds since midnight: an int, or text "HH:MM[:SS[.fraction]]"."""
    if isinstance(value, bool):
        raise TypeError("a time is an int of nanoseconds or text like '10:30'")
    if isinstance(value, int):
        return value
    match = re.fullmatch(r"\s*(\d{1,2}):(\d{2})(?::(\d{2})(?:\.(\d{1,9}))?)?\s*", str(value))
    if not match:
        raise ValueError(f"cannot read the time {value!r} (examples: 10:30, 15:59:59.5)")
    h, m, sec, frac = match.groups()
    return ((int(h) * 60 + int(m)) * 60 + int(sec or 0)) * 10**9 + int((frac or "").ljust(9, "0"))


def top_dtype(depth: int) -> np.dtype:
    """Rows of the top levels: time, seq (the message's index in the file), locate, then
    bid_price, bid_total, ask_price, ask_total with `depth` int64 each, best first (an empty
    place has total 0 and the far end of the int64 range as price)."""
    return np.dtype([("time", "<i8"), ("seq", "<i8"), ("locate", "<i8"),
                     ("bid_price", "<i8", (depth,)), ("bid_total", "<i8", (depth,)),
                     ("ask_price", "<i8", (depth,)), ("ask_total", "<i8", (depth,))])


def _symbols(value: Iterable[str] | str | None) -> list[str] | None:
    if value is None:
        return None
    if isinstance(value, str):
        value = [s for s in value.split(",") if s.strip()]
    return [s.strip() if isinstance(s, str) else s for s in value]


class ItchReplay:
    """What one replay kept: trades, summary, final books, tables and top-level rows."""

    def __init__(self, raw: dict[str, Any], depth: int, path: str,
                 times: tuple[int, ...] = ()) -> None:
        self.path = path
        self._times = set(times)
        self.depth = depth
        self.trades = np.frombuffer(raw["trades"], dtype=TRADE_DTYPE)
        dtype = top_dtype(depth) if depth else None
        self.top = np.frombuffer(raw["rows"], dtype=dtype) if dtype else None
        self.samples = np.frombuffer(raw["samples"], dtype=dtype) if dtype else None
        self.messages: int = raw["messages"]
        self.bytes: int = raw["bytes"]
        self.skipped: int = raw["skipped"]        # other stocks' messages, not applied
        self.other: int = raw["other"]            # messages of the types not applied
        self.unknown_matches: int = raw["unknown_matches"]  # B naming no trade kept
        self.copies = np.frombuffer(raw["copies"], dtype=COPY_DTYPE)
        stocks = raw["stocks"]
        self.books: dict[int, core.Book] = {locate: book for locate, _, book, _ in stocks}
        self.symbols: dict[int, str | None] = {locate: sym for locate, sym, _, _ in stocks}
        self._locates = {sym: locate for locate, sym, _, _ in stocks if sym is not None}
        self.summary = np.array(
            [(locate, sym or "", *counts) for locate, sym, _, counts in stocks],
            dtype=[("locate", "<i8"), ("symbol", "U8")] + [(c, "<i8") for c in COUNTERS])
        self.system_events = np.array(raw["system"], dtype=[("time", "<i8"), ("code", "U1")])
        self.trading_actions = np.array(
            raw["actions"],
            dtype=[("time", "<i8"), ("locate", "<i8"), ("state", "U1"), ("reason", "U4")])

    def locate(self, symbol: str) -> int:
        try:
            return self._locates[symbol]
        except KeyError:
            raise KeyError(f"no stock {symbol!r} was replayed") from None

    def book(self, symbol: str) -> core.Book:
        """The final book of a stock, by symbol."""
        return self.books[self.locate(symbol)]

    def books_at(self, time: int | str) -> dict[int, core.Book]:
        """The books (by locate) as they were at one of the times given as `books_at`: after
        every message stamped at or before it. Feed-mode velmora.core.Book objects."""
        at = parse_time(time)
        if at not in self._times:
            raise KeyError(f"the replay copied no books at {time!r} (books_at=...)")
        rows = self.copies[self.copies["at"] == at]
        books: dict[int, core.Book] = {}
        for locate in self.books:
            mine = rows[rows["locate"] == locate]
            book = core.Book(feed=True)
            book.__setstate__({"feed": True, "orders": [
                (int(r["reference"]), int(r["side"]), int(r["price"]), int(r["shares"]),
                 bool(r["traded"]), int(r["time"]), False) for r in mine]})
            books[locate] = book
        return books

    def trades_of(self, symbol: str) -> np.ndarray:
        return self.trades[self.trades["locate"] == self.locate(symbol)]

    def top_of(self, symbol: str, samples: bool = False) -> np.ndarray:
        """A stock's top-level rows: after every change (or at each interval, `samples`)."""
        rows = self.samples if samples else self.top
        if rows is None:
            raise ValueError("the replay kept no top levels (depth=0)")
        return rows[rows["locate"] == self.locate(symbol)]

    def write_parquet(self, out: str | os.PathLike[str]) -> Path:
        """Writes trades.parquet, summary.parquet, top/ and samples/ under `out`, the trades
        and top rows partitioned by symbol (hive style: symbol=AAPL/). Needs pyarrow."""
        try:
            import pyarrow as pa
            import pyarrow.parquet as pq
        except ImportError as exc:
            raise ImportError("Parquet output needs pyarrow: pip install pyarrow") from exc
        out = Path(out)
        out.mkdir(parents=True, exist_ok=True)
        names = np.array([self.symbols.get(int(loc)) or f"#{loc}" for loc in
                          range(65536)], dtype=object) if len(self.symbols) else None

        def symbol_column(locates: np.ndarray) -> pa.Array:
            if names is None:
                return pa.array([], pa.string())
            return pa.array(names[locates.astype(np.int64)], pa.string())

        t = self.trades
        trades = pa.table({
            "symbol": symbol_column(t["locate"]),
            **{name: t[name] for name in ("time", "price", "shares", "reference", "match",
                                          "side", "broken", "printable")},
            "kind": pa.array(t["kind"].astype("U1"), pa.string()),
        })
        pq.write_to_dataset(trades, out / "trades", partition_cols=["symbol"])
        pq.write_table(pa.table({name: self.summary[name] for name in self.summary.dtype.names}),
                       out / "summary.parquet")
        for name, rows in (("top", self.top), ("samples", self.samples)):
            if rows is None or len(rows) == 0:
                continue
            columns: dict[str, Any] = {"symbol": symbol_column(rows["locate"]),
                                       "time": rows["time"], "seq": rows["seq"]}
            for field in ("bid_price", "bid_total", "ask_price", "ask_total"):
                for level in range(self.depth):
                    columns[f"{field}_{level + 1}"] = rows[field][:, level]
            pq.write_to_dataset(pa.table(columns), out / name, partition_cols=["symbol"])
        return out


def replay(path: str | os.PathLike[str], symbols: Iterable[str] | str | None = None, *,
           depth: int = 0, top: Iterable[str] | str | None = None, changes: bool = True,
           every: int | str | None = None, stop_on_unknown: bool = False,
           progress: Callable[[int], object] | None = None,
           books_at: Iterable[int | str] = ()) -> ItchReplay:
    """Replays an ITCH 5.0 file (plain or gzip) onto one feed-mode book per stock.

    symbols: only these stocks are applied (the others' messages are skipped); None for all.
    depth: record the top `depth` levels of the stocks in `top` (default: every stock
    replayed) after every change of them (``changes``) and at each multiple of ``every``
    (nanoseconds, or text like ``"1s"``) since midnight.
    stop_on_unknown: raise KeyError at the first reference the books cannot place (one not
    resting, or an add of one already resting) instead of counting it.
    progress: called with the file's bytes read so far, about every million messages.
    books_at: times of day (nanoseconds since midnight, or "HH:MM[:SS]"), ascending, at which
    every replayed book is copied; ``result.books_at(time)`` rebuilds them as Books.

    A file that ends inside a message, or whose message is shorter than its type's layout,
    raises ValueError naming the byte offset; the file is not changed.
    """
    if isinstance(depth, bool) or not isinstance(depth, int):
        raise TypeError("depth must be an int")
    times = tuple(parse_time(t) for t in books_at)
    raw = _itch.replay(os.fspath(path), _symbols(symbols), _symbols(top), depth, bool(changes),
                       parse_every(every), bool(stop_on_unknown), progress, times)
    return ItchReplay(raw, depth, os.fspath(path), times)
