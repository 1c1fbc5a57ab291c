"""A LOBSTER pair replayed and compared piece by piece, in bounded memory.

Both files are read in chunks of the same number of rows; each piece (a chunk, with the
last message and row of the one before in front) is converted, replayed on the book the
pieces before left, and compared, and only what the check reports is kept: the counts, the
trades and halts, and the messages around the first mismatches. The follow rule and the
comparison look at a row and the row before it alone, so a piece and its predecessor's last
row give them all they need; what the comparison of a strict replay learns about levels the
data stopped describing is carried from piece to piece. Memory is the book, a block of each
file, one piece's arrays, and the sampled rows.
"""

from __future__ import annotations

import os
import time as _time
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

from velmora.lobster._files import (
    LobsterFormatError,
    Progress,
    message_chunks,
    orderbook_chunks,
    parse_name,
)
from velmora.lobster._replay import (
    HALT_DTYPE,
    TRADE_DTYPE,
    Comparison,
    Session,
    _replay,
    compare,
    start_book,
)
from velmora.lobster._sampling import Sampler, Sampling

__all__ = ["CHUNK", "Context", "stream"]

CHUNK = 1 << 14  # rows per piece: about 5 MB of a level-10 orderbook's rows


@dataclass
class Context:
    """What a report shows around a message: the messages from three before to one after
    (index, record), the file's row and the replay's after it."""

    messages: list[tuple[int, Any]] = field(default_factory=list)
    file_row: Any = None
    replay_row: Any = None


def _pairs(message_path: Path, orderbook_path: Path, rows: int,
           progress: Progress | None) -> Any:
    """(messages, orderbook rows) of equal length, chunk by chunk, each after one unset row;
    a pair whose files hold different numbers of rows is refused as check_lengths refuses
    it, once both are counted."""
    # One row in front of each chunk, for the last of the chunk before; each file's chunks
    # refill one array, as a piece is done with before the next is read.
    ms = message_chunks(message_path, rows, lead=1, reuse=True)
    os_ = orderbook_chunks(orderbook_path, rows, progress, lead=1, reuse=True)
    seen = 0
    while True:
        m = next(ms, None)
        o = next(os_, None)
        if m is None and o is None:
            return
        if m is not None and o is not None and len(m) == len(o):
            seen += len(m) - 1
            yield m, o
            continue
        n_m = seen + (len(m) - 1 if m is not None else 0) + sum(len(x) - 1 for x in ms)
        n_o = seen + (len(o) - 1 if o is not None else 0) + sum(len(x) - 1 for x in os_)
        if n_o < n_m:
            raise LobsterFormatError(
                orderbook_path, n_o + 1, f"the file ends after {n_o:,} rows, but the message "
                f"file {Path(message_path).name} has {n_m:,}: one row per message")
        raise LobsterFormatError(
            orderbook_path, n_m + 1, f"{n_o:,} rows, more than the {n_m:,} messages of "
            f"{Path(message_path).name}: one row per message")


def stream(message_path: str | os.PathLike[str], orderbook_path: str | os.PathLike[str], *,
           depth: int | None = None, follow: bool = True, options: Sampling | None = None,
           compare_rows: bool = True, rows: int = CHUNK,
           progress: Progress | None = None) -> tuple[Session, Comparison | None]:
    """Replays a pair piece by piece; compares every row (`compare_rows`) and samples
    (`options`) as it goes. The Session holds no per-message arrays: ``messages`` is empty,
    ``count`` the messages, ``kinds`` their types counted, ``span`` the first and last time,
    ``start_row`` the first orderbook row and ``contexts`` the messages around the first
    mismatch and the first unexplained one."""
    started = _time.perf_counter()
    message_path, orderbook_path = Path(message_path), Path(orderbook_path)
    book = sampler = None
    out: Session | None = None
    comparison: Comparison | None = None
    carry: dict[int, Any] = {}
    tail_m: np.ndarray | None = None  # the last message and row of the piece before
    tail_r: np.ndarray | None = None
    recent: list[tuple[int, Any]] = []  # the last messages seen, for contexts
    pending: list[tuple[int, Context]] = []  # contexts that wait for the message after
    trades: list[np.ndarray] = []
    halts: list[np.ndarray] = []
    crossed: list[np.ndarray] = []
    count = 0
    kinds = np.zeros(8, np.int64)
    span = (0, 0)
    contexts: dict[int, Context] = {}
    base = 0  # the stream's index of the piece's message 0
    seconds = {"replay": 0.0, "compare": 0.0}
    for ext_m, ext_r in _pairs(message_path, orderbook_path, rows, progress):
        m, r = ext_m[1:], ext_r[1:]
        if out is None:
            levels = r.shape[1] // 4
            name = parse_name(message_path)
            if name is not None and name.levels != levels:
                warnings.warn(f"{message_path}: the name says {name.levels} levels, the "
                              f"orderbook rows of {orderbook_path.name} hold {levels}",
                              stacklevel=2)
            if options is not None:
                options.check(levels)
                # Its own book when the rows are compared (a replay takes either a
                # sampler or its own snapshots); else the replay's.
                sampler = Sampler(start_book(r[0], m["time"][0]), options, levels, 1)
            out = Session(levels=levels, messages=m[:0].copy(), first=1, follow=follow,
                          trades=np.zeros(0, TRADE_DTYPE), halts=np.zeros(0, HALT_DTYPE),
                          start_row=r[0].copy())
            span = (int(m["time"][0]), 0)
            ext_m, ext_r = m, r
        else:
            assert tail_m is not None and tail_r is not None
            ext_m[0], ext_r[0] = tail_m[0], tail_r[0]
        t0 = _time.perf_counter()
        piece = _replay(ext_m, ext_r, follow, None, None, keep_rows=compare_rows, book=book,
                        sampler=sampler, base=base, window_from=out.window)
        book = piece.book
        t1 = _time.perf_counter()
        seconds["replay"] += t1 - t0
        assert out is not None
        count += len(m)
        kinds += np.bincount(m["type"], minlength=8)[:8]
        span = (span[0], int(m["time"][-1]))
        out.unknown += piece.unknown
        out.seeded += piece.seeded
        out.window += piece.window
        for k, why in piece.refused:
            out.refused.append((base + k, why))
            if len(out.refused) <= 3:  # the report shows the first three
                contexts[base + k] = Context(messages=[(base + k, ext_m[k].copy())])
        for part, source in ((trades, piece.trades), (halts, piece.halts)):
            source = source.copy()
            source["message"] += base
            part.append(source)
        crossed.append(piece.crossed_at + base)
        for j, context in pending:  # the message after a context's
            context.messages.append((j, ext_m[1].copy()))
        pending = []
        if compare_rows:
            c = compare(piece, ext_r, depth, carry=None if follow else carry, base=base)
            if comparison is None:
                comparison = Comparison(levels=c.levels, rows=0,
                                        equal=np.zeros(c.levels, np.int64))
            comparison.rows += c.rows
            comparison.equal += c.equal
            comparison.beyond += c.beyond
            comparison.inside += c.inside
            for label, local in (("first_mismatch", c.first_mismatch),
                                 ("first_inside", c.first_inside)):
                if local is None or getattr(comparison, label) is not None:
                    continue
                at = base + local
                setattr(comparison, label, at)
                if at in contexts and contexts[at].file_row is not None:
                    continue
                context = Context(file_row=ext_r[local].copy(),
                                  replay_row=piece.rows(local, local + 1)[0])
                earlier = [(j, x) for j, x in recent if j < base]
                mine = [(base + j, ext_m[j]) for j in range(max(0, local - 3),
                                                            min(len(ext_m), local + 2))]
                for j, x in earlier + mine:
                    if max(1, at - 3) <= j <= at + 1:
                        context.messages.append((j, x.copy()))
                if local + 1 >= len(ext_m):
                    pending.append((at + 1, context))
                contexts[at] = context
        seconds["compare"] += _time.perf_counter() - t1
        # The last four messages so far (a piece may hold fewer).
        recent = [(j, x) for j, x in recent if j < base] + [
            (base + j, ext_m[j].copy()) for j in range(max(0, len(ext_m) - 4), len(ext_m))]
        recent = recent[-4:]
        tail_m, tail_r = m[-1:].copy(), r[-1:].copy()
        base += len(ext_m) - 1
        del piece, ext_m, ext_r, m, r
    assert out is not None
    if sampler is not None:
        out.samples = sampler.finish()
    out.book = book
    out.count, out.kinds, out.span, out.contexts = count, kinds, span, contexts
    out.trades = np.concatenate(trades) if trades else np.zeros(0, TRADE_DTYPE)
    out.halts = np.concatenate(halts) if halts else np.zeros(0, HALT_DTYPE)
    out.crossed_at = np.unique(np.concatenate(crossed)) if crossed else out.crossed_at
    if comparison is not None:
        comparison.seconds = seconds["compare"]
    # Reading is what the pieces' replay and comparison leave of the whole.
    total = _time.perf_counter() - started
    out.seconds = {"read": total - seconds["replay"] - seconds["compare"],
                   "replay": seconds["replay"], "compare": seconds["compare"]}
    return out, comparison
