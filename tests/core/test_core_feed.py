"""velmora.core in feed mode: limit orders and replaces rest at their price without matching,
so the book may lock or cross, and everything else (depth, best prices, executions, batch
replays, snapshots, pickles, the invariant check) stays right on a crossed book."""

import pickle
import random

import numpy as np
import pytest

from velmora import core

BID, ASK = core.BID, core.ASK


def model_depth(orders, side):
    """(price, total, count) per level of a side, best first, from {id: (side, price, qty)}."""
    levels = {}
    for s, price, qty in orders.values():
        if s == side:
            total, count = levels.get(price, (0, 0))
            levels[price] = (total + qty, count + 1)
    prices = sorted(levels, reverse=side == BID)
    return [(p, *levels[p]) for p in prices]


@pytest.mark.parametrize("seed", range(6))
def test_random_feed_flow_matches_a_model_and_never_trades(seed):
    """Adds around a narrow price range cross often; only execute() ever fills. The same flow
    as one batch leaves the same book and counts the same crossed events."""
    rng = random.Random(seed)
    book = core.Book(feed=True)
    orders = {}
    next_id = 1
    crossed_seen = 0
    events = []
    for _ in range(3000):
        op = rng.random()
        if op < 0.45 or not orders:
            side = rng.choice((BID, ASK))
            price = rng.randrange(95, 106)
            qty = rng.randrange(1, 50)
            assert book.add_limit(next_id, side, price, qty, time=next_id) == ()
            events.append((core.LIMIT, side, next_id, price, qty, next_id))
            orders[next_id] = (side, price, qty)
            next_id += 1
        else:
            oid = rng.choice(list(orders))
            side, price, qty = orders[oid]
            if op < 0.6:
                take = rng.randrange(1, qty + 1)
                assert book.execute(oid, take) == (oid, price, take)
                events.append((core.EXECUTE, 0, oid, 0, take, 0))
                qty -= take
            elif op < 0.75:
                take = rng.randrange(1, qty + 1)
                assert book.reduce(oid, take) == qty - take
                events.append((core.REDUCE, 0, oid, 0, take, 0))
                qty -= take
            elif op < 0.9:
                new_price, qty = rng.randrange(95, 106), rng.randrange(1, 50)
                assert book.modify(oid, new_price, qty) == ()
                events.append((core.MODIFY, 0, oid, new_price, qty, 0))
                price = new_price
            else:
                assert book.cancel(oid)
                events.append((core.CANCEL, 0, oid, 0, 0, 0))
                qty = 0
            if qty:
                orders[oid] = (side, price, qty)
            else:
                del orders[oid]
        bids, asks = model_depth(orders, BID), model_depth(orders, ASK)
        assert book.depth(BID, 100) == bids and book.depth(ASK, 100) == asks
        crossed = bool(bids and asks and bids[0][0] >= asks[0][0])
        assert book.crossed is crossed
        crossed_seen += crossed
    book._check()
    assert crossed_seen > 100  # the flow did exercise crossed books
    batch = core.Book(feed=True)
    result = batch.replay(np.array(events, dtype=core.EVENT_DTYPE))
    assert result.crossed == crossed_seen
    assert len(result.fills) == sum(e[0] == core.EXECUTE for e in events)
    assert batch.orders() == book.orders()
    assert len(result) == 4  # the count is by name only: four-way unpacking still works


def crossed_book():
    book = core.Book(feed=True)
    book.add_limit(1, ASK, 100, 5, time=1)
    book.add_limit(2, BID, 102, 3, time=2)
    book.add_limit(3, BID, 100, 4, time=3)
    return book


def test_crossed_book_pickles_and_checks_but_cannot_leave_feed_mode():
    book = crossed_book()
    book._check()
    with pytest.raises(ValueError, match="crossed book .best bid 102 at or above best ask 100"):
        book.to_orderbook()  # the exact book would match the crossed orders
    assert "102  3" in book.ladder() and "100  5" in book.ladder()
    back = pickle.loads(pickle.dumps(book))
    assert back.feed and back.crossed and back.orders() == book.orders()
    with pytest.raises(ValueError, match="crossed book: best bid 102 is not below best ask 100"):
        book.feed = False
    assert book.feed
    with pytest.raises(ValueError, match="crossed"):
        core.Book.from_orders(book.orders())  # a matching book refuses crossed rows
    book.cancel(2)
    book.execute(1, 5)
    assert book.to_orderbook().best_bid() == 100
    book.feed = False  # uncrossed: matching resumes
    assert book.add_limit(4, ASK, 99, 1) == ((3, 100, 1),)


@pytest.mark.parametrize("args, kwargs, message", [
    ((True,), {}, "takes no arguments but the keyword 'feed'"),
    ((), {"fed": True}, "takes no arguments but the keyword 'feed'"),
    ((), {"feed": True, "x": 1}, "takes no arguments but the keyword 'feed'"),
], ids=["positional", "misspelt", "extra"])
def test_book_arguments_are_checked(args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        core.Book(*args, **kwargs)


def test_market_order_in_feed_mode_sweeps_from_the_other_best():
    book = crossed_book()
    assert book.add_market(9, ASK, 5) == ((2, 102, 3), (3, 100, 2))


def test_batch_replay_in_feed_mode_rests_crossing_limits_and_snapshots_both_sides():
    events = np.array([(core.LIMIT, ASK, 1, 100, 5, 1), (core.LIMIT, BID, 2, 102, 3, 2),
                       (core.MODIFY, 0, 2, 103, 3, 3), (core.EXECUTE, 0, 1, 0, 5, 4)],
                      dtype=core.EVENT_DTYPE)
    book = core.Book(feed=True)
    result = book.replay(events, depth=1)
    assert result.fills.tolist() == [(3, 0, 1, 100, 5, 0, core.EXECUTE, 4)]
    snaps = result.snapshots
    assert snaps["bid_price"][:, 0].tolist()[1:] == [102, 103, 103]
    assert snaps["ask_price"][:, 0].tolist()[:3] == [100, 100, 100]
    assert snaps["ask_total"][3, 0] == 0
    assert book.orders() == [(2, BID, 103, 3, False, 3, False)]
