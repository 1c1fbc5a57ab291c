"""The batch's LEVEL events, which set a level's total as an aggregated feed shows it: the
orders they leave, runs that clear the levels between, the refusal of a crossing level, and
snapshots that follow them as depth() does."""

import random

import numpy as np
import pytest

from velmora import core

BID, ASK, LEVEL = core.BID, core.ASK, core.LEVEL


def events(*rows):
    return np.array([tuple(row) + (0,) * (6 - len(row)) for row in rows], core.EVENT_DTYPE)


def book():
    """Seeded 50 at 100 and 20 at 99 (ids -100, -99), then orders 1 (10 at 99) and 2 (7 at 98)
    on the bids; seeded 30 at 103 (id -98) on the asks."""
    b = core.Book.from_depth([(100, 50), (99, 20)], [(103, 30)], first_id=-100,
                             seeded_fallback=True)
    b.add_limit(1, BID, 99, 10, 5)
    b.add_limit(2, BID, 98, 7, 6)
    return b


def queue(b, side, price):
    """(order id, quantity, seeded) at one price, oldest first."""
    return [(o[0], o[3], o[6]) for o in b.orders() if o[1] == side and o[2] == price]


@pytest.mark.parametrize("rows, side, price, expected", [
    pytest.param([(LEVEL, BID, -7, 97, 12)], BID, 97, [(-7, 12, True)], id="new-level"),
    pytest.param([(LEVEL, BID, -7, 99, 45)], BID, 99, [(-7, 45, True)], id="replaces-more"),
    pytest.param([(LEVEL, BID, -7, 98, 3)], BID, 98, [(-7, 3, True)], id="replaces-less"),
    pytest.param([(LEVEL, BID, -7, 98, 0)], BID, 98, [], id="zero-removes"),
    pytest.param([(LEVEL, BID, -7, 98, -1)], BID, 98, [(2, 7, False)], id="negative-keeps"),
    pytest.param([(LEVEL, ASK, -7, 104, 0)], ASK, 104, [], id="zero-where-none"),
])
def test_level_sets_the_total(rows, side, price, expected):
    b = book()
    b.replay(events(*rows))
    assert queue(b, side, price) == expected
    b._check()


@pytest.mark.parametrize("rows, bids", [
    pytest.param([(LEVEL, BID, 0, 100, -1), (LEVEL, BID, 0, 97, 4)],
                 [(100, 50), (97, 4)], id="run-clears-between"),
    pytest.param([(LEVEL, BID, 0, 2**62, 0), (LEVEL, BID, 0, 98, -1)],
                 [(98, 7)], id="from-the-far-end"),
    pytest.param([(LEVEL, BID, 0, 99, -1), (LEVEL, BID, 0, -2**62, 0)],
                 [(100, 50), (99, 30)], id="to-the-far-end"),
    pytest.param([(LEVEL, BID, 0, 100, -1), (LEVEL, ASK, 0, 103, -1), (LEVEL, BID, 0, 97, 4)],
                 [(100, 50), (99, 30), (98, 7), (97, 4)], id="other-side-breaks-the-run"),
    pytest.param([(LEVEL, BID, 0, 100, -1), (core.CANCEL, 0, 77), (LEVEL, BID, 0, 97, 4)],
                 [(100, 50), (99, 30), (98, 7), (97, 4)], id="other-event-breaks-the-run"),
])
def test_a_run_states_a_stretch_of_the_side(rows, bids):
    b = book()
    b.replay(events(*rows))
    assert [(p, t) for p, t, _ in b.depth(BID, 10)] == bids
    assert b.depth(ASK, 10) == [(103, 30, 1)]  # a run on one side leaves the other alone
    b._check()


def test_ids_a_level_replaced_take_from_its_seeded_order():
    b = book()
    result = b.replay(events((LEVEL, BID, -7, 99, 60), (core.CANCEL, BID, 555, 99, 25),
                             (core.EXECUTE, BID, 556, 99, 5), (core.REDUCE, BID, 1, 99, 4)))
    assert result.seeded == 3 and result.unknown == 0
    assert queue(b, BID, 99) == [(-7, 26, True)]
    assert result.fills["resting_id"].tolist() == [-7]


@pytest.mark.parametrize("row", [(LEVEL, BID, -7, 103, 1), (LEVEL, ASK, -7, 100, 1),
                                 (LEVEL, ASK, -7, 95, 1)])
def test_a_level_that_would_cross_stops_the_batch(row):
    b = book()
    before = b.orders()
    with pytest.raises(ValueError, match="event 1: a LEVEL at price .* would cross") as info:
        b.replay(events((LEVEL, BID, -5, 98, -1), row))
    assert info.value.applied == 1 and b.orders() == before


def test_a_level_whose_id_rests_elsewhere_is_refused_before_any_change():
    b = book()
    before = b.orders()
    with pytest.raises(ValueError, match="event 1: order id -98 is already resting") as info:
        b.replay(events((LEVEL, ASK, -5, 103, -1), (LEVEL, BID, -98, 98, 4)))
    assert info.value.applied == 1 and b.orders() == before  # order 2 still at 98
    b.replay(events((LEVEL, BID, 2, 98, 9)))  # its own level: it takes the order's place
    assert queue(b, BID, 98) == [(2, 9, True)]


def test_snapshots_follow_levels_as_depth_does():
    """Random LEVEL runs among orders of every kind: the snapshots written in one batch equal
    depth() read after each event, or each whole run, replayed alone."""
    rng = random.Random(4)
    units, next_id = [], 1
    for t in range(3000):
        side = rng.randrange(2)
        price = 100 + (rng.randint(1, 15) if side == ASK else -rng.randint(1, 15))
        if rng.random() < 0.1:
            units.append([(core.MARKET, side, next_id, 0, rng.randint(1, 30), t)])
            next_id += 1
        elif rng.random() < 0.3:
            run = []
            for k in range(rng.randint(1, 4)):  # outwards from the best
                price += -rng.randint(0, 3) if side == BID else rng.randint(0, 3)
                run.append((LEVEL, side, -10**6 - t * 8 - k, price, rng.randint(-1, 40), t))
            units += [run, [(core.CANCEL, 0, 0)]]  # an unknown id: ends the run, changes nothing
        else:
            units.append([(core.LIMIT, side, next_id, price, rng.randint(1, 9), t)])
            next_id += 1
            if rng.random() < 0.5:
                units.append([(core.CANCEL, 0, rng.randrange(1, next_id), 0, 0, t)])
    alone, ends, written = core.Book(), [], []
    for unit in units:
        try:
            alone.replay(events(*unit))
        except ValueError as exc:  # a crossing level: the batch stops there too
            assert "would cross" in str(exc)
            break
        ends.append(len(unit) + (ends[-1] if ends else 0))
        written.append([[(p, t) for p, t, _ in alone.depth(s, 4)] for s in (BID, ASK)])
    flow = events(*(row for unit in units[:len(ends)] for row in unit))
    snaps = core.Book().replay(flow, depth=4).snapshots
    assert len(ends) > 1000
    for end, expected in zip(ends, written):
        row = snaps[end - 1]
        got = [[(p, t) for p, t in zip(row[f"{s}_price"], row[f"{s}_total"]) if t]
               for s in ("bid", "ask")]
        assert got == expected, end
