"""velmora.core per order, as a market-by-order feed drives it: the replace rule case by case,
ids that are not resting, hostile arguments to every new operation, seeding from aggregated
levels, what pickles and crosses the bridge, and no blocks left behind."""

import pickle

import numpy as np
import pytest
from test_leaks import assert_no_leak, raises

from velmora import core

BID, ASK = core.BID, core.ASK


def queue_book():
    """Bids 1 (5) then 2 (3) at 100, stamped 1 and 2; an ask 3 (4) at 102."""
    book = core.Book()
    book.add_limit(1, BID, 100, 5, 1)
    book.add_limit(2, BID, 100, 3, 2)
    book.add_limit(3, ASK, 102, 4, 3)
    return book


ASK_ROW = (3, ASK, 102, 4, False, 3, False)


@pytest.mark.parametrize(
    "args, fills, rows",
    [
        pytest.param((1, 100, 2, 9), (), [(1, BID, 100, 2, False, 1, False),
                                          (2, BID, 100, 3, False, 2, False), ASK_ROW],
                     id="lower-keeps-place-and-time"),
        pytest.param((1, 100, 5, 9), (), [(1, BID, 100, 5, False, 1, False),
                                          (2, BID, 100, 3, False, 2, False), ASK_ROW],
                     id="own-price-and-quantity-changes-nothing"),
        pytest.param((1, 100, 6, 9), (), [(2, BID, 100, 3, False, 2, False),
                                          (1, BID, 100, 6, False, 9, False), ASK_ROW],
                     id="higher-goes-to-the-back"),
        pytest.param((2, 100, 4, 9), (), [(1, BID, 100, 5, False, 1, False),
                                          (2, BID, 100, 4, False, 9, False), ASK_ROW],
                     id="higher-at-the-tail-stays"),
        pytest.param((1, 101, 5, 9), (), [(1, BID, 101, 5, False, 9, False),
                                          (2, BID, 100, 3, False, 2, False), ASK_ROW],
                     id="new-price-new-level"),
        pytest.param((1, 102, 6, 9), ((3, 102, 4),), [(1, BID, 102, 2, True, 9, False),
                                                      (2, BID, 100, 3, False, 2, False)],
                     id="crossing-trades-then-rests"),
        pytest.param((2, 103, 3, 9), ((3, 102, 3),), [(1, BID, 100, 5, False, 1, False),
                                                      (3, ASK, 102, 1, True, 3, False)],
                     id="crossing-and-filled"),
    ],
)
def test_the_replace_rule(args, fills, rows):
    book = queue_book()
    assert book.modify(*args) == fills
    assert book.orders() == rows
    book._check()


def test_reduce_and_execute_keep_the_queue_place():
    book = queue_book()
    assert book.reduce(1, 4) == 1 and book.order(1) == (BID, 100, 1, False, 1, False)
    assert book.execute(2, 2) == (2, 100, 2) and book.order(2) == (BID, 100, 1, True, 2, False)
    assert book.level(BID, 100) == (2, 2)
    # Still first in line: a sell fills 1 before 2.
    assert book.add_market(7, ASK, 2) == ((1, 100, 1), (2, 100, 1))
    book = queue_book()
    assert book.reduce(2, 3) == 0 and book.execute(1, 5) == (1, 100, 5)
    assert book.level(BID, 100) is None and book.best_bid() is None


@pytest.mark.parametrize(
    "call, result",
    [
        pytest.param(lambda b: b.reduce(9, 1), None, id="reduce"),
        pytest.param(lambda b: b.reduce(9, 1, clamp=True, side=BID, price=100), None,
                     id="reduce-with-seat-no-fallback"),
        pytest.param(lambda b: b.execute(9, 1), None, id="execute"),
        pytest.param(lambda b: b.modify(9, 100, 1), None, id="modify"),
        pytest.param(lambda b: b.order(9), None, id="order"),
        pytest.param(lambda b: b.level(ASK, 100), None, id="level-other-side"),
        pytest.param(lambda b: b.cancel(9, side=BID, price=100, quantity=1), False, id="cancel"),
        pytest.param(lambda b: b.order(-(2**63)), None, id="order-most-negative"),
    ],
)
def test_ids_that_are_not_resting_change_nothing(call, result):
    book = queue_book()
    before = book.orders()
    assert call(book) is result
    assert book.orders() == before


# Each refusal leaves the book exactly as it was.
REFUSED = [
    ("reduce", (1, 0), {}, ValueError, "quantity must be positive, got 0"),
    ("reduce", (1, -5), {}, ValueError, "quantity must be positive"),
    ("reduce", (1, 6), {}, ValueError, r"cannot reduce order 1 by 6: it has 5 open \(clamp=True"),
    ("reduce", (1, 2**63), {}, OverflowError, "quantity out of range"),
    ("reduce", (1, 1.0), {}, TypeError, "quantity must be an integer"),
    ("reduce", ("1", 1), {}, TypeError, "order_id must be an integer"),
    ("reduce", (1, 1, True), {}, TypeError, "at most 2 positional arguments"),
    ("reduce", (1, 1), {"clamp": 1}, TypeError, "clamp must be True or False, not int"),
    ("reduce", (1, 1), {"side": BID}, TypeError, "give both or neither"),
    ("reduce", (1, 1), {"side": 2, "price": 100}, ValueError, "side must be 0"),
    ("execute", (1, 6), {}, ValueError, "cannot execute order 1 for 6: it has 5 open"),
    ("execute", (1, 0), {}, ValueError, "quantity must be positive"),
    ("execute", (1, 1), {"price": 100}, TypeError, "give both or neither"),
    ("modify", (1, 100, 0), {}, ValueError, "quantity must be positive"),
    ("modify", (1, 100, 2**63 - 3), {}, OverflowError, "level's total quantity"),
    ("modify", (2, 99, 6), {}, OverflowError, "level's total quantity"),
    ("modify", (1, 100.0, 1), {}, TypeError, "price must be an integer"),
    ("modify", (1, 100, 1), {"time": "now"}, TypeError, "time must be an integer"),
    ("modify", (1, 100), {}, TypeError, "missing required argument 'quantity'"),
    ("order", (2**63,), {}, OverflowError, "order_id out of range"),
    ("level", (2, 100), {}, ValueError, "side must be 0"),
    ("level", (BID, None), {}, TypeError, "price must be an integer"),
    ("cancel", (1,), {"quantity": 1.5}, TypeError, "quantity must be an integer"),
    ("cancel", (1, BID), {}, TypeError, "at most 1 positional argument"),
    ("add_limit", (9, BID, 90, 1, 1.5), {}, TypeError, "time must be an integer"),
]


@pytest.mark.parametrize("method, args, kwargs, exc, message", REFUSED,
                         ids=[f"{r[0]}-{k}" for k, r in enumerate(REFUSED)])
def test_refusals_change_nothing(method, args, kwargs, exc, message):
    book = queue_book()
    book.add_limit(4, BID, 99, 2**63 - 5)  # a level with no room left
    before = book.orders()
    with pytest.raises(exc, match=message):
        getattr(book, method)(*args, **kwargs)
    assert book.orders() == before
    book._check()


def test_seeded_volume_queues_ahead_and_takes_unknown_ids():
    book = core.Book.from_depth([(100, 10), (99, 4)], [(101, 7)], first_id=5, time=50)
    assert book.orders() == [(5, BID, 100, 10, False, 50, True), (6, BID, 99, 4, False, 50, True),
                             (7, ASK, 101, 7, False, 50, True)]
    assert book.reduce(70, 3, side=BID, price=100) is None  # the rule is opt-in
    book.seeded_fallback = True
    assert book.reduce(70, 3, side=BID, price=100) == 7
    assert book.execute(71, 9, side=ASK, price=101) == (7, 101, 7)  # what there is
    assert book.cancel(72, side=BID, price=99, quantity=4) and 6 not in book
    assert book.cancel(73, side=BID, price=99, quantity=4) is False  # nothing seeded left
    book.add_limit(1, BID, 100, 5)
    assert book.add_market(2, ASK, 9) == ((5, 100, 7), (1, 100, 2))  # seeded volume first
    copy = pickle.loads(pickle.dumps(book))
    assert copy.orders() == book.orders() and copy.seeded_fallback
    with pytest.raises(TypeError, match="seeded_fallback must be True or False"):
        book.seeded_fallback = "yes"
    with pytest.raises(AttributeError, match="cannot delete"):
        del book.seeded_fallback


@pytest.mark.parametrize(
    "bids, asks, options, exc, message",
    [
        pytest.param([(100, 1), (100, 2)], [], {}, ValueError, r"bids\[1\]: price 100 is given",
                     id="price-twice"),
        pytest.param([(101, 1)], [(101, 1)], {}, ValueError, "crossed", id="crossed"),
        pytest.param([], [(101, 0)], {}, ValueError, r"asks\[0\]: the total must be positive",
                     id="zero-total"),
        pytest.param([(100, 1, 2)], [], {}, TypeError, r"bids\[0\] must be a \(price, total\)",
                     id="triple"),
        pytest.param([100], [], {}, TypeError, "must be a .price, total. pair", id="not-a-pair"),
        pytest.param([(1, 1), (2, 1)], [], {"first_id": 2**63 - 1}, OverflowError,
                     r"would pass 2\*\*63 - 1", id="ids-run-out"),
        pytest.param([], [], {"seeded_fallback": 1}, TypeError, "True or False", id="flag-int"),
        pytest.param(None, [], {}, TypeError, "not iterable", id="bids-none"),
    ],
)
def test_from_depth_refusals(bids, asks, options, exc, message):
    with pytest.raises(exc, match=message):
        core.Book.from_depth(bids, asks, **options)


def test_rows_and_state_keep_times_and_seeded_orders():
    rows = [(1, BID, 100, 5, True), (2, BID, 100, 3, False, 8), [3, ASK, 101, 2, 0, 9, 1]]
    book = core.Book.from_orders(rows)
    assert book.orders() == [(1, BID, 100, 5, True, 0, False), (2, BID, 100, 3, False, 8, False),
                             (3, ASK, 101, 2, False, 9, True)]
    state = book.__reduce__()[2]
    assert state == {"orders": book.orders(), "seeded_fallback": False}
    for bad, exc in [({"rows": []}, ValueError), ({"orders": [], "seeded_fallback": 0}, TypeError)]:
        with pytest.raises(exc):
            book.__setstate__(bad)
    assert book.orders() == core.Book.from_orders(rows).orders()
    # The exact book keeps neither times nor seeded flags: they are lost across the bridge.
    back = core.Book.from_orderbook(book.to_orderbook())
    assert back.orders() == [row[:5] + (0, False) for row in book.orders()]


def mbo_round(book):
    book.add_limit(10**15, BID, 10**15, 7, 10**15)
    book.reduce(10**15, 2)
    book.execute(10**15, 1)
    book.modify(10**15, 10**15 + 1, 9, 10**15)
    book.order(10**15), book.level(BID, 10**15 + 1)
    book.modify(10**15, 10**15 + 2, 5)
    book.reduce(10**15, 10**16, clamp=True)


def mbo_refusals(book):
    raises(ValueError, book.reduce, 100, 10**15)
    raises(ValueError, book.execute, 100, 10**15)
    raises(OverflowError, book.modify, 100, 1, 2**63)
    raises(TypeError, book.reduce, 100, 1, side=0)
    raises(ValueError, core.Book.from_depth, [(1, 1), (1, 1)], [])


EVENTS = np.array([(core.LIMIT, BID, 10**15, 10**15, 3, 10**15),
                   (core.MODIFY, BID, 10**15, 10**15 + 1, 4, 10**15),
                   (core.EXECUTE, 0, 10**15, 0, 1, 10**15), (core.REDUCE, 0, 10**15, 0, 9, 0),
                   (core.REDUCE, 0, 10**15 + 9, 0, 1, 0)], dtype=core.EVENT_DTYPE)


@pytest.mark.parametrize(
    "operation",
    [
        pytest.param(mbo_round, id="per-order-calls"),
        pytest.param(mbo_refusals, id="refusals"),
        pytest.param(lambda b: core.Book.from_depth([(1, 10**15)], [(2, 10**15)], time=10**15),
                     id="from-depth"),
        pytest.param(lambda b: b.replay(EVENTS, depth=3, clamp=True), id="replay-snapshots"),
        pytest.param(lambda b: b.replay(EVENTS, depth=2, changed_only=True, clamp=True),
                     id="replay-changed-only"),
        pytest.param(lambda b: raises(ValueError, b.replay, EVENTS, depth=2), id="replay-refused"),
        pytest.param(lambda b: raises(KeyError, b.replay, EVENTS, clamp=True,
                                      stop_on_unknown=True), id="replay-stopped"),
    ],
)
def test_no_blocks_left_behind(operation):
    book = core.Book()
    for k in range(20):
        book.add_limit(100 + k, BID, 1000 + k // 2, 1 + k)
    assert_no_leak(lambda: operation(book), n=300)
    book._check()
