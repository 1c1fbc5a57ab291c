"""Matching one incoming order against the best level of the other side: fills, statuses,
levels, caches and trades; orders and globals that go through the Python protocol; and
hostile code running in the middle of a fill."""

import gc
from decimal import Decimal as D

import pytest

import velmora.orderbook as ob
from velmora.orderbook import Order, OrderBook, OrderSide, OrderStatus, Trade, TradeType

BID, ASK = OrderSide.BID, OrderSide.ASK
OPPOSITE = {BID: ASK, ASK: BID}


def rest(book, side, qty, price):
    o = Order(side, qty, D(price))
    book.add_limit_order(o)
    return o


def trades(book):
    return [(t.price, t.quantity_filled, t.aggressor_side, t.aggressor_id, t.filler_id,
             t.trade_type) for t in book.trade_log]


def state(o):
    return o.status, o.remaining_quantity


@pytest.mark.parametrize("side", [BID, ASK], ids=["buy-aggressor", "sell-aggressor"])
def test_two_resting_orders_filled_oldest_first(side):
    book = OrderBook()
    s1, s2 = rest(book, OPPOSITE[side], 4, "100"), rest(book, OPPOSITE[side], 6, "100")
    behind = rest(book, OPPOSITE[side], 1, "101" if side is BID else "99")
    incoming = Order(side, 10, D("100"))
    book._match(incoming)
    assert trades(book) == [
        (D("100"), 4, side, incoming.order_id, s1.order_id, TradeType.LIMIT),
        (D("100"), 6, side, incoming.order_id, s2.order_id, TradeType.LIMIT)]
    assert state(s1) == state(s2) == state(incoming) == (OrderStatus.FILLED, 0)
    assert list(book.orders) == [behind.order_id]
    opposite = book.asks if side is BID else book.bids
    assert list(opposite) == [behind.price]
    assert (book.best_ask() if side is BID else book.best_bid()) == behind.price
    assert (book.best_bid() if side is BID else book.best_ask()) is None  # own side untouched


@pytest.mark.parametrize("resting_qty, incoming_after, resting_after, total_after", [
    (8, (OrderStatus.FILLED, 0), (OrderStatus.PARTIALLY_FILLED, 3), 3),
    (5, (OrderStatus.FILLED, 0), (OrderStatus.FILLED, 0), None),
    (2, (OrderStatus.PARTIALLY_FILLED, 3), (OrderStatus.FILLED, 0), None),
], ids=["resting-larger", "equal", "resting-smaller"])
def test_single_fill_outcomes(resting_qty, incoming_after, resting_after, total_after):
    book = OrderBook()
    resting = rest(book, ASK, resting_qty, "100")
    level = book.asks[D("100")]
    incoming = Order(BID, 5, D("100"))
    book._match(incoming)
    assert [t[1] for t in trades(book)] == [min(resting_qty, 5)]
    assert state(incoming) == incoming_after and state(resting) == resting_after
    assert level.total_quantity == (total_after or 0)
    if total_after:  # the resting order keeps its place, the level and the cache stay
        assert level.peek() is resting and book.orders[resting.order_id] == (level, resting)
        assert book.asks[D("100")] is level and book.best_ask() == D("100")
    else:
        assert not level.queue and not book.asks and not book.orders
        assert book.best_ask() is None
    assert incoming.order_id not in book.orders and not book.bids


def test_partial_level_fill_leaves_the_rest_queued():
    book = OrderBook()
    first, second = rest(book, ASK, 3, "100"), rest(book, ASK, 5, "100")
    book._match(Order(BID, 4, D("100")))
    assert [t[1] for t in trades(book)] == [3, 1]
    assert state(second) == (OrderStatus.PARTIALLY_FILLED, 4) and first.order_id not in book.orders
    assert book.asks[D("100")].total_quantity == 4


def test_one_call_never_goes_past_one_level():
    book = OrderBook()
    rest(book, ASK, 4, "100"), rest(book, ASK, 4, "101")
    buy = Order(BID, 10, D("105"))
    book._match(buy)
    assert trades(book)[0][:2] == (D("100"), 4) and len(book.trade_log) == 1
    assert state(buy) == (OrderStatus.PARTIALLY_FILLED, 6)
    assert list(book.asks) == [D("101")] and book.best_ask() == D("101")


def test_market_aggressor_is_recorded_as_market():
    book = OrderBook()
    rest(book, BID, 2, "100")
    sell = Order(ASK, 2)
    book._match(sell)
    assert trades(book)[0][0] == D("100") and trades(book)[0][5] is TradeType.MARKET


def test_match_on_an_empty_side_raises_before_any_change():
    book = OrderBook()
    buy = Order(BID, 2, D("1"))
    with pytest.raises(KeyError):
        book._match(buy)
    assert state(buy) == (OrderStatus.OPEN, 2) and book.trade_log == []


class Tracked(Order):
    """An order whose remaining quantity is a Python property that records each access."""

    @property
    def remaining_quantity(self):
        value = Order.remaining_quantity.__get__(self)
        self.log.append(value)
        return value

    @remaining_quantity.setter
    def remaining_quantity(self, value):
        self.log.append(("set", value))
        Order.remaining_quantity.__set__(self, value)


def test_order_subclass_goes_through_the_python_protocol():
    book = OrderBook()
    rest(book, ASK, 8, "100")
    buy = Tracked(BID, 5, D("100"))
    buy.log = []
    book._match(buy)
    # loop test, >= and the fill quantity, >, the level total, the resting order, = 0, loop test
    assert buy.log == [5, 5, 5, 5, 5, 5, ("set", 0), 0]
    assert book.asks[D("100")].total_quantity == 3


def test_rebound_names_are_seen_at_the_next_use(monkeypatch):
    book = OrderBook()
    resting = rest(book, ASK, 3, "100")
    buy, later = Order(BID, 5, D("100")), Order(ASK, 1, D("100"))
    made = []
    monkeypatch.setattr(ob, "Trade", lambda *values: made.append(values) or "trade")
    monkeypatch.setattr(ob, "OrderStatus", type("S", (), {"FILLED": "F", "PARTIALLY_FILLED": "P"}))
    book._match(buy)
    assert book.trade_log == ["trade"] and len(made[0]) == 6
    assert (buy.status, resting.status) == ("P", "F")
    monkeypatch.setattr(ob, "TradeType", None)
    book.add_limit_order(later)
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'LIMIT'"):
        book._match(buy)


def test_reentrant_cancel_from_trade_creation_does_not_crash(monkeypatch):
    book = OrderBook()
    resting = rest(book, ASK, 8, "100")

    def cancelling_trade(*values):
        book.cancel_order(values[4])  # removes the level the fill is working on
        return Trade(*values)

    monkeypatch.setattr(ob, "Trade", cancelling_trade)
    with pytest.raises(KeyError):
        book._match(Order(BID, 5, D("100")))
    assert resting.status is OrderStatus.PARTIALLY_FILLED and len(book.trade_log) == 1
    assert not book.asks and not book.orders and book.best_ask() is None


def test_garbage_collection_in_the_middle_of_matching(monkeypatch):
    book = OrderBook()
    for _ in range(3):
        rest(book, ASK, 2, "100")  # only the book refers to the resting orders
    for _ in range(3):
        cycle = Order(BID, 1)
        cycle.price = [cycle]  # a cycle for the collector to break

    def collecting_trade(*values):
        gc.collect()
        return Trade(*values)

    monkeypatch.setattr(ob, "Trade", collecting_trade)
    buy = Order(BID, 5, D("100"))
    book._match(buy)
    assert [t.quantity_filled for t in book.trade_log] == [2, 2, 1]
    assert book.asks[D("100")].total_quantity == 1 and state(buy) == (OrderStatus.FILLED, 0)


class Weird:
    """A quantity that subtracts to itself and refuses to become an int."""

    def __gt__(self, other):  # also `int < Weird` and `int <= Weird`, reflected
        return True

    __lt__ = __le__ = __gt__

    def __rsub__(self, other):
        return self

    def __int__(self):
        raise RuntimeError("no int")


def test_failing_quantity_conversion_mid_fill_keeps_what_was_done():
    class Odd(Order):
        remaining_quantity = property(lambda self: Weird())

    book = OrderBook()
    resting = rest(book, ASK, 8, "100")
    with pytest.raises(RuntimeError, match="no int"):
        book._match(Odd(BID, 5, D("100")))
    assert len(book.trade_log) == 1 and resting.status is OrderStatus.PARTIALLY_FILLED
    assert book.asks[D("100")].total_quantity == 8  # the failed store left the total alone
