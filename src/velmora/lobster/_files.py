"""Reading LOBSTER's two files into NumPy arrays, checked, with every fault reported by file
and line.

The parsing is NumPy's own C reader (``numpy.loadtxt``); only when it refuses a file, or the
checks that follow find a bad row, does a plain line-by-line pass run to say where and why.
Plain and gzip-compressed files are both read, whatever their names.
"""

from __future__ import annotations

import contextlib
import gzip
import io
import os
import re
import time as _time
import warnings
import zlib
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np

__all__ = ["EMPTY_ASK", "EMPTY_BID", "MESSAGE_DTYPE", "MAX_PRICE", "LobsterFormatError",
           "FileName", "parse_name", "read_messages", "read_orderbook", "check_lengths"]

# An empty level in an orderbook file: this price and a size of 0.
EMPTY_ASK, EMPTY_BID = 9_999_999_999, -9_999_999_999
# The highest real price (dollars x 10 000): anything above meets the empty-ask marker.
MAX_PRICE = EMPTY_ASK - 1

# One message: time in integer nanoseconds after midnight, then the file's columns.
MESSAGE_DTYPE = np.dtype([("time", "i8"), ("type", "i1"), ("order_id", "i8"), ("size", "i8"),
                          ("price", "i8"), ("direction", "i1")])
_MESSAGE_TEXT = np.dtype([("time", "f8"), ("type", "i8"), ("order_id", "i8"), ("size", "i8"),
                          ("price", "i8"), ("direction", "i8")])

# A progress callback: called with (bytes read, bytes in all) as a file is read.
Progress = Callable[[int, int], None]


class LobsterFormatError(ValueError):
    """A LOBSTER file that cannot be read as one: ``path``, ``line`` (1-based; None when the
    fault is the file as a whole) and ``problem``."""

    def __init__(self, path: str | os.PathLike[str], line: int | None, problem: str):
        self.path, self.line, self.problem = os.fspath(path), line, problem
        where = self.path if line is None else f"{self.path}, line {line:,}"
        super().__init__(f"{where}: {problem}")


class FileName:
    """The parts of a LOBSTER file name, TICKER_YYYY-MM-DD_START_END_KIND_N.csv: START and END
    in milliseconds after midnight, KIND message or orderbook, N levels."""

    PATTERN = re.compile(r"^(?P<ticker>.+?)_(?P<date>\d{4}-\d{2}-\d{2})_(?P<start>\d+)_(?P<end>\d+)"
                         r"_(?P<kind>message|orderbook)_(?P<levels>\d+)(?P<suffix>\..*)?$")

    def __init__(self, match: re.Match[str]):
        self.ticker, self.date, self.kind = match["ticker"], match["date"], match["kind"]
        self.start_ms, self.end_ms = int(match["start"]), int(match["end"])
        self.levels, self.suffix = int(match["levels"]), match["suffix"] or ""

    def partner(self) -> str:
        """The name of the other file of the pair."""
        kind = "orderbook" if self.kind == "message" else "message"
        return (f"{self.ticker}_{self.date}_{self.start_ms}_{self.end_ms}_{kind}_{self.levels}"
                f"{self.suffix}")


def parse_name(path: str | os.PathLike[str]) -> FileName | None:
    """The parts of a LOBSTER file name, or None for a name LOBSTER would not give."""
    match = FileName.PATTERN.match(Path(path).name)
    return FileName(match) if match else None


def _is_gzip(path: Path) -> bool:
    with open(path, "rb") as f:
        return f.read(2) == b"\x1f\x8b"


class _Counting(io.RawIOBase):
    """A raw file that reports how far it has been read."""

    def __init__(self, raw: Any, total: int, progress: Progress):
        self.raw, self.total, self.progress, self.done, self.shown = raw, total, progress, 0, 0.0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        n = self.raw.readinto(buffer)
        self.done += n
        now = _time.monotonic()
        if now - self.shown > 0.1 or n == 0:
            self.shown = now
            self.progress(self.done, self.total)
        return n


@contextlib.contextmanager
def _open_text(path: Path, progress: Progress | None) -> Iterator[io.TextIOWrapper]:
    """The file as text, decompressed when it is gzip, reporting progress on the bytes read.
    Every layer is closed on the way out (GzipFile leaves its source open)."""
    with open(path, "rb", buffering=0) as raw:
        source: Any = raw
        if progress is not None:
            source = _Counting(raw, os.path.getsize(path), progress)
        with io.BufferedReader(source, 1 << 20) as buffered:
            binary: Any = buffered
            if _is_gzip(path):
                binary = gzip.GzipFile(fileobj=buffered, mode="rb")
            with io.TextIOWrapper(binary, encoding="ascii", errors="strict",
                                  newline=None) as text:
                yield text


def _lines(path: Path) -> Iterator[tuple[int, str]]:
    """(line number, text) of each non-empty line, as numpy.loadtxt skips empty ones."""
    opener: Any = gzip.open if _is_gzip(path) else open
    with opener(path, "rt", encoding="ascii", errors="replace", newline=None) as f:
        for number, text in enumerate(f, 1):
            if not text.endswith("\n"):
                f.read(1)  # a last line without its end: raises if the data stops short
            text = text.rstrip("\n")
            if text:
                yield number, text


def _locate(path: Path, check: Callable[[list[str]], str | None]) -> tuple[int | None, str | None]:
    """The first line whose fields `check` refuses, with its reason; or the point where the
    file cannot be read any further (a truncated or corrupt compressed file)."""
    number = 0
    try:
        for number, text in _lines(path):
            problem = check(text.split(","))
            if problem:
                return number, problem
    except (EOFError, zlib.error, gzip.BadGzipFile) as exc:
        return number + 1, (f"the compressed data ends or breaks here ({exc}): the file is "
                            "truncated or corrupt")
    return None, None


def _line_of_row(path: Path, row: int) -> int:
    """The line number of the row-th (0-based) row read."""
    for k, (number, _) in enumerate(_lines(path)):
        if k == row:
            return number
    return row + 1


def _integer(text: str) -> bool:
    try:
        int(text)
    except ValueError:
        return False
    return -(2**63) <= int(text) < 2**63


def _fields_check(count: int, float_first: bool) -> Callable[[list[str]], str | None]:
    def check(fields: list[str]) -> str | None:
        if len(fields) != count:
            return f"expected {count} comma-separated fields, found {len(fields)}"
        for k, text in enumerate(fields):
            if k == 0 and float_first:
                try:
                    float(text)
                except ValueError:
                    return f"field 1 (time) is not a number: {text!r}"
            elif not _integer(text):
                return f"field {k + 1} is not a 64-bit integer: {text!r}"
        return None

    return check


def _load(path: Path, dtype: Any, count: int | None, float_first: bool,
          progress: Progress | None) -> np.ndarray:
    """The rows of a file through numpy.loadtxt; faults become LobsterFormatError."""
    if not path.is_file():
        raise LobsterFormatError(path, None, "no such file")
    try:
        with _open_text(path, progress) as text, warnings.catch_warnings():
            warnings.simplefilter("error", UserWarning)  # "input contained no data"
            return np.loadtxt(text, delimiter=",", dtype=dtype, comments=None,
                              ndmin=1 if dtype.names else 2)
    except (ValueError, UnicodeDecodeError, EOFError, zlib.error, gzip.BadGzipFile,
            OSError, UserWarning) as exc:
        if isinstance(exc, UserWarning):
            raise LobsterFormatError(path, None, "the file holds no rows") from None
        if count is None:  # an orderbook file: as many fields as its first line
            first = next(_lines(path), (1, ""))[1]
            count = first.count(",") + 1
        line, problem = _locate(path, _fields_check(count, float_first))
        if line is None:
            raise LobsterFormatError(path, None, f"cannot be read: {exc}") from exc
        raise LobsterFormatError(path, line, problem) from None


def _first_bad(path: Path, bad: np.ndarray, describe: Callable[[int], str]) -> None:
    """Raises for the first row `bad` marks, if any."""
    rows = np.flatnonzero(bad)
    if len(rows):
        raise LobsterFormatError(path, _line_of_row(path, int(rows[0])), describe(int(rows[0])))


def read_messages(path: str | os.PathLike[str], progress: Progress | None = None) -> np.ndarray:
    """A message file as an array of MESSAGE_DTYPE, time in integer nanoseconds after midnight.

    Checked: six numeric fields per line; types 1 to 7; directions 1 or -1; sizes of at least
    1 for types 1 to 6 (0 or more for halts); prices from 1 to MAX_PRICE for types 1 to 6 and
    -1, 0 or 1 for halts; times from 0 to 48 hours. Raises LobsterFormatError naming the line.
    """
    path = Path(path)
    text = _load(path, _MESSAGE_TEXT, 6, True, progress)
    kind, size, price, direction = text["type"], text["size"], text["price"], text["direction"]
    seconds = text["time"]
    _first_bad(path, ~np.isfinite(seconds) | (seconds < 0) | (seconds > 48 * 3600),
               lambda r: f"time {text['time'][r]!r} is not a time of day in seconds")
    _first_bad(path, (kind < 1) | (kind > 7),
               lambda r: f"unknown event type {kind[r]} (LOBSTER's are 1 to 7)")
    _first_bad(path, (direction != 1) & (direction != -1),
               lambda r: f"direction must be 1 (buy) or -1 (sell), got {direction[r]}")
    halt = kind == 7
    _first_bad(path, size < np.where(halt, 0, 1),
               lambda r: f"{'negative' if size[r] < 0 else 'zero'} size {size[r]}")
    _first_bad(path, ~halt & ((price < 1) | (price > MAX_PRICE)),
               lambda r: f"price {price[r]} out of range (1 to {MAX_PRICE} for type {kind[r]})")
    _first_bad(path, halt & ((price < -1) | (price > 1)),
               lambda r: f"a halt's price must be -1, 0 or 1, got {price[r]}")
    out = np.empty(len(text), MESSAGE_DTYPE)
    out["time"] = np.rint(seconds * 1e9)
    for name in ("type", "order_id", "size", "price", "direction"):
        out[name] = text[name]
    return out


def read_orderbook(path: str | os.PathLike[str], progress: Progress | None = None) -> np.ndarray:
    """An orderbook file as an int64 array of its rows and columns: per level ask price, ask
    size, bid price, bid size.

    Checked: the same number of integer fields on every line, a multiple of 4; sizes of 0 or
    more; a level with a size has a price from 1 to MAX_PRICE (an empty one, size 0, may carry
    LOBSTER's markers); the first row, a replay's starting book, is not crossed. Raises
    LobsterFormatError naming the line.
    """
    path = Path(path)
    rows = _load(path, np.dtype(np.int64), None, False, progress)
    if rows.shape[1] % 4:
        raise LobsterFormatError(path, _line_of_row(path, 0),
                                 f"{rows.shape[1]} fields: an orderbook row holds 4 per level "
                                 "(ask price, ask size, bid price, bid size)")
    sizes, prices = rows[:, 1::2], rows[:, 0::2]
    negative = (sizes < 0).any(axis=1)
    _first_bad(path, negative, lambda r: f"negative size {sizes[r][sizes[r] < 0][0]}")
    wrong = (sizes > 0) & ((prices < 1) | (prices > MAX_PRICE))
    _first_bad(path, wrong.any(axis=1), lambda r: _bad_price(rows[r], wrong[r]))
    # The first row is the book a replay starts from: it must be one.
    if len(rows) and rows[0, 1] > 0 and rows[0, 3] > 0 and rows[0, 2] >= rows[0, 0]:
        raise LobsterFormatError(path, _line_of_row(path, 0),
                                 f"the first row is a crossed book: best bid {rows[0, 2]} is "
                                 f"not below best ask {rows[0, 0]}")
    return rows


def _bad_price(row: np.ndarray, wrong: np.ndarray) -> str:
    column = 2 * int(np.flatnonzero(wrong)[0])
    level, side = column // 4 + 1, "ask" if column % 4 == 0 else "bid"
    return (f"{side} price {row[column]} at level {level} out of range (1 to {MAX_PRICE} for a "
            f"level with size {row[column + 1]})")


def check_lengths(messages: np.ndarray, orderbook: np.ndarray, message_path: Any,
                  orderbook_path: Any) -> None:
    """Both files must have a row per message."""
    if len(orderbook) < len(messages):
        raise LobsterFormatError(
            orderbook_path, len(orderbook) + 1,
            f"the file ends after {len(orderbook):,} rows, but the message file "
            f"{Path(message_path).name} has {len(messages):,}: one row per message")
    if len(orderbook) > len(messages):
        raise LobsterFormatError(
            orderbook_path, len(messages) + 1,
            f"{len(orderbook):,} rows, more than the {len(messages):,} messages of "
            f"{Path(message_path).name}: one row per message")


def seconds(ns: int) -> str:
    """Nanoseconds after midnight as LOBSTER writes them."""
    whole, fraction = divmod(int(ns), 10**9)
    return f"{whole}.{fraction:09d}"


def clock(ns: int) -> str:
    """Nanoseconds after midnight as a time of day, to the microsecond."""
    total = int(ns) // 1000
    h, rest = divmod(total, 3_600_000_000)
    m, rest = divmod(rest, 60_000_000)
    return f"{h:02d}:{m:02d}:{rest / 1e6:09.6f}"

