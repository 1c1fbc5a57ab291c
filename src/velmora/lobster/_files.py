"""Reading LOBSTER's two files into NumPy arrays, checked, with every fault reported by file
and line.

The parsing is native (velmora._lobster, through _blocks): block by block, checked as it
goes, straight into the arrays returned. Plain and gzip-compressed files are both read,
whatever their names. A missing input is FileNotFoundError (an OSError, as for any file), not
LobsterFormatError: the file is not malformed, it is not there.
"""

from __future__ import annotations

import errno
import gzip
import os
import re
import warnings
import zlib
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np

from velmora.lobster import _blocks

__all__ = ["EMPTY_ASK", "EMPTY_BID", "MESSAGE_DTYPE", "MAX_PRICE", "LobsterFormatError",
           "FileName", "parse_name", "read_messages", "read_orderbook", "check_lengths"]

# An empty level in an orderbook file: this price and a size of 0.
EMPTY_ASK, EMPTY_BID = 9_999_999_999, -9_999_999_999
# The highest real price (dollars x 10 000): anything above meets the empty-ask marker.
MAX_PRICE = EMPTY_ASK - 1

# One message: time in integer nanoseconds after midnight, then the file's columns.
MESSAGE_DTYPE = np.dtype([("time", "i8"), ("type", "i1"), ("order_id", "i8"), ("size", "i8"),
                          ("price", "i8"), ("direction", "i1")])

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


def _line_of_row(path: Path, row: int) -> int:
    """The line number of the row-th (0-based) row read."""
    for k, (number, _) in enumerate(_lines(path)):
        if k == row:
            return number
    return row + 1


def _refuse(path: Path, line: int | None, problem: str) -> LobsterFormatError:
    return LobsterFormatError(path, line, problem)


def _read(path: Path, record: np.dtype[Any] | None, progress: Progress | None) -> np.ndarray:
    if not path.exists():
        raise FileNotFoundError(errno.ENOENT, "no such file", os.fspath(path))
    if path.is_dir():
        raise IsADirectoryError(errno.EISDIR, "a directory, not a file", os.fspath(path))
    return _blocks.read(path, record, _refuse, progress)


def read_messages(path: str | os.PathLike[str], progress: Progress | None = None) -> np.ndarray:
    """A message file as an array of MESSAGE_DTYPE, time in integer nanoseconds after midnight
    (the decimal seconds taken exactly; digits past the ninth decimal round to the nearest
    nanosecond).

    Checked: six numeric fields per line; types 1 to 7; directions 1 or -1; sizes of at least
    1 for types 1 to 6 (0 or more for halts); prices from 1 to MAX_PRICE for types 1 to 6 and
    -1, 0 or 1 for halts; times from 0 to 48 hours. Raises LobsterFormatError naming the line.
    """
    return _read(Path(path), MESSAGE_DTYPE, progress)


def read_orderbook(path: str | os.PathLike[str], progress: Progress | None = None) -> np.ndarray:
    """An orderbook file as an int64 array of its rows and columns: per level ask price, ask
    size, bid price, bid size.

    Checked: the same number of integer fields on every line, a multiple of 4; sizes of 0 or
    more; a level with a size has a price from 1 to MAX_PRICE (an empty one, size 0, may carry
    LOBSTER's markers); the first row, a replay's starting book, is not crossed. Raises
    LobsterFormatError naming the line.
    """
    path = Path(path)
    rows = _read(path, None, progress)
    _check_first_rows(path, rows)
    return rows


def _check_first_rows(path: Path, rows: np.ndarray) -> None:
    """What the first rows of an orderbook file must be: whole levels, and a first row that
    is a book (a replay starts from it); a level count in the name that the rows deny
    warns."""
    if rows.shape[1] % 4:
        raise LobsterFormatError(path, _line_of_row(path, 0),
                                 f"{rows.shape[1]} fields: an orderbook row holds 4 per level "
                                 "(ask price, ask size, bid price, bid size)")
    if len(rows):
        problem = _not_a_book(rows[0])
        if problem:
            raise LobsterFormatError(path, _line_of_row(path, 0), problem)
    name = parse_name(path)
    if name is not None and name.levels != rows.shape[1] // 4:
        warnings.warn(f"{path}: the name says {name.levels} levels, the rows hold "
                      f"{rows.shape[1] // 4}; read as {rows.shape[1] // 4}", stacklevel=3)


def _exists(path: Path) -> None:
    if not path.exists():
        raise FileNotFoundError(errno.ENOENT, "no such file", os.fspath(path))
    if path.is_dir():
        raise IsADirectoryError(errno.EISDIR, "a directory, not a file", os.fspath(path))


def message_chunks(path: str | os.PathLike[str], rows: int = 1 << 16,
                   progress: Progress | None = None, lead: int = 0,
                   reuse: bool = False) -> Iterator[np.ndarray]:
    """A message file as read_messages() reads it, in chunks of `rows` messages (after
    `lead` unset rows: room for the caller's own in front); with `reuse`, one array
    refilled (a chunk is only good until the next is asked for)."""
    path = Path(path)
    _exists(path)
    return _blocks.chunks(path, MESSAGE_DTYPE, _refuse, progress, rows, lead=lead, reuse=reuse)


def orderbook_chunks(path: str | os.PathLike[str], rows: int = 1 << 16,
                     progress: Progress | None = None, lead: int = 0,
                     reuse: bool = False) -> Iterator[np.ndarray]:
    """An orderbook file as read_orderbook() reads it (with its checks), in chunks of `rows`
    rows (after `lead` unset rows; with `reuse`, one array refilled)."""
    path = Path(path)
    _exists(path)
    first = True
    for whole in _blocks.chunks(path, None, _refuse, progress, rows, lead=lead, reuse=reuse):
        if first:
            first = False
            _check_first_rows(path, whole[lead:])
        yield whole


def _not_a_book(row: np.ndarray) -> str | None:
    """Why an orderbook row cannot be a book's top levels, or None: two levels of one side at
    one price, or a bid at or above an ask at any level."""
    sides = {}
    for name, column in (("ask", 0), ("bid", 2)):
        shown = row[column + 1::4] > 0
        prices, places = row[column::4][shown], np.flatnonzero(shown) + 1
        order = np.argsort(prices, kind="stable")
        twice = np.flatnonzero(prices[order][1:] == prices[order][:-1])
        if len(twice):
            a, b = sorted((places[order][twice[0]], places[order][twice[0] + 1]))
            return (f"the first row shows two {name} levels at price {prices[order][twice[0]]} "
                    f"(levels {a} and {b}): a book has one level per price")
        sides[name] = prices, places
    (asks, ask_places), (bids, bid_places) = sides["ask"], sides["bid"]
    if len(asks) and len(bids) and bids.max() >= asks.min():
        bid, ask = int(np.argmax(bids)), int(np.argmin(asks))
        return (f"the first row is a crossed book: bid {bids[bid]} at level {bid_places[bid]} "
                f"is not below ask {asks[ask]} at level {ask_places[ask]}")
    return None


def check_lengths(messages: np.ndarray, orderbook: np.ndarray, message_path: Any,
                  orderbook_path: Any) -> None:
    """Both files must have a row per message. A message file whose name gives another
    level count than the orderbook's rows hold is warned about."""
    name = parse_name(message_path)
    if name is not None and orderbook.ndim == 2 and name.levels != orderbook.shape[1] // 4:
        warnings.warn(f"{message_path}: the name says {name.levels} levels, the orderbook "
                      f"rows of {Path(orderbook_path).name} hold {orderbook.shape[1] // 4}",
                      stacklevel=2)
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

