"""velmora.core per order, as a market-by-order feed drives it (the rules themselves are
checked against a reference in test_core_model.py): hostile arguments to every new operation,
seeding from aggregated levels and its opt-in rule, what pickles and crosses the bridge, and
no blocks left behind."""

import pickle

import numpy as np
import pytest
from conftest import assert_no_leak, raises

from velmora import core

BID, ASK = core.BID, core.ASK


def queue_book():
    """Bids 1 (5) then 2 (3) at 100, stamped 1 and 2; an ask 3 (4) at 102."""
    book = core.Book()
    book.add_limit(1, BID, 100, 5, 1)
    book.add_limit(2, BID, 100, 3, 2)
    book.add_limit(3, ASK, 102, 4, 3)
    return book


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


def test_seeded_volume_is_opt_in_and_pickles():
    book = core.Book.from_depth([(100, 10), (99, 4)], [(101, 7)], first_id=5, time=50)
    assert book.orders() == [(5, BID, 100, 10, False, 50, True), (6, BID, 99, 4, False, 50, True),
                             (7, ASK, 101, 7, False, 50, True)]
    assert book.reduce(70, 3, side=BID, price=100) is None and book.order(70) is None
    book.seeded_fallback = True
    assert book.reduce(70, 3, side=BID, price=100) == 7 and book.level(BID, 100) == (7, 1)
    assert book.execute(71, 9, side=ASK, price=101) == (7, 101, 7)  # what there is
    assert book.level(ASK, 101) is None
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
