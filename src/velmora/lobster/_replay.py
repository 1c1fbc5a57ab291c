"""LOBSTER messages as velmora.core events, one batch replay with the top levels after every
message, and the comparison of those rows with an orderbook file.

Nothing here loops over messages in Python: the conversion with the levels coming into view
(velmora._lobster.make_events) and the first pass of the comparison (compare_rows) are
native passes over the arrays, the mapping of snapshot rows back to messages and the look at
the rows that differ are array operations, and the replay is one native call (more only if
the data makes the engine refuse an event). _view is the follow rule as array operations:
a strict comparison uses it to tell which levels the data stopped describing.
"""

from __future__ import annotations

import functools
import time as _time
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from velmora import _lobster, core
from velmora.lobster._files import EMPTY_ASK, EMPTY_BID, MESSAGE_DTYPE
from velmora.lobster._sampling import Sampler, Samples, Sampling, sampling

__all__ = ["TRADE_DTYPE", "HALT_DTYPE", "Session", "Comparison", "start_book", "replay",
           "compare", "to_events", "all_events"]


# A trade: the message it comes from (0-based row), its fields, and for type 4 the quantity
# the replay took off the visible book (0 for hidden and cross trades).
TRADE_DTYPE = np.dtype([("message", "i8"), ("time", "i8"), ("type", "i1"), ("order_id", "i8"),
                        ("size", "i8"), ("price", "i8"), ("direction", "i1"),
                        ("book_size", "i8")])
# A type-7 row: the message, its time and its state (-1 halt, 0 quotes resume, 1 trading).
HALT_DTYPE = np.dtype([("message", "i8"), ("time", "i8"), ("state", "i1")])


def _side_views(rows: np.ndarray) -> dict[int, tuple[np.ndarray, np.ndarray]]:
    """{side: (prices, sizes)} of orderbook rows, (rows, levels) each."""
    return {core.ASK: (rows[:, 0::4], rows[:, 1::4]), core.BID: (rows[:, 2::4], rows[:, 3::4])}


def start_book(row: np.ndarray, time: int = 0) -> core.Book:
    """A book holding one orderbook row's levels, one seeded order each, with the rule that
    lets ids the book never saw take their quantity from the seeded order at their price."""
    sides = _side_views(np.asarray(row, np.int64).reshape(1, -1))
    levels = {side: [(int(p), int(s)) for p, s in zip(prices[0], sizes[0]) if s > 0]
              for side, (prices, sizes) in sides.items()}
    return core.Book.from_depth(levels[core.BID], levels[core.ASK], time=int(time),
                                seeded_fallback=True)


def _records(messages: np.ndarray) -> np.ndarray:
    """The messages as contiguous MESSAGE_DTYPE records, as the native code reads them; a type
    outside 1 to 7 becomes 0 and a direction other than 1 or -1 becomes 0 on the way (no
    event, and no side's own addition), so that narrowing them cannot change what they mean."""
    if messages.dtype == MESSAGE_DTYPE and messages.flags.c_contiguous:
        return messages
    out = np.zeros(len(messages), MESSAGE_DTYPE)
    for name in ("time", "order_id", "size", "price"):
        out[name] = messages[name]
    kinds, directions = messages["type"], messages["direction"]
    out["type"] = np.where((kinds >= 1) & (kinds <= 7), kinds, 0)
    out["direction"] = np.where((directions == 1) | (directions == -1), directions, 0)
    return out


def _events(messages: np.ndarray, rows: np.ndarray | None, first: int,
            id_from: int = 0) -> tuple[np.ndarray, np.ndarray, int]:
    """make_events over arrays sized for the messages and a few LEVEL runs, again at the size
    it asks for when they come short: events, owners, LEVEL count."""
    records = _records(messages)
    fields = depth = 0
    if rows is not None:
        if len(rows) != len(messages):
            raise ValueError(f"{len(rows):,} orderbook rows for {len(messages):,} messages: "
                             "one row per message")
        rows = np.ascontiguousarray(rows, np.int64)
        fields = depth = rows.shape[1]
        depth //= 4
    room = len(messages) + len(messages) // 8 + 64
    while True:
        events = np.empty(room, core.EVENT_DTYPE)
        owners = np.empty(room, np.int64)
        made, window = _lobster.make_events(records, rows, fields, depth, first, id_from,
                                            events, owners)
        if made <= room:
            return events[:made], owners[:made], window
        room = made


def to_events(messages: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The messages that change the visible book as core events (type 1 a limit order, 2 a
    reduction, 3 a cancellation, 4 an execution; side from the direction, which for 2 to 4
    is the resting order's), and the index of the message each came from."""
    events, owners, _ = _events(messages, None, 0)
    return events, owners


def _view(messages: np.ndarray, prices: np.ndarray, sizes: np.ndarray,
          side: int) -> dict[str, np.ndarray]:
    """How one side's levels come into and leave the file's view, row by row (row 0 has no
    row before it and counts as seen):
      count        the levels each row shows;
      new          places showing a price the row before did not;
      unexplained  new places that a level from beyond the file's depth can fill and that the
                   message does not account for (it is not an addition of exactly that level's
                   size at that price): orders came into view that no message describes. Only
                   the deepest places qualify, as many as the message freed (levels of the row
                   before that are gone, less the place an addition at a new price takes), and
                   only when the row before showed the side's full depth: with fewer levels
                   shown nothing lies beyond. A new level anywhere else is a disagreement;
      left         places of the row before whose level is out of view while still resting
                   (pushed past the file's depth: the row shows the full depth, all better)."""
    n, depth = prices.shape
    present = sizes > 0
    count = present.sum(axis=1)
    new = np.zeros_like(present)
    left = np.zeros_like(present)
    unexplained = np.zeros_like(present)
    # Only rows whose side shows other prices than the row before can have new or departed
    # levels (most messages change a size): the pairwise test runs on those alone.
    # (Booleans rather than the shown prices: an int64 copy costs more in fresh pages.)
    changed = prices[1:] != prices[:-1]
    changed &= present[1:] | present[:-1]
    changed |= present[1:] != present[:-1]
    moved = 1 + np.flatnonzero(changed.any(axis=1))
    del changed
    own = (messages["type"] == 1) & (messages["direction"] == (1 if side == core.BID else -1))
    places = np.arange(depth)
    step = max(1, (1 << 22) // max(depth * depth, 1))
    for a in range(0, len(moved), step):
        r = moved[a:a + step]
        match = (prices[r, :, None] == prices[r - 1, None, :]) & present[r, :, None] \
            & present[r - 1, None, :]
        new[r] = fresh = present[r] & ~match.any(axis=2)
        gone = present[r - 1] & ~match.any(axis=1)
        keys, keys_before = _keys(prices[r], sizes[r], side), _keys(prices[r - 1], sizes[r - 1], side)
        pushed = (count[r] == depth)[:, None] & (keys_before < keys[:, -1:])
        left[r] = gone & pushed
        explained = (own[r, None] & (prices[r] == messages["price"][r, None])
                     & (sizes[r] == messages["size"][r, None]))
        # An addition at a price the row before did not show takes a place of its own.
        opens = own[r] & ~((prices[r - 1] == messages["price"][r, None])
                           & present[r - 1]).any(axis=1)
        freed = np.maximum(gone.sum(axis=1) - opens, 0)
        deepest = places[None, :] >= (count[r] - freed)[:, None]
        unexplained[r] = fresh & ~explained & deepest & (count[r - 1] == depth)[:, None]
    return {"count": count, "new": new, "unexplained": unexplained, "left": left}


def all_events(messages: np.ndarray, orderbook: np.ndarray | None = None,
               follow: bool = True, id_from: int = 0) -> tuple[np.ndarray, np.ndarray, int]:
    """The events replay() feeds the core: the messages after the first (all of them without
    an orderbook) as to_events makes them, with the LEVEL runs of levels coming into view
    after their messages when `follow` (ids from -2**62 - id_from down); the message of each
    event, and the LEVEL count."""
    first = 1 if orderbook is not None and len(messages) else 0
    rows = orderbook if follow and orderbook is not None and len(messages) > 1 else None
    return _events(messages, rows, first, id_from)


@dataclass
class Session:
    """A replay of a message file: the top `levels` levels after every message (``rows()``,
    ``snapshots``), the trades, the halts, and what the data made the replay do.

    ``first`` is the first message replayed: 1 when the book was seeded from the orderbook
    file's first row (which already holds message 0), else 0.
    """

    levels: int
    messages: np.ndarray
    first: int
    follow: bool
    trades: np.ndarray
    halts: np.ndarray
    unknown: int = 0  # events on ids not resting that no seeded volume could take
    seeded: int = 0  # events on unknown ids that seeded volume took
    crossed_at: np.ndarray = field(default_factory=lambda: np.zeros(0, np.int64))
    # ^ the messages of additions that traded on arrival (LOBSTER's never do)
    window: int = 0  # LEVEL events: levels the file showed coming into view
    refused: list[tuple[int, str]] = field(default_factory=list)  # (message, why)
    seconds: dict[str, float] = field(default_factory=dict)
    book: core.Book | None = None  # the book after the last message
    samples: Samples | None = None  # the sampled rows, when asked for
    # A replay streamed piece by piece keeps no per-message arrays (``messages`` is empty)
    # but these: the messages, their types counted, the first and last time, the first
    # orderbook row, and the messages around the first mismatches ({message: Context}).
    count: int | None = None
    kinds: Any = None
    span: tuple[int, int] | None = None
    start_row: Any = None
    contexts: dict[int, Any] | None = None
    _initial: Any = None  # the starting book's top levels: bid p, bid t, ask p, ask t
    _snaps: Any = None  # the core's rows, changed only
    _row_of: Any = None  # per message: its row in _snaps, or -1 for the starting book

    def rows(self, start: int = 0, stop: int | None = None) -> np.ndarray:
        """The top levels after messages start..stop-1, in the orderbook file's layout (ask
        price, ask size, bid price, bid size per level; empty levels as LOBSTER writes them)."""
        if self._row_of is None:
            raise ValueError("this replay kept no rows after every message (it was sampled "
                             "or streamed): replay() without every, every_events and at, "
                             "or with keep_rows=True, keeps them")
        return self._rows_at(self._row_of[start:stop])

    def _rows_at(self, index: np.ndarray) -> np.ndarray:
        """The rows of snapshots `index` (-1: the starting book), in the file's layout."""
        if not len(self._snaps):  # no event changed the top levels
            index = np.full(len(index), -1)
        snaps = self._snaps[np.maximum(index, 0)] if len(self._snaps) else self._initial
        start_book = len(index) and index.min() < 0
        out = np.empty((len(index), 4 * self.levels), np.int64)
        for column, name, empty in ((0, "ask_price", EMPTY_ASK), (2, "bid_price", EMPTY_BID)):
            total = name.replace("price", "total")
            prices, totals = snaps[name], snaps[total]
            if start_book:
                prices = np.where(index[:, None] < 0, self._initial[name], prices)
                totals = np.where(index[:, None] < 0, self._initial[total], totals)
            out[:, column::4] = np.where(totals > 0, prices, empty)
            out[:, column + 1::4] = totals
        return out

    @property
    def snapshots(self) -> np.ndarray:
        """Every message's row (rows() of all of them: 8 x 4 x levels bytes per message)."""
        return self.rows()


def _empty_book() -> core.Book:
    book = core.Book()
    book.seeded_fallback = True
    return book


def _top(book: core.Book, levels: int) -> dict[str, np.ndarray]:
    out = {}
    for side, prefix, empty in ((core.BID, "bid", EMPTY_BID), (core.ASK, "ask", EMPTY_ASK)):
        depth = book.depth(side, levels)
        prices = np.full(levels, empty, np.int64)
        totals = np.zeros(levels, np.int64)
        for k, (price, total, _) in enumerate(depth):
            prices[k], totals[k] = price, total
        out[f"{prefix}_price"], out[f"{prefix}_total"] = prices, totals
    return out


def replay(messages: np.ndarray, orderbook: np.ndarray | None = None, *, follow: bool = True,
           levels: int | None = None, every: int | str | None = None,
           every_events: int | None = None, at: Any = None, measures: Any = None,
           keep_rows: bool | None = None) -> Session:
    """Replays a message file (read_messages) on velmora.core.

    With an orderbook file's rows, the book starts as the first row (seeded levels, the
    unknown-id rule on) and the replay starts at message 1; with ``follow`` (the default),
    levels the file shows coming into view from beyond its depth are taken from it as they
    appear (no message describes their orders). ``follow=False`` replays from the messages
    and the first row alone. Without an orderbook the book starts empty at message 0.
    ``levels``: how many levels each row holds (the orderbook's, by default; else 10).

    Sampled rows (``session.samples``, a Samples): one of ``every`` (nanoseconds of event
    time, or a string such as "1s" or "100ms"), ``every_events`` (every K messages that
    reach the book) or ``at`` (sorted int64 times, ns after midnight), with ``measures``
    ("mid", "spread", "microprice", "imbalance:k", "ofi", "volume", "notional", "vwap",
    "trades", "events"). With them the rows after every message are not kept (``rows()``
    refuses) unless ``keep_rows``.
    """
    options = sampling(every, every_events, at, measures)
    if keep_rows is None:
        keep_rows = options is None
    return _replay(messages, orderbook, follow, levels, options, keep_rows)


def _replay(messages: np.ndarray, orderbook: np.ndarray | None, follow: bool,
            levels: int | None, options: Sampling | None, keep_rows: bool,
            book: core.Book | None = None, sampler: Sampler | None = None,
            base: int = 0, window_from: int = 0) -> Session:
    """replay(), or with `book` a piece of a stream: messages[0] and orderbook[0] are the
    last message and row of the piece before, whose book `book` holds; `sampler` then
    carries the sampled rows across pieces (not finished here), naming messages from `base`
    (the stream's index of messages[0]); `window_from` is the LEVEL events of the pieces
    before, whose ids these follow."""
    started = _time.perf_counter()
    piece = book is not None
    if orderbook is not None:
        orderbook = np.asarray(orderbook)
        levels = levels or orderbook.shape[1] // 4
    levels = levels or 10
    n = len(messages)
    first = 1 if (orderbook is not None or piece) and n else 0
    if piece:
        pass
    elif sampler is not None and not keep_rows:
        book = sampler.book  # the sampler's book is the replay's
    elif orderbook is not None and first:
        book = start_book(orderbook[0], messages["time"][0])
    else:
        book = _empty_book()
    assert book is not None
    if piece and orderbook is None:
        events, owners, window = _events(messages, None, 1)
    else:
        events, owners, window = all_events(messages, orderbook[:, :4 * levels]
                                            if orderbook is not None else None, follow,
                                            window_from)
    converted = _time.perf_counter()
    initial = _top(book, levels)
    samples = None
    carried = sampler is not None  # a stream's: its counts are taken piece by piece
    if sampler is not None:
        sampler.feed(events, owners, keep_fills=not keep_rows, base=base)
        samples = sampler.samples
    elif options is not None:
        # On a book of its own when the rows after every message are kept as well (a
        # replay takes either a sampler or its own snapshots).
        own = (start_book(orderbook[0], messages["time"][0]) if first and keep_rows
               and orderbook is not None else book if not keep_rows else _empty_book())
        sampler = Sampler(own, options, levels, first)
        sampler.feed(events, owners, keep_fills=not keep_rows)
        samples = sampler.finish()
    if keep_rows:
        snaps, fills, unknown, seeded, refused = _run(book, events, levels)
    else:
        assert sampler is not None
        snaps = None
        fills = (np.concatenate(sampler.fills) if sampler.fills
                 else np.zeros(0, core.FILL_DTYPE))
        unknown, seeded = sampler.unknown, sampler.seeded
        refused = [(int(np.searchsorted(owners, m - base)), why) for m, why in sampler.refused]
        if carried:  # this piece's alone
            sampler.fills.clear()
            sampler.unknown = sampler.seeded = 0
            sampler.refused.clear()
    replayed = _time.perf_counter()

    # The last event of each message, and the snapshot row written at or before it.
    last = np.full(n, -1, np.int64)
    if len(owners):
        ends = np.flatnonzero(np.r_[owners[1:] != owners[:-1], True])
        last[owners[ends]] = ends
    last = np.maximum.accumulate(last) if n else last
    row_of = None
    if snaps is not None:
        row_of = np.searchsorted(np.ascontiguousarray(snaps["seq"]), last, side="right") - 1
        row_of[last < 0] = -1

    kinds = messages["type"]
    trade_at = np.flatnonzero((kinds >= 4) & (kinds <= 6))
    if piece:  # messages[0] is the piece before's
        trade_at = trade_at[trade_at >= 1]
    trades = np.zeros(len(trade_at), TRADE_DTYPE)
    trades["message"] = trade_at
    for name in ("time", "type", "order_id", "size", "price", "direction"):
        trades[name] = messages[name][trade_at]
    book_size = np.zeros(n, np.int64)
    executed = fills[fills["kind"] == core.EXECUTE]
    np.add.at(book_size, owners[executed["seq"]], executed["quantity"])
    if first and kinds[0] == 4 and not piece:
        book_size[0] = messages["size"][0]  # in the starting book already
    trades["book_size"] = book_size[trade_at]
    halt_at = np.flatnonzero(kinds == 7)
    if piece:
        halt_at = halt_at[halt_at >= 1]
    halts = np.zeros(len(halt_at), HALT_DTYPE)
    halts["message"], halts["time"] = halt_at, messages["time"][halt_at]
    halts["state"] = messages["price"][halt_at]
    session = Session(
        levels=levels, messages=messages, first=first, follow=follow and orderbook is not None,
        trades=trades, halts=halts, unknown=unknown, seeded=seeded,
        crossed_at=np.unique(owners[fills["seq"][fills["kind"] == core.LIMIT]]), window=window,
        refused=[(int(owners[k]), text) for k, text in refused], book=book,
        _initial=initial, _snaps=snaps, _row_of=row_of, samples=samples)
    session.seconds = {"convert": converted - started, "replay": replayed - converted,
                       "index": _time.perf_counter() - replayed}
    return session


def _run(book: core.Book, events: np.ndarray, levels: int) -> tuple[Any, Any, int, int, list]:
    """One batch replay with changed-only snapshots; an event the engine refuses (a duplicate
    id, an execution of more than an order holds, a level that would cross) is noted and
    skipped, and the replay goes on from the next one."""
    snaps: list[np.ndarray] = []
    fills: list[np.ndarray] = []
    refused: list[tuple[int, str]] = []
    unknown = seeded = 0
    at = applied = 0
    while True:
        result: core.Replay | None
        try:
            result = book.replay(events[at:], depth=levels, changed_only=True, clamp=True)
            done = True
        except (ValueError, OverflowError, KeyError) as exc:
            # A refusal carries the replay so far and how many events it applied.
            result = getattr(exc, "result", None)
            if result is None:
                raise
            applied = int(getattr(exc, "applied"))
            refused.append((at + applied, str(exc).split(": ", 1)[-1]))
            done = False
        part = result.snapshots
        assert part is not None  # asked for with depth=levels
        part["seq"] += at
        snaps.append(part)
        part_fills = result.fills
        part_fills["seq"] += at
        fills.append(part_fills)
        unknown += result.unknown
        seeded += result.seeded
        if done:
            break
        at += applied + 1
    return (np.concatenate(snaps) if len(snaps) > 1 else snaps[0],
            np.concatenate(fills) if len(fills) > 1 else fills[0], unknown, seeded, refused)


@dataclass
class Comparison:
    """How a replay's rows agree with an orderbook file's, from message ``first`` on.

    ``equal[k - 1]``: rows whose top k levels (both sides, prices and sizes) are equal.
    Mismatched rows are ``beyond`` when every difference lies at a level the data stopped
    describing in full (it came into view with orders no message describes, or left the view
    while resting, so its changes there went unreported), else ``inside``: the file and the
    replay disagree about levels the data described. Replays that ``follow`` the file take
    such levels from it, so every mismatch of theirs is inside. ``first_mismatch`` and ``first_inside`` are
    message indices (None when there are none)."""

    levels: int
    rows: int
    equal: np.ndarray
    beyond: int = 0
    inside: int = 0
    first_mismatch: int | None = None
    first_inside: int | None = None
    seconds: float = 0.0

    @property
    def mismatched(self) -> int:
        return self.beyond + self.inside


def _keys(prices: np.ndarray, sizes: np.ndarray, side: int) -> np.ndarray:
    """Order keys (the larger the better), the lowest possible for an empty place."""
    keys = prices if side == core.BID else -prices
    return np.where(sizes > 0, keys, np.iinfo(np.int64).min)


def _taints(messages: np.ndarray, rows: np.ndarray,
            crossed: np.ndarray) -> dict[int, tuple[np.ndarray, np.ndarray]]:
    """{side: (prices, first row)}: the prices whose level the data stopped describing in
    full, and from which row: it came into view with orders no message describes, or left the
    view while resting (its changes out of view go unreported), or an addition there traded
    in the replay (against such a level on the other side: LOBSTER's additions never trade).
    `crossed`: the messages of those additions."""
    out = {}
    for side, (prices, sizes) in _side_views(rows).items():
        view = _view(messages, prices, sizes, side)
        r1, k1 = np.nonzero(view["unexplained"])
        r2, k2 = np.nonzero(view["left"])
        r3 = crossed[messages["direction"][crossed] == (1 if side == core.BID else -1)]
        found = np.concatenate([prices[r1, k1], prices[r2 - 1, k2], messages["price"][r3]])
        at = np.concatenate([r1, r2, r3])
        unique, inverse = np.unique(found, return_inverse=True)
        first = np.full(len(unique), np.iinfo(np.int64).max)
        np.minimum.at(first, inverse, at)
        out[side] = (unique, first)
    return out


def _tainted(taints: tuple[np.ndarray, np.ndarray], prices: np.ndarray,
             rows: np.ndarray) -> np.ndarray:
    unique, first = taints
    if not len(unique):
        return np.zeros(prices.shape, bool)
    at = np.minimum(np.searchsorted(unique, prices), len(unique) - 1)
    return (unique[at] == prices) & (first[at] <= rows)


def _differences(tp: np.ndarray, ts: np.ndarray, mp: np.ndarray, ms: np.ndarray, k: int,
                 side: int) -> tuple[np.ndarray, np.ndarray]:
    """Which levels of one side disagree, by price: the file's top k levels (tp, ts) whose
    price the replay's rows (mp, ms, all its levels) hold with another size or not at all,
    and the replay's top k levels the file lacks; a level either view could not hold, being
    deeper than the other's last level when that view is full, is left out (a level added or
    missing higher up only pushes it out)."""
    lowest = np.iinfo(np.int64).min
    tk, mk = _keys(tp, ts, side), _keys(mp, ms, side)
    same = (tp[:, :, None] == mp[:, None, :]) & (ts[:, :, None] > 0) & (ms[:, None, :] > 0)
    agrees = (same & (ts[:, :, None] == ms[:, None, :])).any(axis=2)
    mine_reach = np.where((ms > 0).all(axis=1), mk[:, -1], lowest)
    theirs_off = (ts > 0) & ~agrees & (tk >= mine_reach[:, None])
    held = same[:, :, :k].any(axis=1)
    their_reach = np.where((ts > 0).all(axis=1), tk[:, -1], lowest)
    mine_off = (ms[:, :k] > 0) & ~held & (mk[:, :k] >= their_reach[:, None])
    return theirs_off, mine_off


@functools.lru_cache(maxsize=8)
def _snapshot_dtype(levels: int) -> np.dtype[Any]:
    """The snapshot records as compare_rows reads them: seq, then the four arrays of levels."""
    return np.dtype([("seq", np.int64), ("bid_price", np.int64, (levels,)),
                     ("bid_total", np.int64, (levels,)), ("ask_price", np.int64, (levels,)),
                     ("ask_total", np.int64, (levels,))])


def compare(session: Session, orderbook: np.ndarray, depth: int | None = None,
            chunk: int = 1 << 16, progress: Any = None, carry: dict[int, Any] | None = None,
            base: int = 0) -> Comparison:
    """Compares a replay's rows with an orderbook file's, up to `depth` levels (all the
    replay's by default), chunk by chunk. A stream compared piece by piece gives `carry`
    (the levels earlier pieces found undescribed, updated here) and `base` (the stream's
    index of the piece's message 0); rows are still counted from the piece's own."""
    started = _time.perf_counter()
    k = min(depth or session.levels, session.levels, orderbook.shape[1] // 4)
    n, first, full = len(session.messages), session.first, session.levels
    equal = np.zeros(k, np.int64)
    out = Comparison(levels=k, rows=max(n - first, 0), equal=equal)
    # Without `follow`, a difference at a level the data stopped describing in full (from
    # that row on) is one the replay could not avoid.
    taints = None if session.follow else _taints(session.messages, orderbook[:, :4 * full],
                                                 session.crossed_at)
    if taints is not None and carry is not None:
        for side in (core.BID, core.ASK):
            prices, rows = taints[side]
            if side in carry:
                prices = np.concatenate([carry[side][0], prices])
                rows = np.concatenate([carry[side][1], rows + base])
            else:
                rows = rows + base
            unique, inverse = np.unique(prices, return_inverse=True)
            firsts = np.full(len(unique), np.iinfo(np.int64).max)
            np.minimum.at(firsts, inverse, rows)
            taints[side] = carry[side] = (unique, firsts)
    snaps, initial = session._snaps, session._initial
    if session._row_of is None or snaps is None:
        session.rows()  # refuses, saying why
    layout = _snapshot_dtype(full)
    if snaps.dtype != layout or not snaps.flags.c_contiguous:
        snaps = np.ascontiguousarray(snaps.astype(layout))  # no core writes other records
    start = np.concatenate([initial["bid_price"], initial["bid_total"], initial["ask_price"],
                            initial["ask_total"]]).astype(np.int64)
    theirs_all = np.ascontiguousarray(orderbook[:n], np.int64)
    row_of = np.ascontiguousarray(session._row_of[:n], np.int64)
    bad_rows = np.empty(min(chunk, max(n - first, 0)), np.int64)
    for a in range(first, n, chunk):
        b = min(n, a + chunk)
        # Most rows are equal throughout: those that are not are looked at one by one.
        found = _lobster.compare_rows(snaps, full, row_of[:b], start, theirs_all[:b],
                                      theirs_all.shape[1], k, a, equal, bad_rows)
        bad = bad_rows[:found] - a
        inside = np.zeros(len(bad), bool)
        mine_full = session._rows_at(row_of[a + bad])
        theirs = theirs_all[a + bad, :4 * k]
        mine_sides, their_sides = _side_views(mine_full), _side_views(theirs)
        for side in (core.BID, core.ASK):
            if not len(bad):
                break
            mp, ms = mine_sides[side]
            tp, ts = their_sides[side]
            theirs_off, mine_off = _differences(tp, ts, mp, ms, k, side)
            if taints is not None:
                at = (base + a + bad)[:, None] if carry is not None else (a + bad)[:, None]
                theirs_off &= ~_tainted(taints[side], tp, at)
                mine_off &= ~_tainted(taints[side], mp[:, :k], at)
            inside |= theirs_off.any(axis=1) | mine_off.any(axis=1)
        out.inside += int(inside.sum())
        out.beyond += int(len(bad) - inside.sum())
        if len(bad) and out.first_mismatch is None:
            out.first_mismatch = a + int(bad[0])
        if inside.any() and out.first_inside is None:
            out.first_inside = a + int(bad[np.argmax(inside)])
        if progress is not None:
            progress(b - first, n - first)
    out.seconds = _time.perf_counter() - started
    return out
