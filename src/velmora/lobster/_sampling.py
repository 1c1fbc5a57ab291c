"""Sampled rows of a LOBSTER replay: the top levels and the measures at chosen moments, written
natively by a velmora.core.Sampler in the same pass as the replay.

A LOBSTER message becomes no core event (hidden and cross trades, halts), one (types 1 to 4),
or several (the LEVEL run of levels that come into view after it, under the follow rule).
The book is only the file's after the last of a message's events, so every row is written at
the end of a message's events: time rows and rows at given times are written ahead of the
first event past them (a message's events share its time), and rows every K messages are
written through the sampler's group flags, set on the last event of every K-th message that
reaches the book.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

from velmora import core
from velmora.lobster._files import EMPTY_ASK, EMPTY_BID

__all__ = ["Sampling", "Samples", "parse_interval", "parse_measures", "sampling"]

_UNITS = {"ns": 1, "us": 10**3, "µs": 10**3, "ms": 10**6, "s": 10**9, "m": 60 * 10**9,
          "min": 60 * 10**9, "h": 3600 * 10**9}
_INTERVAL = re.compile(r"^\s*(\d+(?:\.\d*)?|\.\d+)\s*([a-zµ]*)\s*$")


def parse_interval(text: str | int) -> int:
    """An interval in nanoseconds: an int, or a string such as "1s", "100ms", "250us",
    "5min", "1h" or "500" (nanoseconds). Refuses (ValueError) zero, negative and unknown
    units, and fractions of a nanosecond."""
    if isinstance(text, (int, np.integer)) and not isinstance(text, bool):
        value = int(text)
    else:
        match = _INTERVAL.match(str(text))
        if not match or match[2] not in _UNITS and match[2] != "":
            raise ValueError(f"an interval is a number of nanoseconds or a number with a unit "
                             f"({', '.join(u for u in _UNITS if u != 'µs')}), not {text!r}")
        number, unit = match[1], _UNITS[match[2] or "ns"]
        whole, _, fraction = number.partition(".")
        fraction = fraction.rstrip("0")
        scaled = int(whole or 0) * unit + (int(fraction) * unit // 10 ** len(fraction)
                                           if fraction else 0)
        if fraction and int(fraction) * unit % 10 ** len(fraction):
            raise ValueError(f"{text!r} is not a whole number of nanoseconds")
        value = scaled
    if value <= 0:
        raise ValueError(f"an interval must be positive, not {text!r}")
    return value


def parse_measures(text: str | list[str] | tuple[str, ...] | None) -> list[str]:
    """Measure names from "mid,spread,imbalance:5" or a list of names."""
    if text is None:
        return []
    if isinstance(text, str):
        return [part.strip() for part in text.split(",") if part.strip()]
    return list(text)


@dataclass
class Sampling:
    """When rows are written and what they hold: exactly one of `every` (nanoseconds of event
    time), `every_events` (messages that reach the book) and `at` (sorted times, ns after
    midnight), and the `measures`."""

    every: int | None = None
    every_events: int | None = None
    at: np.ndarray | None = None
    measures: list[str] = field(default_factory=list)

    def check(self, depth: int) -> None:
        """Refuses (ValueError) options that rows of `depth` levels cannot hold."""
        self.sampler(depth)

    def sampler(self, depth: int) -> core.Sampler:
        """A fresh core.Sampler for these options (refusing what it cannot do)."""
        if self.every_events is not None:
            return core.Sampler(depth, groups=True, measures=self.measures)
        if self.at is not None:
            return core.Sampler(depth, at=self.at.tolist(), measures=self.measures)
        return core.Sampler(depth, every=self.every, measures=self.measures)


def sampling(every: int | str | None = None, every_events: int | None = None,
             at: Any = None, measures: Any = None) -> Sampling | None:
    """The options checked, or None when no rows are sampled. Refuses (ValueError) zero or
    negative intervals, unsorted or non-integer times, more than one of every, every_events
    and at, and measures without one of them."""
    given = [name for name, value in (("every", every), ("every_events", every_events),
                                      ("at", at)) if value is not None]
    names = parse_measures(measures)
    if not given:
        if names:
            raise ValueError("measures are written on sampled rows: give every, every_events "
                             "or at as well")
        return None
    if len(given) > 1:
        raise ValueError(f"give one of every, every_events and at, not {' and '.join(given)}")
    out = Sampling(measures=names)
    # The names checked now, before any file is read (k against the depth when it is known).
    ks = [int(name[10:]) for name in names
          if name.startswith("imbalance:") and name[10:].isdigit()]
    core.Sampler(min(max(ks + [1]), 1 << 16), every_events=1, measures=names)
    if every is not None:
        out.every = parse_interval(every)
    elif every_events is not None:
        if isinstance(every_events, bool) or not isinstance(every_events, (int, np.integer)):
            raise ValueError(f"every_events must be a whole number of messages, not "
                             f"{every_events!r}")
        if every_events <= 0:
            raise ValueError(f"every_events must be positive, not {every_events}")
        out.every_events = int(every_events)
    else:
        times = np.asarray(at)
        if times.ndim != 1 or not (np.issubdtype(times.dtype, np.integer) or len(times) == 0):
            raise ValueError("at must be a one-dimensional array of integer times (ns after "
                             f"midnight), not {times.dtype} of shape {times.shape}")
        times = times.astype(np.int64)
        bad = np.flatnonzero(times[1:] < times[:-1])
        if len(bad):
            k = int(bad[0])
            raise ValueError(f"at must be sorted in ascending order: at[{k + 1}] = "
                             f"{times[k + 1]} comes after at[{k}] = {times[k]}")
        out.at = times
    return out


def _columns(levels: int) -> list[str]:
    return [f"{name}_{k}" for k in range(1, levels + 1)
            for name in ("ask_price", "ask_size", "bid_price", "bid_size")]


class Samples:
    """Sampled rows: a NumPy structured array ``rows`` with the fields message (the last
    message the row reflects: the orderbook file's row of that message shows this book; -1
    for the empty book before any), time (the tick, the given time, or the message's time),
    the levels in the orderbook file's layout (ask_price_1, ask_size_1, bid_price_1,
    bid_size_1, ...; empty levels as LOBSTER writes them), then one field per measure (prices
    in the file's units, dollars x 10 000)."""

    def __init__(self, levels: int, measures: list[str], dtype: np.dtype[Any]):
        self.levels = levels
        self.measures = measures
        fields: Any = dtype.fields or {}
        measure_fields = [(name, fields[name][0]) for name in (dtype.names or ())
                          if name not in ("seq", "time", "bid_price", "bid_total", "ask_price",
                                          "ask_total")]
        self.dtype = np.dtype([("message", "i8"), ("time", "i8")]
                              + [(name, "i8") for name in _columns(levels)] + measure_fields)
        self.names: tuple[str, ...] = self.dtype.names or ()
        self._parts: list[np.ndarray] = []
        self._rows: np.ndarray | None = None

    def add(self, core_rows: np.ndarray, messages: np.ndarray) -> None:
        """Core rows with the message each reflects."""
        out = np.empty(len(core_rows), self.dtype)
        out["message"] = messages
        out["time"] = core_rows["time"]
        n = self.levels
        for side, empty in (("ask", EMPTY_ASK), ("bid", EMPTY_BID)):
            prices = core_rows[f"{side}_price"].reshape(-1, n)
            totals = core_rows[f"{side}_total"].reshape(-1, n)
            for k in range(n):
                out[f"{side}_size_{k + 1}"] = totals[:, k]
                out[f"{side}_price_{k + 1}"] = np.where(totals[:, k] > 0, prices[:, k], empty)
        for name in self.names[2 + 4 * n:]:
            out[name] = core_rows[name]
        self._parts.append(out)
        self._rows = None

    @property
    def rows(self) -> np.ndarray:
        if self._rows is None:
            self._rows = (np.concatenate(self._parts) if self._parts
                          else np.zeros(0, self.dtype))
            self._parts = [self._rows]
        return self._rows

    def __len__(self) -> int:
        return len(self.rows)

    def levels_array(self) -> np.ndarray:
        """The levels as an int64 array (rows, 4 x levels), an orderbook file's layout."""
        rows = self.rows
        return np.stack([rows[name] for name in _columns(self.levels)], axis=1) \
            if len(rows) else np.zeros((0, 4 * self.levels), np.int64)

    def to_pandas(self) -> Any:
        """A pandas DataFrame of the rows (needs pandas: velmora[frames])."""
        try:
            import pandas as pd
        except ImportError as exc:
            raise ImportError("a DataFrame needs pandas: pip install 'velmora[frames]'"
                              ) from exc
        return pd.DataFrame({name: self.rows[name] for name in self.names})

    def to_polars(self) -> Any:
        """A Polars DataFrame of the rows (needs polars: velmora[polars])."""
        try:
            import polars as pl
        except ImportError as exc:
            raise ImportError("a Polars frame needs polars: pip install 'velmora[polars]'"
                              ) from exc
        return pl.DataFrame({name: self.rows[name] for name in self.names})

    def to_arrow(self) -> Any:
        """A pyarrow Table of the rows (needs pyarrow: velmora[lobster])."""
        try:
            import pyarrow as pa
        except ImportError as exc:
            raise ImportError("Arrow and Parquet need pyarrow: pip install 'velmora[lobster]'"
                              ) from exc
        return pa.table({name: self.rows[name] for name in self.names})

    def write(self, path: str | Path, format: str = "parquet") -> Path:
        """Writes the rows to `path`: Parquet (pyarrow), or CSV with a header."""
        path = Path(path)
        if format == "parquet":
            import pyarrow.parquet as pq

            pq.write_table(self.to_arrow(), path)
        elif format == "csv":
            rows = self.rows
            with open(path, "w") as f:
                f.write(",".join(self.names) + "\n")
                for record in rows.tolist():
                    f.write(",".join(repr(v) if isinstance(v, float) else str(v)
                                     for v in record) + "\n")
        else:
            raise ValueError(f"format must be 'parquet' or 'csv', not {format!r}")
        return path


class Sampler:
    """A replay of a stream of events on its own book with a core.Sampler, fed in chunks:
    ``feed(events, owners)`` for each chunk (whole messages only), ``finish()`` at the end.
    Events the engine refuses are skipped as the row replay skips them."""

    def __init__(self, book: core.Book, options: Sampling, levels: int, first: int):
        self.book = book
        self.options = options
        self.core = options.sampler(levels)
        self.samples = Samples(levels, options.measures, self.core.dtype)
        self.last_message = first - 1  # the message of the last event applied
        self.reached = 0  # messages counted for every_events
        self.refused: list[tuple[int, str]] = []  # (message, why)
        self.fills: list[np.ndarray] = []
        self.unknown = self.seeded = 0
        self.applied = 0  # events applied in all: the core sampler's count

    @staticmethod
    def _last_events(owners: np.ndarray) -> np.ndarray:
        """Where each message's events end (a chunk holds whole messages)."""
        ends = np.empty(len(owners), bool)
        if len(owners):
            np.not_equal(owners[1:], owners[:-1], out=ends[:-1])
            ends[-1] = True
        return ends

    def _flags(self, last: np.ndarray) -> np.ndarray | None:
        """The group flags of every K-th message from here, counting from self.reached."""
        k = self.options.every_events
        if k is None:
            return None
        at = np.flatnonzero(last)
        counted = self.reached + np.arange(1, len(at) + 1)
        flags = np.zeros(len(last), bool)
        flags[at[counted % k == 0]] = True
        return flags

    def _take(self, owners: np.ndarray, at: int) -> None:
        rows = self.core.take()
        if not len(rows):
            return
        seq = rows["seq"]
        # Rows of events of this call name them (the sampler counted self.applied before
        # it); rows written ahead of its first event reflect the last event before.
        local = seq - self.applied
        mine = local >= 0
        messages = np.full(len(rows), self.last_message, np.int64)
        messages[mine] = owners[at + local[mine]]
        self.samples.add(rows, messages)

    def feed(self, events: np.ndarray, owners: np.ndarray, keep_fills: bool = False,
             base: int = 0) -> None:
        """Replays a chunk's events; `owners` + `base` are their messages in the stream."""
        last = self._last_events(owners)
        owners = owners + base if base else owners
        at = 0
        while True:
            # A message whose last event the engine refuses gets no row and is not counted:
            # the flags are set again after each refusal.
            flags = self._flags(last[at:])
            result: Any
            try:
                result = self.book.replay(events[at:], sampler=self.core, clamp=True,
                                          group_ends=flags)
                applied, done = len(events) - at, True
            except (ValueError, OverflowError, KeyError) as exc:
                result = getattr(exc, "result", None)
                if result is None or "the sampler would write more" in str(exc):
                    raise
                applied, done = int(getattr(exc, "applied")), False
                self.refused.append((int(owners[at + applied]), str(exc).split(": ", 1)[-1]))
            self._take(owners, at)
            if keep_fills:
                fills = result.fills
                fills["seq"] += at
                self.fills.append(fills)
            self.unknown += result.unknown
            self.seeded += result.seeded
            if applied:
                self.last_message = int(owners[at + applied - 1])
            self.applied += applied
            self.reached += int(np.count_nonzero(last[at:at + applied]))
            if done:
                break
            at += applied + 1

    def finish(self) -> Samples:
        # The rows the end of the stream completes all reflect the last event.
        self.core.finish(self.book)
        rows = self.core.take()
        if len(rows):
            self.samples.add(rows, np.full(len(rows), self.last_message, np.int64))
        return self.samples
