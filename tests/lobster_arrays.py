"""The follow rule and the row comparison as NumPy array operations: what velmora.lobster
ran before they became native (velmora._lobster's make_events and compare_rows), kept as the
tests' oracle for them. Same inputs, same outputs: the events with their owners and LEVEL
count, and a Comparison."""

from __future__ import annotations

import time as _time
from typing import Any

import numpy as np

from velmora import core
from velmora.lobster._replay import (
    Comparison,
    Session,
    _differences,
    _side_views,
    _tainted,
    _taints,
    _view,
)

_KIND = np.array([-1, core.LIMIT, core.REDUCE, core.CANCEL, core.EXECUTE, -1, -1, -1], np.int8)
_WINDOW_IDS = -(2**62)
_FAR = 2**62


def to_events(messages: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The messages that change the visible book as core events (type 1 a limit order, 2 a
    reduction, 3 a cancellation, 4 an execution; side from the direction, which for 2 to 4
    is the resting order's), and the index of the message each came from."""
    owners = np.flatnonzero((messages["type"] >= 1) & (messages["type"] <= 4))
    m = messages[owners]
    events = np.zeros(len(m), core.EVENT_DTYPE)
    events["kind"] = _KIND[m["type"]]
    events["side"] = np.where(m["direction"] == 1, core.BID, core.ASK)
    events["order_id"] = m["order_id"]
    events["price"] = m["price"]
    events["quantity"] = m["size"]
    events["time"] = m["time"]
    return events, owners


def _window_events(messages: np.ndarray, rows: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """LEVEL events that bring the book in line with levels the file shows for the first time
    (after row 0): levels that came into view from beyond the file's depth, whose orders no
    message describes. For each row and side where such a level appears (and the addition in
    that message does not account for it), or where the side drops below the file's depth, a
    run from the last level seen before it to the end of the row: new levels become the file's
    totals (one seeded order each), the others are kept as replayed, and stale levels in
    between are removed (to the far end, when the file shows the side's last level). Returns
    the events and their messages, in message order and bids before asks."""
    n, depth = len(rows), rows.shape[1] // 4
    parts = []
    for side, (prices, sizes) in _side_views(rows).items():
        view = _view(messages, prices, sizes, side)
        count, new, unexplained = view["count"], view["new"], view["unexplained"]
        shrank = np.zeros(n, bool)
        shrank[1:] = (count[1:] < depth) & (count[:-1] == depth)
        need = unexplained.any(axis=1) | shrank
        need[0] = False
        at = np.flatnonzero(need)
        if not len(at):
            continue
        k0 = np.where(unexplained[at].any(axis=1), unexplained[at].argmax(axis=1), count[at])
        best, worst = (_FAR, -_FAR) if side == core.BID else (-_FAR, _FAR)
        grid_price = np.empty((len(at), depth + 2), np.int64)
        grid_quantity = np.full((len(at), depth + 2), -1, np.int64)
        grid_use = np.zeros((len(at), depth + 2), bool)
        before = np.clip(k0 - 1, 0, depth - 1)
        grid_price[:, 0] = np.where(k0 >= 1, prices[at, before], best)
        grid_use[:, 0] = True
        places = np.arange(depth)
        grid_price[:, 1:depth + 1] = prices[at]
        grid_quantity[:, 1:depth + 1] = np.where(new[at], sizes[at], -1)
        grid_use[:, 1:depth + 1] = (places >= k0[:, None]) & (places < count[at][:, None])
        grid_price[:, depth + 1] = worst
        grid_quantity[:, depth + 1] = 0
        grid_use[:, depth + 1] = count[at] < depth
        owner = np.broadcast_to(at[:, None], grid_use.shape)[grid_use]
        events = np.zeros(len(owner), core.EVENT_DTYPE)
        events["kind"] = core.LEVEL
        events["side"] = side
        events["price"] = grid_price[grid_use]
        events["quantity"] = grid_quantity[grid_use]
        events["time"] = messages["time"][owner]
        parts.append((events, owner, side))
    if not parts:
        return np.zeros(0, core.EVENT_DTYPE), np.zeros(0, np.int64)
    events = np.empty(sum(len(p[0]) for p in parts), core.EVENT_DTYPE)
    events[:len(parts[0][0])] = parts[0][0]
    events[len(parts[0][0]):] = parts[-1][0] if len(parts) > 1 else events[:0]
    owners = np.concatenate([p[1] for p in parts])
    order = np.argsort(owners * 2 + events["side"], kind="stable")
    events, owners = events[order], owners[order]
    events["order_id"] = _WINDOW_IDS - np.arange(len(events))
    return events, owners


def all_events(messages: np.ndarray, orderbook: np.ndarray | None = None,
               follow: bool = True) -> tuple[np.ndarray, np.ndarray, int]:
    """The events replay() feeds the core: the messages after the first (all of them without
    an orderbook) as to_events makes them, with the LEVEL runs of levels coming into view
    after their messages when `follow`; the message of each event, and the LEVEL count."""
    first = 1 if orderbook is not None and len(messages) else 0
    events, owners = to_events(messages[first:])
    owners += first
    if not (follow and orderbook is not None and len(messages) > 1):
        return events, owners, 0
    more, more_owners = _window_events(messages, orderbook)
    window = len(more)
    if window:
        # Both are in message order: each LEVEL run goes after its message's event.
        at = np.searchsorted(owners, more_owners, side="right") + np.arange(window)
        mine = np.ones(len(events) + window, bool)
        mine[at] = False
        both = np.empty(len(events) + window, core.EVENT_DTYPE)  # concatenate would
        both[mine], both[at] = events, more                       # drop the padding
        all_owners = np.empty(len(both), np.int64)
        all_owners[mine], all_owners[at] = owners, more_owners
        events, owners = both, all_owners
    return events, owners, window


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
    for a in range(first, n, chunk):
        b = min(n, a + chunk)
        mine_full = session.rows(a, b)
        mine, theirs = mine_full[:, :4 * k], orderbook[a:b, :4 * k]
        # Most rows are equal throughout: the levels of the others are looked at one by one.
        bad = np.flatnonzero((mine != theirs).any(axis=1))
        same = (mine[bad].reshape(-1, k, 4) == theirs[bad].reshape(-1, k, 4)).all(axis=2)
        equal += (b - a) - len(bad) + np.logical_and.accumulate(same, axis=1).sum(axis=0)
        inside = np.zeros(len(bad), bool)
        mine_sides, their_sides = _side_views(mine_full), _side_views(theirs)
        for side in (core.BID, core.ASK):
            if not len(bad):
                break
            mp, ms = (x[bad] for x in mine_sides[side])
            tp, ts = (x[bad] for x in their_sides[side])
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
