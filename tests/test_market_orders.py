"""Market order entry: sweeping the other side best price first, never resting, and the
status of what is left unfilled."""

from decimal import Decimal as D

import pytest

from velmora.orderbook import Order, OrderBook, OrderSide, OrderStatus, TradeType

BID, ASK = OrderSide.BID, OrderSide.ASK


def rest(book, side, qty, price):
    o = Order(side, qty, D(price))
    book.add_limit_order(o)
    return o


def test_empty_side_leaves_the_order_partially_filled():
    book = OrderBook()
    rest(book, BID, 4, "99")  # its own side does not matter
    buy = Order(BID, 10, D("100"))
    book.add_market_order(buy)
    assert (buy.price, buy.remaining_quantity, buy.status) == (
        None, 10, OrderStatus.PARTIALLY_FILLED)
    assert book.trade_log == [] and list(book.bids) == [D("99")] and buy.order_id not in book.orders


def test_sweep_fills_best_price_first_at_any_price():
    book = OrderBook()
    a1, a2 = rest(book, ASK, 3, "100"), rest(book, ASK, 4, "101")
    buy = Order(BID, 5, D("1"))  # whatever price the caller set is ignored
    book.add_market_order(buy)
    assert [(t.price, t.quantity_filled, t.filler_id, t.trade_type) for t in book.trade_log] == [
        (D("100"), 3, a1.order_id, TradeType.MARKET), (D("101"), 2, a2.order_id, TradeType.MARKET)]
    assert (buy.price, buy.status, buy.remaining_quantity) == (None, OrderStatus.FILLED, 0)
    assert list(book.asks) == [D("101")] and book.best_ask() == D("101")
    assert (a2.status, a2.remaining_quantity) == (OrderStatus.PARTIALLY_FILLED, 2)


def test_exhausting_the_side_leaves_the_rest_unfilled():
    book = OrderBook()
    rest(book, BID, 3, "100"), rest(book, BID, 4, "101")
    sell = Order(ASK, 10)
    book.add_market_order(sell)
    assert [t.price for t in book.trade_log] == [D("101"), D("100")]
    assert not book.bids and book.best_bid() is None and not book.asks and not book.orders
    assert (sell.status, sell.remaining_quantity) == (OrderStatus.PARTIALLY_FILLED, 3)


def test_nothing_left_on_entry_only_clears_the_price():
    book = OrderBook()
    rest(book, ASK, 3, "100")
    buy = Order(BID, 0, D("100"))
    book.add_market_order(buy)
    assert (buy.price, buy.status) == (None, OrderStatus.OPEN) and book.trade_log == []


def test_resting_order_submitted_as_market_is_refused():
    book = OrderBook()
    buy = rest(book, BID, 5, "100")
    rest(book, ASK, 5, "101")
    with pytest.raises(ValueError, match=f"^order '{buy.order_id}' is already resting in this book$"):
        book.add_market_order(buy)
    assert buy.price == D("100") and book.trade_log == [] and book.bids[D("100")].peek() is buy
    assert book.cancel_order(buy.order_id) is True
