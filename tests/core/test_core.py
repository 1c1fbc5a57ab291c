"""velmora.core per event: matching rules, refusals that change nothing, extreme values,
re-entrant conversions, pickling and the bridges' refusals, and the memory per order."""

import pickle
from decimal import Decimal

import pytest

from velmora import core
from velmora import orderbook as ob

BID, ASK = core.BID, core.ASK
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


def book_of(*orders):
    book = core.Book()
    for order_id, side, price, quantity in orders:
        assert book.add_limit(order_id, side, price, quantity) == ()
    return book


def test_price_time_priority_and_resting_prices():
    book = book_of((1, ASK, 101, 4), (2, ASK, 100, 3), (3, ASK, 100, 5), (4, BID, 98, 2))
    # Best price first, oldest first within it, always at the resting price.
    assert book.add_limit(5, BID, 101, 10) == ((2, 100, 3), (3, 100, 5), (1, 101, 2))
    assert book.orders() == [(4, BID, 98, 2, False, 0, False), (1, ASK, 101, 2, True, 0, False)]
    assert (book.best_bid(), book.best_ask()) == (98, 101)
    # What does not cross rests at its own price, behind the level's older orders.
    assert book.add_limit(6, BID, 98, 1) == ()
    assert book.depth(BID) == [(98, 3, 2)]
    # A market order sweeps and never rests, whatever is left.
    assert book.add_market(7, BID, 5) == ((1, 101, 2),)
    assert book.best_ask() is None and 7 not in book
    assert book.add_market(8, ASK, 1) == ((4, 98, 1),)
    assert book.orders() == [(4, BID, 98, 1, True, 0, False), (6, BID, 98, 1, False, 0, False)]
    book._check()


def test_cancel_and_depth():
    book = book_of((1, BID, 100, 5), (2, BID, 100, 6), (3, BID, 99, 7), (4, ASK, 105, 1))
    assert book.depth(BID, 1) == [(100, 11, 2)]
    assert book.depth(BID, 0) == []
    assert book.cancel(1) is True
    assert book.cancel(1) is False
    assert book.depth(BID) == [(100, 6, 1), (99, 7, 1)]
    assert book.cancel(2) and book.best_bid() == 99
    assert book.cancel(3) and book.best_bid() is None
    assert len(book) == 1 and 4 in book and 3 not in book
    book._check()


@pytest.mark.parametrize(
    "side, prices",
    [
        pytest.param(BID, [INT64_MIN, -1, 0, INT64_MAX], id="bids"),
        pytest.param(ASK, [INT64_MAX, 0, -1, INT64_MIN], id="asks"),
    ],
)
def test_prices_at_both_ends_of_the_range(side, prices):
    book = core.Book()
    for k, price in enumerate(prices):
        book.add_limit(k, side, price, 1)
    best = max(prices) if side == BID else min(prices)
    assert [p for p, _, _ in book.depth(side)] == sorted(prices, reverse=side == BID)
    assert (book.best_bid() if side == BID else book.best_ask()) == best
    # An opposite order at the far end of the range crosses everything.
    far = INT64_MIN if side == BID else INT64_MAX
    fills = book.add_limit(99, 1 - side, far, 10)
    assert [p for _, p, _ in fills] == sorted(prices, reverse=side == BID)
    assert book.orders() == [(99, 1 - side, far, 6, True, 0, False)]
    book._check()


# Refusals: each leaves the book exactly as it was.
REFUSED = [
    pytest.param("add_limit", (1, BID, 100, 5), ValueError, "already resting", id="duplicate-id"),
    pytest.param("add_market", (1, ASK, 5), ValueError, "already resting", id="duplicate-market"),
    pytest.param("add_limit", (9, BID, 100, 0), ValueError, "positive", id="zero-quantity"),
    pytest.param("add_limit", (9, ASK, 90, -5), ValueError, "positive", id="negative-quantity"),
    pytest.param("add_market", (9, ASK, 0), ValueError, "positive", id="zero-market"),
    pytest.param("add_limit", (9, 2, 100, 5), ValueError, "side must be", id="side-2"),
    pytest.param("add_limit", (9, -1, 100, 5), ValueError, "side must be", id="side-minus-1"),
    pytest.param("add_limit", (9, BID, 2**63, 5), OverflowError, "price out of range",
                 id="price-2**63"),
    pytest.param("add_limit", (9, BID, 100, 2**63), OverflowError, "quantity out of range",
                 id="quantity-2**63"),
    pytest.param("add_limit", (-(2**63) - 1, BID, 100, 5), OverflowError, "order_id",
                 id="id-below-range"),
    pytest.param("add_limit", (9, BID, 100.0, 5), TypeError, "price must be an integer",
                 id="float-price"),
    pytest.param("add_limit", (9, BID, Decimal(100), 5), TypeError, "not decimal.Decimal",
                 id="decimal-price"),
    pytest.param("add_limit", (9, BID, Decimal("1.5"), 5), TypeError,
                 "price must be an integer number of ticks, not decimal.Decimal: velmora.core "
                 r"prices are integer ticks \(price / tick_size", id="decimal-price-ticks"),
    pytest.param("add_limit", (9, BID, 1.5, 5), TypeError, "number of ticks, not float: .* "
                 "take tick_size", id="float-price-ticks"),
    pytest.param("add_limit", ("9", BID, 100, 5), TypeError, "order_id must be", id="str-id"),
    pytest.param("add_limit", (9, None, 100, 5), TypeError, "side must be", id="side-none"),
    pytest.param("add_limit", (9, BID, 100), TypeError, "missing required argument",
                 id="too-few"),
    pytest.param("add_limit", (9, BID, 100, 5, 6, 7), TypeError, "at most 5", id="too-many"),
    pytest.param("cancel", (1.5,), TypeError, "order_id must be", id="cancel-float"),
    pytest.param("depth", (BID, -1), ValueError, "levels must not be negative",
                 id="depth-negative"),
]


@pytest.mark.parametrize("method, args, exc, message", REFUSED)
def test_refusals_change_nothing(method, args, exc, message):
    book = book_of((1, BID, 100, 5), (2, ASK, 101, 3))
    before = book.orders()
    with pytest.raises(exc, match=message):
        getattr(book, method)(*args)
    assert book.orders() == before
    book._check()


def test_a_level_total_past_the_range_is_refused():
    book = book_of((1, BID, 100, 2**62), (2, BID, 100, 2**62 - 1), (3, ASK, 101, 1))
    assert book.depth(BID) == [(100, 2**63 - 1, 2)]
    before = book.orders()
    with pytest.raises(OverflowError, match="total quantity"):
        book.add_limit(4, BID, 100, 1)
    assert book.orders() == before
    # The same quantity is fine at another price, and the full level still trades.
    assert book.add_limit(4, BID, 99, 2**63 - 1) == ()
    assert book.add_limit(5, ASK, 100, 2**62 + 1) == ((1, 100, 2**62), (2, 100, 1))
    book._check()


def test_keywords_and_argument_errors():
    book = core.Book()
    assert book.add_limit(quantity=5, price=100, side=BID, order_id=1) == ()
    assert book.add_market(2, quantity=2, side=ASK) == ((1, 100, 2),)
    assert book.cancel(order_id=1) is True
    with pytest.raises(TypeError, match="unexpected keyword argument 'px'"):
        book.add_limit(1, BID, px=1, quantity=1)
    with pytest.raises(TypeError, match="multiple values for argument 'side'"):
        book.add_limit(1, BID, 1, 1, side=ASK)
    with pytest.raises(TypeError, match="takes no arguments"):
        core.Book(1)


class Reentrant:
    """An integer whose conversion changes the book it is being passed to."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value


def test_conversions_that_change_the_book_first():
    book = book_of((1, ASK, 100, 5))
    # The sell of 5 at 100 is taken away while the buy's quantity is being converted: the
    # buy then finds an empty ask side and rests.
    price = Reentrant(100, lambda: book.cancel(1))
    assert book.add_limit(2, BID, price, 5) == ()
    assert book.orders() == [(2, BID, 100, 5, False, 0, False)]
    # An id that becomes a duplicate during the conversion of the next argument is refused.
    quantity = Reentrant(3, lambda: book.add_limit(3, BID, 90, 1))
    with pytest.raises(ValueError, match="already resting"):
        book.add_limit(3, BID, 95, quantity)
    boom = Reentrant(0, lambda: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        book.add_limit(4, BID, boom, 1)
    assert book.orders() == [(2, BID, 100, 5, False, 0, False), (3, BID, 90, 1, False, 0, False)]
    book._check()


def test_pickle_round_trip_keeps_queues_and_traded_flags():
    book = book_of((1, BID, 100, 5), (2, BID, 100, 6), (3, ASK, 102, 4), (4, ASK, 103, 1))
    book.add_market(5, BID, 1)
    copy = pickle.loads(pickle.dumps(book))
    assert copy.orders() == book.orders() == [
        (1, BID, 100, 5, False, 0, False), (2, BID, 100, 6, False, 0, False),
        (3, ASK, 102, 3, True, 0, False), (4, ASK, 103, 1, False, 0, False),
    ]
    assert str(copy) == str(book)
    copy._check()
    # The copy is independent and behaves identically.
    assert copy.add_limit(6, ASK, 100, 7) == book.add_limit(6, ASK, 100, 7)
    assert copy.orders() == book.orders()


BAD_ROWS = [
    pytest.param([(1, BID, 101, 1, False), (2, ASK, 100, 1, False)], ValueError, "crossed",
                 id="crossed"),
    pytest.param([(1, BID, 101, 1, False), (2, ASK, 101, 1, False)], ValueError, "crossed",
                 id="locked"),
    pytest.param([(1, BID, 100, 1, False), (1, ASK, 105, 1, False)], ValueError,
                 "row 1: order id 1 is already resting", id="duplicate-id"),
    pytest.param([(1, BID, 100, 0, False)], ValueError, "row 0: quantity must be positive",
                 id="zero-quantity"),
    pytest.param([(1, BID, 100, 1)], ValueError, "must hold 5 to 7 items", id="short-row"),
    pytest.param([7], TypeError, "must be a tuple", id="not-a-row"),
    pytest.param([(1, 5, 100, 1, False)], ValueError, "side must be", id="bad-side"),
    pytest.param(5, TypeError, "not iterable", id="not-iterable"),
]


@pytest.mark.parametrize("rows, exc, message", BAD_ROWS)
def test_bad_rows_are_refused_and_setstate_changes_nothing(rows, exc, message):
    with pytest.raises(exc, match=message):
        core.Book.from_orders(rows)
    book = book_of((9, BID, 50, 2))
    with pytest.raises(exc, match=message):
        book.__setstate__(rows)
    assert book.orders() == [(9, BID, 50, 2, False, 0, False)]


def test_a_row_list_changed_while_its_items_are_converted():
    # Each item is held before any is converted, so emptying the list midway is harmless.
    row = [1, BID, None, 5, False]
    row[2] = Reentrant(100, row.clear)
    book = core.Book.from_orders([row])
    assert book.orders() == [(1, BID, 100, 5, False, 0, False)]


def test_bridges_round_trip_with_statuses_and_prices():
    tick = Decimal("0.05")
    book = book_of((10, BID, 2000, 5), (11, BID, 2000, 6), (12, ASK, 2003, 4))
    book.add_market(13, BID, 1)
    exact = book.to_orderbook(tick)
    assert str(exact) == book.ladder(tick) == (
        "===== ORDER BOOK =====\nASKS\n100.15  3\n---------------------\n100.00  11\n"
        "BIDS\n======================"
    )
    order = exact.orders["12"][1]
    assert (order.status, order.remaining_quantity, order.price) == (
        ob.OrderStatus.PARTIALLY_FILLED, 3, Decimal("100.15"))
    assert [o.order_id for o in exact.bids[Decimal("100")].queue.values()] == ["10", "11"]
    assert exact.trade_log == []
    back = core.Book.from_orderbook(exact, tick)
    assert back.orders() == book.orders()


@pytest.mark.parametrize(
    "setup, tick, exc, message",
    [
        pytest.param(lambda b: b.add_limit_order(ob.Order(ob.OrderSide.BID, 1, Decimal("1.003"))),
                     "0.01", ValueError, "not a whole number of ticks", id="off-grid-price"),
        pytest.param(lambda b: setattr(b.bids[Decimal(1)].peek(), "order_id", "x1")
                     if b.add_limit_order(ob.Order(ob.OrderSide.BID, 1, Decimal(1))) is None
                     else None, "0.01", ValueError, "not the decimal text", id="text-id"),
        pytest.param(lambda b: None, 0.01, TypeError, "not float", id="float-tick"),
        pytest.param(lambda b: None, "-1", ValueError, "positive", id="negative-tick"),
        pytest.param(lambda b: None, "NaN", ValueError, "finite", id="nan-tick"),
    ],
)
def test_from_orderbook_refusals(setup, tick, exc, message):
    exact = ob.OrderBook()
    setup(exact)
    with pytest.raises(exc, match=message):
        core.Book.from_orderbook(exact, tick)


def test_to_orderbook_refuses_quantities_the_exact_book_cannot_hold():
    book = book_of((1, BID, 100, 2**31 - 1), (2, ASK, 101, 2**31))
    with pytest.raises(OverflowError, match="order 2 has quantity 2147483648"):
        book.to_orderbook()
    book.cancel(2)
    assert book.to_orderbook().orders["1"][1].remaining_quantity == 2**31 - 1


def test_memory_per_resting_order_on_a_100k_order_book():
    # Ten orders per level, as in the benchmark's deep book: the native structures stay
    # within 48 bytes per resting order.
    book = core.Book()
    for k in range(100_000):
        side = k % 2
        level = k // 20
        book.add_limit(k, side, 10_000 - level if side == BID else 20_000 + level, 1 + k % 5)
    assert len(book) == 100_000
    assert book._native_bytes() / len(book) <= 48
    book._check()
