"""DBN market-by-order files replayed natively into one velmora.core book per instrument and
venue (publisher), with Databento's rules.

The rules, as the replay applies them (each tested against a plain-Python reference book):

- ``A`` add: the order rests at the back of its level, without ever trading (feed mode: the
  venue reports what it left crossed, and its own records uncross it). An add without a side,
  a size or a price is counted as ``invalid``; one whose id already rests as ``duplicate``.
  With ``F_TOB`` (a venue that sends its best level, not orders) the level replaces its whole
  side, and an undefined price empties the side.
- ``C`` cancel: the order loses ``size`` and keeps its place; all of it (or more, counted as
  ``overshoot``) removes it.
- ``M`` modify: the order takes the record's price and size. It keeps its queue priority only
  when the price is the same and the size does not grow: that is how the venues Databento
  normalises rank orders (a smaller order can only reduce what rests ahead of later ones; a
  new price or more size is a new promise, at the back). Size 0 removes the order. The side
  stays the order's own.
- ``R`` clear: the book empties; the snapshot records (``F_SNAPSHOT``) that follow are adds
  and rebuild it.
- ``T`` trade and ``F`` fill: kept as trades, the book unchanged: the venue sends the change
  itself as the cancel or modify records that follow the fill in the same event.
- ``N`` and any other action byte: counted, nothing applied.
- Records come in event groups, closed by the record flagged ``F_LAST``; inside a group a
  book may be half-updated (a fill whose cancel has not come), so rows of the top levels,
  samples and the crossed check are only taken at a group's end.
- A record naming an order the book does not hold is counted as ``unknown`` (or stops the
  replay, ``stop_on_unknown``), never guessed: no order is made up and no other is touched.
- ``F_MAYBE_BAD_BOOK`` and ``F_BAD_TS_RECV`` are counted per book (``bad_book``,
  ``bad_ts_recv``) and the records applied as they are.
- Both clocks are kept: ``ts_event`` (the venue's) and ``ts_recv`` (Databento's capture,
  the order of the file). Samples follow ``clock``: a sample at time t shows each watched book
  as its last event group closed before the first record whose clock passes t.
"""

from __future__ import annotations

import io
import os
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import Any

import numpy as np

from velmora import _dbn, core
from velmora.dbn._files import DbnFormatError, Metadata, _metadata, _open
from velmora.itch import parse_every

__all__ = ["TRADE_DTYPE", "COUNTERS", "DbnReplay", "replay", "top_dtype", "sample_dtype"]

# One trade or fill record: both clocks, the price (1e-9 units), the size, the order id (a
# fill's resting order; a trade's as sent, usually 0), the record's index in the file, the
# instrument, the publisher, the action (b"T": the aggressor's trade, b"F": a resting
# order's fill) and the side as the record gives it (b"B", b"A", b"N").
TRADE_DTYPE = np.dtype({
    "names": ["ts_event", "ts_recv", "price", "size", "order_id", "record", "instrument_id",
              "publisher_id", "action", "side"],
    "formats": ["<i8", "<i8", "<i8", "<i8", "<u8", "<u8", "<u4", "<u2", "S1", "S1"],
    "offsets": [0, 8, 16, 24, 32, 40, 48, 52, 54, 55],
    "itemsize": 56,
})

# The summary's counters per book, in the native order: records of each action, then other
# action bytes; event groups closed; trades kept (T and F); records naming an order not
# resting (unknown); adds of an id already resting (duplicate); cancels of more than the
# order holds (overshoot: the order is removed); adds that cannot rest (invalid: no side,
# size or price); groups that ended with the book crossed; records flagged snapshot,
# maybe-bad-book, bad-ts-recv.
COUNTERS = ("A", "C", "M", "R", "T", "F", "N", "other", "groups", "trades", "unknown",
            "duplicate", "overshoot", "invalid", "crossed", "snapshot", "bad_book",
            "bad_ts_recv")

_CLOCKS = {"ts_recv": False, "ts_event": True}


def _levels(depth: int) -> list[tuple[str, str, tuple[int]]]:
    return [(name, "<i8", (depth,)) for name in ("bid_price", "bid_total", "ask_price",
                                                 "ask_total")]


def top_dtype(depth: int) -> np.dtype[Any]:
    """Rows of the top levels after an event group: its last record's ts_event and ts_recv,
    that record's index in the file, publisher, instrument, then `depth` levels per side,
    best first (an empty place has total 0 and the far end of the int64 range as price)."""
    return np.dtype([("ts_event", "<i8"), ("ts_recv", "<i8"), ("record", "<i8"),
                     ("publisher_id", "<i8"), ("instrument_id", "<i8")] + _levels(depth))


def sample_dtype(depth: int) -> np.dtype[Any]:
    """Rows of the samples: the sampling time, the index of the record that closed the
    group the book shows, publisher, instrument, then the levels as in top_dtype."""
    return np.dtype([("time", "<i8"), ("record", "<i8"), ("publisher_id", "<i8"),
                     ("instrument_id", "<i8")] + _levels(depth))


def _blocks(stream: Any, path: Path, offset: int, size: int,
            progress: Callable[[int], object] | None, raw: Any) -> Iterator[memoryview]:
    """The record stream in pieces of up to `size` bytes, one buffer reused (the replay is
    done with a piece before it asks for the next)."""
    buffer = bytearray(size)
    view = memoryview(buffer)
    while True:
        try:
            n = stream.readinto(view)
        except Exception as exc:  # zstandard's errors, a cut frame
            raise DbnFormatError(path, offset, f"the compressed data ends or breaks here "
                                               f"({exc}): the file is truncated or corrupt"
                                 ) from None
        if not n:
            return
        offset += n
        yield view[:n]
        if progress is not None:
            progress(raw.tell())


def _instrument_ids(meta: Metadata, wanted: Iterable[str | int] | str | None) -> list[int] | None:
    if wanted is None:
        return None
    if isinstance(wanted, str):
        wanted = [s.strip() for s in wanted.split(",") if s.strip()]
    by_symbol: dict[str, set[int]] = {}  # every id a raw symbol maps to, over all dates
    for raw, intervals in meta.mappings.items():
        for _, _, symbol in intervals:
            if symbol.isdigit():
                by_symbol.setdefault(raw, set()).add(int(symbol))
    ids: set[int] = set()
    for item in wanted:
        if isinstance(item, int) and not isinstance(item, bool):
            ids.add(item)
        elif isinstance(item, str) and item.isdigit():
            ids.add(int(item))
        elif isinstance(item, str) and item in by_symbol:
            ids |= by_symbol[item]
        else:
            known = ", ".join(sorted(by_symbol)[:10]) or "none"
            raise KeyError(f"no symbol {item!r} in the file's mappings (it maps {known})")
    return sorted(ids)


class DbnReplay:
    """What one replay kept: trades, summary, final books, top-level rows and samples."""

    def __init__(self, raw: dict[str, Any], meta: Metadata, depth: int, path: str) -> None:
        self.path = path
        self.metadata = meta
        self.depth = depth
        self.trades = np.frombuffer(raw["trades"], dtype=TRADE_DTYPE)
        self.top = np.frombuffer(raw["rows"], dtype=top_dtype(depth)) if depth else None
        self.samples = (np.frombuffer(raw["samples"], dtype=sample_dtype(depth))
                        if depth else None)
        self.records: int = raw["records"]
        self.bytes: int = raw["bytes"]
        self.skipped: int = raw["skipped"]  # records of instruments left out, not applied
        books = raw["books"]
        self.books: dict[tuple[int, int], core.Book] = {
            (publisher, instrument): book for publisher, instrument, book, _ in books}
        names = meta.instruments()
        self.symbols: dict[int, str] = {i: names[i] for _, i, _, _ in books if i in names}
        self.summary = np.array(
            [(p, i, names.get(i, ""), *counts) for p, i, _, counts in books],
            dtype=[("publisher_id", "<i8"), ("instrument_id", "<i8"), ("symbol", "U32")]
            + [(c, "<i8") for c in COUNTERS])

    def _ids(self, which: str | int) -> set[int]:
        if isinstance(which, int):
            return {which}
        ids = {i for i, s in self.symbols.items() if s == which}
        if not ids:
            raise KeyError(f"no instrument {which!r} was replayed")
        return ids

    def book(self, which: str | int, publisher: int | None = None) -> core.Book:
        """The final book of an instrument (a symbol or an instrument id) at a publisher,
        which may be left out when only one publisher sent it."""
        ids = self._ids(which)
        keys = [k for k in self.books if k[1] in ids and publisher in (None, k[0])]
        if len(keys) > 1:
            raise KeyError(f"{which!r} has books at publishers "
                           f"{sorted(k[0] for k in keys)}: name one")
        if not keys:
            at = "" if publisher is None else f" at publisher {publisher}"
            raise KeyError(f"no book of {which!r}{at}")
        return self.books[keys[0]]

    def _mask(self, rows: np.ndarray, which: str | int, publisher: int | None) -> np.ndarray:
        mask = np.isin(rows["instrument_id"], list(self._ids(which)))
        if publisher is not None:
            mask &= rows["publisher_id"] == publisher
        return rows[mask]

    def trades_of(self, which: str | int, publisher: int | None = None) -> np.ndarray:
        return self._mask(self.trades, which, publisher)

    def top_of(self, which: str | int, publisher: int | None = None,
               samples: bool = False) -> np.ndarray:
        """An instrument's top-level rows: after every event group that changed them (or at
        each interval, `samples`)."""
        rows = self.samples if samples else self.top
        if rows is None:
            raise ValueError("the replay kept no top levels (depth=0)")
        return self._mask(rows, which, publisher)

    def write_parquet(self, out: str | os.PathLike[str]) -> Path:
        """Writes trades/, top/ and samples/ partitioned by symbol (hive style: symbol=AAPL/,
        the instrument id where the mappings name none) and summary.parquet. Needs pyarrow."""
        try:
            import pyarrow as pa
            import pyarrow.parquet as pq
        except ImportError as exc:
            raise ImportError("Parquet output needs pyarrow: pip install pyarrow") from exc
        out = Path(out)
        out.mkdir(parents=True, exist_ok=True)

        def symbols(ids: np.ndarray) -> Any:
            return pa.array([self.symbols.get(int(i), f"#{i}") for i in ids], pa.string())

        tables = {"trades": self.trades, "top": self.top, "samples": self.samples}
        for name, rows in tables.items():
            if rows is None or len(rows) == 0:
                continue
            columns: dict[str, Any] = {"symbol": symbols(rows["instrument_id"])}
            for field in rows.dtype.names or ():
                if rows.dtype[field].shape:
                    for level in range(self.depth):
                        columns[f"{field}_{level + 1}"] = rows[field][:, level]
                elif rows.dtype[field].kind == "S":
                    columns[field] = pa.array(rows[field].astype("U1"), pa.string())
                else:
                    columns[field] = rows[field]
            pq.write_to_dataset(pa.table(columns), out / name, partition_cols=["symbol"])
        fields = self.summary.dtype.names or ()
        pq.write_table(pa.table({f: self.summary[f] for f in fields}), out / "summary.parquet")
        return out


def replay(path: str | os.PathLike[str], symbols: Iterable[str | int] | str | None = None, *,
           depth: int = 0, top: Iterable[str | int] | str | None = None, changes: bool = True,
           every: int | str | None = None, clock: str = "ts_recv",
           stop_on_unknown: bool = False, progress: Callable[[int], object] | None = None,
           block: int = 1 << 22, max_sample_bytes: int = 4 << 30) -> DbnReplay:
    """Replays a DBN market-by-order file (plain or zstd) onto one feed-mode book per
    (publisher, instrument), with the rules in this module's description.

    symbols: only these instruments are applied (raw symbols from the file's mappings, or
    instrument ids); None for all. depth: record the top `depth` levels of the instruments in
    `top` (default: every one replayed) after every event group that changed them
    (``changes``) and at each multiple of ``every`` (nanoseconds, or text like ``"1s"``) of
    ``clock`` ("ts_recv" or "ts_event"). stop_on_unknown: raise KeyError at the first record
    naming an order its book does not hold (or adding one it holds). progress: called with
    the file's bytes read (compressed bytes for .zst) after each block. max_sample_bytes:
    the samples' memory at most; a record whose clock would take them past it (a damaged
    time, or an interval too fine for the file) raises ValueError before any is written.

    A file that is not DBN, not market-by-order, holds another record type, or ends inside
    a record or a compressed frame raises DbnFormatError naming the byte.
    """
    if isinstance(depth, bool) or not isinstance(depth, int):
        raise TypeError("depth must be an int")
    if clock not in _CLOCKS:
        raise ValueError(f"clock is 'ts_recv' or 'ts_event', not {clock!r}")
    if block < 1024:
        raise ValueError("block must be at least 1024 bytes")
    interval = parse_every(every)
    path = Path(path)
    with _open(path) as stream:
        meta = _metadata(stream, path)
        if meta.schema not in ("mbo", None):
            raise DbnFormatError(path, None, f"the file holds {meta.schema} records "
                                             f"({meta.dataset}), not market-by-order (mbo)")
        raw_file = stream.raw if isinstance(stream, io.BufferedReader) else stream
        if hasattr(raw_file, "raw"):  # the zstd reader: the compressed file under it
            raw_file = raw_file.raw
        blocks = _blocks(stream, path, meta.length, block, progress, raw_file)
        try:
            result = _dbn.replay(blocks, meta.length, 64 if meta.ts_out else 56,
                                 _instrument_ids(meta, symbols), _instrument_ids(meta, top),
                                 depth, bool(changes), interval, _CLOCKS[clock],
                                 bool(stop_on_unknown), max_sample_bytes)
        except _dbn.RecordError as exc:
            problem, offset = exc.args
            raise DbnFormatError(path, offset, problem) from None
    return DbnReplay(result, meta, depth, os.fspath(path))
