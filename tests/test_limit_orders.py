"""Limit order entry: crossing while the price crosses, resting the remainder, the caches,
refused prices and identifiers, and the levels the book creates."""

from decimal import Decimal as D

import pytest

import velmora.orderbook as ob
from velmora.orderbook import Order, OrderBook, OrderSide, OrderStatus, PriceLevel, TradeType

BID, ASK = OrderSide.BID, OrderSide.ASK


def rest(book, side, qty, price):
    o = Order(side, qty, D(price))
    book.add_limit_order(o)
    return o


def snapshot(book):
    def side(sd):
        return [(p, lv.total_quantity, list(lv.queue)) for p, lv in sd.items()]
    return (side(book.bids), side(book.asks), list(book.orders), book._best_bid, book._best_ask,
            len(book.trade_log))


def test_first_order_rests_in_a_new_level():
    book = OrderBook()
    buy = rest(book, BID, 10, "100")
    level = book.bids[D("100")]
    assert type(level) is PriceLevel and (level.price, level.side) == (D("100"), BID)
    assert book.orders == {buy.order_id: (level, buy)} and level.peek() is buy
    assert (book.best_bid(), book.best_ask(), buy.status) == (D("100"), None, OrderStatus.OPEN)
    assert book.trade_log == []


def test_sweep_of_two_levels_rests_the_remainder():
    book = OrderBook()
    a1, a2 = rest(book, ASK, 5, "100"), rest(book, ASK, 5, "101")
    buy = rest(book, BID, 12, "101")
    assert [(t.price, t.quantity_filled, t.filler_id, t.trade_type) for t in book.trade_log] == [
        (D("100"), 5, a1.order_id, TradeType.LIMIT), (D("101"), 5, a2.order_id, TradeType.LIMIT)]
    assert not book.asks and book.best_ask() is None
    assert (buy.status, buy.remaining_quantity, buy.original_quantity) == (
        OrderStatus.PARTIALLY_FILLED, 2, 12)
    assert book.orders[buy.order_id][0] is book.bids[D("101")] and book.best_bid() == D("101")
    assert book.bids[D("101")].total_quantity == 2


@pytest.mark.parametrize("resting, incoming, traded_at", [
    ((ASK, "100"), (BID, "100"), D("100")),
    ((BID, "100"), (ASK, "100"), D("100")),
    ((ASK, "100"), (BID, "105"), D("100")),
    ((BID, "100"), (ASK, "99"), D("100")),
    ((ASK, "100"), (BID, "99"), None),
    ((BID, "100"), (ASK, "101"), None),
], ids=["buy-at-ask", "sell-at-bid", "buy-above", "sell-below", "buy-below", "sell-above"])
def test_crossing_and_trade_price(resting, incoming, traded_at):
    book = OrderBook()
    rest(book, resting[0], 3, resting[1])
    o = rest(book, incoming[0], 3, incoming[1])
    assert [t.price for t in book.trade_log] == ([traded_at] if traded_at else [])
    assert (o.order_id in book.orders) == (traded_at is None)


def test_filled_order_does_not_rest():
    book = OrderBook()
    rest(book, ASK, 5, "100")
    buy = rest(book, BID, 5, "100")
    assert (buy.status, buy.remaining_quantity) == (OrderStatus.FILLED, 0)
    assert not book.bids and not book.orders and book.best_bid() is None


def test_same_price_joins_the_tail_and_keeps_the_cache():
    book = OrderBook()
    first, second = rest(book, BID, 2, "100"), rest(book, BID, 3, "100")
    level = book.bids[D("100")]
    assert list(level.queue.values()) == [first, second] and level.total_quantity == 5
    assert book.orders[second.order_id] == (level, second) and book.best_bid() == D("100")


@pytest.mark.parametrize("side, new_price, best", [
    (BID, "99", "100"), (BID, "101", "101"), (ASK, "101", "100"), (ASK, "99", "99"),
], ids=["bid-below", "bid-above", "ask-above", "ask-below"])
def test_new_level_moves_the_cache_only_when_better(side, new_price, best):
    book = OrderBook()
    rest(book, side, 1, "100")
    rest(book, side, 1, new_price)
    assert (book.best_bid() if side is BID else book.best_ask()) == D(best)


def test_nothing_left_on_entry_does_nothing():
    book = OrderBook()
    rest(book, ASK, 5, "100")
    o = Order(BID, 0, D("100"))
    o.status = "as it was"
    book.add_limit_order(o)
    assert book.trade_log == [] and o.status == "as it was"
    assert o.order_id not in book.orders and not book.bids


@pytest.mark.parametrize("price, message", [
    (None, "limit order price must not be None"),
    (float("nan"), "limit order price must be equal to itself (got nan)"),
    (D("NaN"), "limit order price must be equal to itself (got Decimal('NaN'))"),
], ids=["none", "float-nan", "decimal-nan"])
@pytest.mark.parametrize("opposite", ["empty", "resting"])
def test_unusable_price_is_refused_before_anything_changes(price, message, opposite):
    book = OrderBook()
    if opposite == "resting":
        rest(book, ASK, 5, "100")
    before = snapshot(book)
    buy = Order(BID, 5, price)
    with pytest.raises(ValueError) as info:
        book.add_limit_order(buy)
    assert str(info.value) == message
    assert snapshot(book) == before
    assert (buy.status, buy.remaining_quantity, buy.price) == (OrderStatus.OPEN, 5, price)


def test_resting_order_submitted_again_is_refused():
    book = OrderBook()
    buy = rest(book, BID, 5, "100")
    before = snapshot(book)
    with pytest.raises(ValueError) as info:
        book.add_limit_order(buy)
    assert str(info.value) == f"order '{buy.order_id}' is already resting in this book"
    assert snapshot(book) == before and book.bids[D("100")].total_quantity == 5


def test_filled_order_may_be_submitted_again():
    book = OrderBook()
    rest(book, ASK, 2, "100")
    buy = rest(book, BID, 2, "100")
    buy.remaining_quantity, buy.status = 1, OrderStatus.OPEN
    book.add_limit_order(buy)
    assert book.orders[buy.order_id][1] is buy


class Level(PriceLevel):
    added = []

    def add_order(self, order):
        Level.added.append(order.order_id)
        super().add_order(order)


def test_level_class_is_looked_up_and_its_add_order_honoured(monkeypatch):
    monkeypatch.setattr(ob, "PriceLevel", Level)
    Level.added = []
    book = OrderBook()
    a, b = rest(book, ASK, 1, "100"), rest(book, ASK, 2, "100")
    assert type(book.asks[D("100")]) is Level and Level.added == [a.order_id, b.order_id]
    assert book.asks[D("100")].total_quantity == 3


@pytest.mark.parametrize("made, error, message", [
    (lambda p, s: object(), TypeError,
     "Cannot convert object to velmora.orderbook.PriceLevel"),
    (lambda p, s: None, AttributeError, "'NoneType' object has no attribute 'add_order'"),
], ids=["not-a-level", "none"])
def test_level_factory_returning_something_else(monkeypatch, made, error, message):
    monkeypatch.setattr(ob, "PriceLevel", made)
    book = OrderBook()
    with pytest.raises(error) as info:
        rest(book, BID, 1, "100")
    assert str(info.value) == message
    assert not book.bids and not book.orders and book.best_bid() is None
