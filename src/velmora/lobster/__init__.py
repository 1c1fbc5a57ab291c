"""LOBSTER files replayed on velmora.core: the book after every message, checked against the
published reconstruction.

LOBSTER (lobsterdata.com) sells NASDAQ order flow rebuilt from TotalView-ITCH per ticker and
day, as two CSV files without a header: a *message* file (time in seconds after midnight,
type, order id, size, price in dollars x 10 000, direction) and an *orderbook* file with the
top N levels after each message (ask price, ask size, bid price, bid size per level; an empty
level is 9999999999 or -9999999999 with size 0). Files may be gzip-compressed.

    from velmora import lobster

    session, comparison = lobster.check("AAPL_2012-06-21_34200000_57600000_message_10.csv",
                                        "AAPL_2012-06-21_34200000_57600000_orderbook_10.csv")
    session.rows(0, 5)            # the replay's rows, in the orderbook file's layout
    session.trades                # types 4 to 6, with what the replay took off the book
    comparison.equal              # rows equal at depth 1..N

The book starts as the orderbook file's first row (its levels seeded, with the rule that ids
it never saw take their quantity from the seeded order at their price) and replays the
messages after it in one native call. A level-N message file holds only the events that touch
the top N levels, so levels that come into view from deeper have orders no message describes:
by default (``follow=True``) their totals are taken from the orderbook row where they appear,
which is only where such a level can appear (at a side's deepest places, as many as the
message freed, after a row showing the side's full depth): every other difference is
compared. ``follow=False`` replays from the messages and the first row alone, and the
comparison then tells mismatches at levels the data never showed in full from the others.
The command (``python -m velmora.lobster check``) exits 1 when rows differ or the engine
refused a message, even if the rows still agree.

A missing file raises FileNotFoundError; a malformed one LobsterFormatError (a ValueError)
naming file and line.

Needs NumPy (``velmora[lobster]``, which also brings pyarrow for Parquet output). The command
``python -m velmora.lobster`` checks a pair of files or writes a replay.
"""

from __future__ import annotations

import errno
import os
import time as _time
from pathlib import Path
from typing import Any

try:
    import numpy as np
except ImportError as exc:
    raise ImportError(
        "velmora.lobster needs NumPy, which is not installed: pip install 'velmora[lobster]'"
    ) from exc

from velmora.lobster._files import (
    EMPTY_ASK,
    EMPTY_BID,
    MAX_PRICE,
    MESSAGE_DTYPE,
    FileName,
    LobsterFormatError,
    Progress,
    check_lengths,
    message_chunks,
    orderbook_chunks,
    parse_name,
    read_messages,
    read_orderbook,
)
from velmora.lobster._sampling import Samples, Sampling, parse_interval, sampling
from velmora.lobster._stream import CHUNK, Context, stream
from velmora.lobster._replay import (
    HALT_DTYPE,
    TRADE_DTYPE,
    Comparison,
    Session,
    all_events,
    compare,
    replay,
    start_book,
    to_events,
)

__all__ = ["EMPTY_ASK", "EMPTY_BID", "HALT_DTYPE", "MAX_PRICE", "MESSAGE_DTYPE", "TRADE_DTYPE",
           "Comparison", "FileName", "Samples", "Sampling", "parse_interval", "sampling", "CHUNK", "Context",
           "stream", "LobsterFormatError", "Progress", "Session", "all_events",
           "check", "check_lengths", "compare", "message_chunks", "orderbook_chunks", "load", "orderbook_for", "output_format",
           "parse_name", "read_messages", "read_orderbook", "replay", "start_book", "to_events",
           "trades_beside", "write"]


def orderbook_for(message_path: str | os.PathLike[str]) -> Path | None:
    """The orderbook file beside a message file, by LOBSTER's naming, or None."""
    name = parse_name(message_path)
    if name is None or name.kind != "message":
        return None
    candidate = Path(message_path).with_name(name.partner())
    return candidate if candidate.exists() else None


def load(message_path: str | os.PathLike[str],
         orderbook_path: str | os.PathLike[str] | None = None,
         progress: Progress | None = None) -> tuple[np.ndarray, np.ndarray | None, dict]:
    """Reads a message file and, if given, its orderbook file (checked to hold a row per
    message). Returns the messages, the orderbook rows (or None) and the seconds each took."""
    seconds = {}
    started = _time.perf_counter()
    messages = read_messages(message_path, progress)
    seconds["read messages"] = _time.perf_counter() - started
    rows = None
    if orderbook_path is not None:
        started = _time.perf_counter()
        rows = read_orderbook(orderbook_path, progress)
        seconds["read orderbook"] = _time.perf_counter() - started
        check_lengths(messages, rows, message_path, orderbook_path)
    return messages, rows, seconds


def check(message_path: str | os.PathLike[str], orderbook_path: str | os.PathLike[str], *,
          depth: int | None = None, follow: bool = True,
          progress: Progress | None = None, every: int | str | None = None,
          every_events: int | None = None, at: Any = None,
          measures: Any = None, chunk: int | None = None) -> tuple[Session, Comparison]:
    """Reads a pair of files, replays the messages and compares every row with the orderbook
    file up to `depth` levels. ``session.seconds`` holds each stage's time. The pair passes
    when ``comparison.mismatched == 0`` and ``session.refused`` is empty: rows that agree
    with a replay that skipped a message the engine refused prove nothing about it.
    The sampling options (as for replay()) put sampled rows in ``session.samples``.

    With sampling options, or a `chunk` (rows per piece), the files are streamed: read,
    replayed and compared piece by piece in bounded memory, with the same results; the
    session then keeps no per-message arrays (see stream())."""
    options = sampling(every, every_events, at, measures)  # refused before any reading
    if options is not None or chunk is not None:
        session, comparison = stream(message_path, orderbook_path, depth=depth, follow=follow,
                                     options=options, rows=chunk or CHUNK, progress=progress)
        assert comparison is not None
        return session, comparison
    messages, rows, seconds = load(message_path, orderbook_path, progress)
    assert rows is not None
    session = replay(messages, rows, follow=follow, every=options and options.every,
                     every_events=options and options.every_events,
                     at=options and options.at, measures=options and options.measures,
                     keep_rows=True)
    comparison = compare(session, rows, depth, progress=progress)
    session.seconds = {**seconds, **session.seconds, "compare": comparison.seconds}
    return session, comparison


_TRADE_FIELDS: tuple[str, ...] = TRADE_DTYPE.names or ()


def _columns(levels: int) -> list[str]:
    return [f"{name}_{k}" for k in range(1, levels + 1)
            for name in ("ask_price", "ask_size", "bid_price", "bid_size")]


def trades_beside(path: str | os.PathLike[str]) -> Path:
    """Where write() puts the trades of rows written to `path`: NAME_trades.SUFFIX."""
    path = Path(path)
    return path.with_name(f"{path.stem}_trades{path.suffix}")


def output_format(path: str | os.PathLike[str], format: str | None = None) -> str:
    """The format write() uses for `path`: `format` if given, else from the suffix (.parquet,
    .csv), else Parquet when pyarrow is installed and CSV otherwise. Refuses (ValueError) a
    format other than those, a suffix that names another format (out.xlsx) and a directory
    (IsADirectoryError), before anything is replayed or written."""
    path = Path(path)
    if path.is_dir():
        raise IsADirectoryError(errno.EISDIR, "the output is a directory: name a file in it",
                                os.fspath(path))
    if format is not None:
        if format not in ("parquet", "csv"):
            raise ValueError(f"format must be 'parquet' or 'csv', not {format!r}")
        return format
    suffix = path.suffix.lower()
    if suffix in (".parquet", ".csv"):
        return suffix[1:]
    if suffix:
        raise ValueError(f"{path}: the suffix {path.suffix!r} names no format write() makes; "
                         "name the file .parquet or .csv, or give format='parquet' or 'csv'")
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        return "csv"
    return "parquet"


def write(session: Session, path: str | os.PathLike[str], format: str | None = None,
          chunk: int = 1 << 18) -> list[Path]:
    """Writes a replay's rows to `path` and its trades beside it (`NAME_trades.SUFFIX`).

    Parquet (needs pyarrow): the rows with columns message, time, then ask_price_1,
    ask_size_1, bid_price_1, bid_size_1, ... per level; the trades with TRADE_DTYPE's fields.
    CSV: the rows exactly as an orderbook file holds them (no header), the trades with a
    header. `format` is "parquet" or "csv"; by default the suffix decides, else Parquet when
    pyarrow is installed. Rows go out chunk by chunk, so memory stays bounded."""
    path = Path(path)
    format = output_format(path, format)
    trades_path = trades_beside(path)
    n = len(session.messages)
    if format == "parquet":
        try:
            import pyarrow as pa
            import pyarrow.parquet as pq
        except ImportError as exc:
            raise ImportError("Parquet output needs pyarrow: pip install 'velmora[lobster]'"
                              ) from exc
        names = ["message", "time", *_columns(session.levels)]
        schema = pa.schema([(name, pa.int64()) for name in names])
        with pq.ParquetWriter(path, schema) as writer:
            for a in range(0, max(n, 1), chunk):
                b = min(n, a + chunk)
                rows = session.rows(a, b)
                columns = [pa.array(np.arange(a, b, dtype=np.int64)),
                           pa.array(session.messages["time"][a:b])]
                columns += [pa.array(np.ascontiguousarray(rows[:, j])) for j in range(rows.shape[1])]
                writer.write_table(pa.Table.from_arrays(columns, schema=schema))
        trades = session.trades
        pq.write_table(pa.table({name: trades[name] for name in _TRADE_FIELDS}),
                       trades_path)
    else:
        with open(path, "w") as f:
            for a in range(0, n, chunk):
                np.savetxt(f, session.rows(a, min(n, a + chunk)), fmt="%d", delimiter=",")
        with open(trades_path, "w") as f:
            f.write(",".join(_TRADE_FIELDS) + "\n")
            np.savetxt(f, np.array(session.trades.tolist(), np.int64).reshape(-1, 8), fmt="%d",
                       delimiter=",")
    return [path, trades_path]


