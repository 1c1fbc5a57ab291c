"""velmora.core's market-by-order event kinds in batch: the same rules as the per-event calls
on random flows of every kind (unknown ids and seeded volume included), the top-N snapshots
against depth(), counting or stopping at unknown ids, and hostile batches."""

import pickle
import random

import numpy as np
import pytest

from velmora import core

BID, ASK = core.BID, core.ASK
LIMIT, MARKET, CANCEL = core.LIMIT, core.MARKET, core.CANCEL
REDUCE, EXECUTE, MODIFY = core.REDUCE, core.EXECUTE, core.MODIFY


def events(*rows):
    return np.array([tuple(row) + (0,) * (6 - len(row)) for row in rows], core.EVENT_DTYPE)


def seeded_book():
    return core.Book.from_depth([(9995, 400), (9990, 150)], [(10005, 250), (10012, 600)],
                                first_id=-50, time=1, seeded_fallback=True)


def random_flow(seed, count):
    """Every kind, on issued ids, unknown ids and the seeded levels' prices; times rising. An
    execution never asks for more than the order holds (that would stop the batch)."""
    rng = random.Random(seed)
    rows, issued, scratch = [], [], seeded_book()
    for t in range(count):
        kind = rng.choice([LIMIT] * 5 + [MARKET, CANCEL, REDUCE, EXECUTE, MODIFY, MODIFY])
        order_id = rng.choice(issued) if issued and rng.random() < 0.9 else 10**6 + t
        side, price = rng.randrange(2), 10_000 + rng.randint(-12, 12)
        if kind in (LIMIT, MARKET):
            order_id = len(issued)
            issued.append(order_id)
        elif rng.random() < 0.2:  # where the seeded volume sits, for ids the book never saw
            side, price = rng.choice([(BID, 9995), (BID, 9990), (ASK, 10005), (ASK, 10012)])
        quantity = rng.randint(1, 10 if kind != MARKET else 30)
        resting = scratch.order(order_id)
        if kind == EXECUTE and resting:
            quantity = min(quantity, resting[2])
        rows.append((kind, side, order_id, price, quantity, 100 + t))
        scratch.replay(events(rows[-1]), clamp=True)
    return events(*rows)


def per_event(book, flow, depth=0):
    """What replay(flow, clamp=True, depth=depth) does, one call per event: the fill records,
    the snapshot rows (from depth()), the unknown and seeded counts."""
    fills, rows, unknown, seeded = [], [], 0, 0
    for seq, (kind, side, order_id, price, quantity, time) in enumerate(flow.tolist()):
        known, resting = order_id in book, book.order(order_id)
        where = {"side": side, "price": price}
        if kind == LIMIT:
            got = [(order_id, side, f) for f in book.add_limit(order_id, side, price, quantity,
                                                                time)]
        elif kind == MARKET:
            got = [(order_id, side, f) for f in book.add_market(order_id, side, quantity)]
        elif kind == CANCEL:
            done = book.cancel(order_id, quantity=quantity, **where)
        elif kind == REDUCE:
            done = book.reduce(order_id, quantity, clamp=True, **where) is not None
        elif kind == EXECUTE:
            fill = book.execute(order_id, quantity, **where)
            done = fill is not None
            got = [(0, 1 - (resting[0] if known else side), fill)] if done else []
        else:
            got = book.modify(order_id, price, quantity, time)
            done = got is not None
            got = [(order_id, resting[0], f) for f in got or ()]
        if kind in (CANCEL, REDUCE, EXECUTE, MODIFY) and not known:
            seeded, unknown = seeded + done, unknown + (not done)
        if kind != CANCEL and kind != REDUCE:
            fills += [(seq, aggressor, *fill, s, kind, time) for aggressor, s, fill in got]
        if depth:
            top = [book.depth(s, depth) + [(core_empty(s), 0, 0)] * depth for s in (BID, ASK)]
            rows.append((seq, *([level[k] for level in top[s][:depth]]
                                for s in (BID, ASK) for k in (0, 1))))
    return fills, rows, unknown, seeded


def core_empty(side):
    return -(2**63) if side == BID else 2**63 - 1


def snapshot_rows(array):
    return [(seq, *(list(v) for v in values)) for seq, *values in array.tolist()]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_batch_equals_the_per_event_calls(seed):
    flow = random_flow(seed, 3000)
    one_by_one, batch = seeded_book(), seeded_book()
    fills, rows, unknown, seeded = per_event(one_by_one, flow, depth=4)
    result = batch.replay(flow, depth=4, clamp=True)
    assert result.fills.tolist() == fills
    assert snapshot_rows(result.snapshots) == rows
    assert result.snapshots.dtype.names == ("seq", "bid_price", "bid_total", "ask_price",
                                            "ask_total")
    assert (result.unknown, result.seeded) == (unknown, seeded)
    # Only the rows whose levels differ from the row before (the first: from the book before).
    changed = seeded_book().replay(flow, depth=4, changed_only=True, clamp=True).snapshots
    before = [[9995, 9990] + [-(2**63)] * 2, [400, 150, 0, 0], [10005, 10012] + [2**63 - 1] * 2,
              [250, 600, 0, 0]]
    kept = [row for row, last in zip(rows, [(0, *before)] + rows) if row[1:] != last[1:]]
    assert snapshot_rows(changed) == kept and len(kept) < len(rows)
    assert unknown > 100 and seeded > 10 and {f[6] for f in fills} == {LIMIT, MARKET, EXECUTE,
                                                                       MODIFY}
    assert batch.orders() == one_by_one.orders()
    batch._check()


@pytest.mark.parametrize("rows_every", [2, 3], ids=["every-other-batch", "every-third-batch"])
def test_changed_rows_after_batches_without_rows(rows_every):
    """A batch without rows stops watching the levels; a later batch that asks for changed
    rows reports every change from the book it starts with, and no change from before."""
    flow = random_flow(4, 2400)
    reference = seeded_book()
    _, rows, _, _ = per_event(reference, flow, depth=3)
    first = [seeded_book().depth(s, 3) + [(core_empty(s), 0, 0)] * 3 for s in (BID, ASK)]
    start_row = (-1, *([level[k] for level in first[s][:3]] for s in (BID, ASK) for k in (0, 1)))
    book, reported = seeded_book(), 0
    for k, start in enumerate(range(0, len(flow), 200)):
        chunk = flow[start:start + 200]
        if k % rows_every:
            book.replay(chunk, clamp=True)
            continue
        got = snapshot_rows(book.replay(chunk, depth=3, changed_only=True, clamp=True).snapshots)
        before = ([start_row] + rows)[start]
        mine = rows[start:start + 200]
        kept = [(row[0] - start, *row[1:]) for row, last in zip(mine, [before] + mine)
                if row[1:] != last[1:]]
        assert got == kept
        reported += len(got)
    assert reported > 100
    assert book.orders() == reference.orders()


@pytest.mark.parametrize(
    "bad, options, exc, message",
    [
        pytest.param((REDUCE, 0, 1, 0, 9), {}, ValueError,
                     r"event 1: cannot reduce order 1 by 9: it has 5 open \(clamp=True",
                     id="reduce-beyond-open"),
        pytest.param((EXECUTE, 0, 1, 0, 6), {}, ValueError,
                     "event 1: cannot execute order 1 for 6: it has 5 open", id="execute-beyond"),
        pytest.param((REDUCE, 0, 1, 0, 0), {}, ValueError, "event 1: quantity must be positive",
                     id="reduce-zero"),
        pytest.param((EXECUTE, 0, 1, 0, -2**63), {}, ValueError, "event 1: quantity must be",
                     id="execute-most-negative"),
        pytest.param((MODIFY, 0, 1, 101, 0), {}, ValueError, "event 1: quantity must be positive",
                     id="modify-zero"),
        pytest.param((MODIFY, 0, 1, 100, 2**62), {}, OverflowError,
                     "event 1: the level's total", id="modify-level-overflow"),
        pytest.param((7, 0, 1, 0, 1), {}, ValueError, "event 1: kind must be 0 .LIMIT. to 6",
                     id="kind-7"),
        pytest.param((-1, 0, 1, 0, 1), {}, ValueError, "event 1: kind must be", id="kind-minus-1"),
        pytest.param((REDUCE, 0, 77, 0, 1), {"stop_on_unknown": True}, KeyError,
                     "event 1: order id 77 is not resting", id="stop-on-unknown"),
        pytest.param((CANCEL, 0, 77), {"stop_on_unknown": True}, KeyError,
                     "event 1: order id 77", id="cancel-unknown-stops"),
    ],
)
def test_a_refused_event_stops_the_batch_with_everything_so_far(bad, options, exc, message):
    book = core.Book()
    book.add_limit(8, ASK, 101, 2**62)
    book.add_limit(9, BID, 100, 2**62)
    flow = events((LIMIT, BID, 1, 100, 5, 3), bad, (LIMIT, BID, 2, 99, 1))
    with pytest.raises(exc, match=message) as info:
        book.replay(flow, depth=1, **options)
    assert info.value.applied == 1
    result = info.value.result
    assert snapshot_rows(result.snapshots) == [(0, [100], [2**62 + 5], [101], [2**62])]
    assert result.fills.tolist() == [] and info.value.fills is result.fills
    assert book.orders() == [(9, BID, 100, 2**62, False, 0, False),
                             (1, BID, 100, 5, False, 3, False), (8, ASK, 101, 2**62, False, 0,
                                                                 False)]


def test_unknown_ids_are_counted_and_sides_they_ignore_are_not_read():
    book = core.Book()
    flow = events((LIMIT, BID, 1, 100, 5), (REDUCE, 9, 1, 0, 2), (EXECUTE, -3, 1, 55, 1),
                  (MODIFY, 7, 1, 100, 1), (REDUCE, 0, 5, 0, 1), (EXECUTE, 0, 5, 0, 1),
                  (MODIFY, 0, 5, 1, 1), (CANCEL, 0, 5), (REDUCE, 0, 1, 0, 99))
    result = book.replay(flow, clamp=True)
    assert (result.unknown, result.seeded) == (4, 0)
    assert result.fills.tolist() == [(2, 0, 1, 100, 1, ASK, EXECUTE, 0)]
    assert book.orders() == []


@pytest.mark.parametrize(
    "options, exc, message",
    [
        pytest.param({"depth": -1}, ValueError, "depth must be from 0 to 1048576, got -1",
                     id="depth-negative"),
        pytest.param({"depth": 2**20 + 1}, ValueError, "depth must be from", id="depth-too-deep"),
        pytest.param({"changed_only": True}, ValueError, "needs a depth", id="changed-no-depth"),
        pytest.param({"clamp": 1}, TypeError, "clamp must be True or False", id="clamp-int"),
        pytest.param({"depth": 2**63}, OverflowError, "depth out of range", id="depth-huge"),
        pytest.param({"stop_on_unknown": None}, TypeError, "stop_on_unknown", id="stop-none"),
    ],
)
def test_bad_options_are_refused_before_any_event(options, exc, message):
    book = core.Book()
    with pytest.raises(exc, match=message):
        book.replay(events((LIMIT, BID, 1, 100, 5)), **options)
    assert len(book) == 0
