"""Cancellation by identifier: the level, the caches and the index, and a cancellation that
cannot find its level changing nothing."""

from decimal import Decimal as D

import pytest

from conftest import rest, snapshot
from velmora.orderbook import OrderBook, OrderSide, OrderStatus

BID, ASK = OrderSide.BID, OrderSide.ASK


def test_unknown_identifiers_return_false():
    book = OrderBook()
    rest(book, BID, 1, "100")
    before = snapshot(book)
    assert book.cancel_order("no such order") is False and book.cancel_order("") is False
    assert snapshot(book) == before


def test_cancelling_twice_and_after_a_fill():
    book = OrderBook()
    o = rest(book, BID, 1, "100")
    assert book.cancel_order(o.order_id) is True and o.status is OrderStatus.CANCELLED
    assert book.cancel_order(o.order_id) is False
    a = rest(book, ASK, 1, "100")
    rest(book, BID, 1, "100")
    assert a.status is OrderStatus.FILLED and book.cancel_order(a.order_id) is False


@pytest.mark.parametrize("side, best, next_best", [
    (BID, "101", "100"), (ASK, "100", "101"),
], ids=["bids", "asks"])
def test_cancelling_the_best_level_refreshes_the_cache(side, best, next_best):
    book = OrderBook()
    top, behind = rest(book, side, 1, best), rest(book, side, 1, next_best)
    cached = book.best_bid if side is BID else book.best_ask
    assert book.cancel_order(top.order_id) is True
    assert cached() == D(next_best) and list(book.bids or book.asks) == [D(next_best)]
    assert book.cancel_order(behind.order_id) is True
    assert cached() is None and not book.bids and not book.asks and not book.orders


def test_level_with_orders_left_stays():
    book = OrderBook()
    first, second = rest(book, ASK, 2, "100"), rest(book, ASK, 3, "100")
    book.cancel_order(first.order_id)
    level = book.asks[D("100")]
    assert level.total_quantity == 3 and list(level.queue) == [second.order_id]
    assert book.best_ask() == D("100") and list(book.orders) == [second.order_id]


def test_emptied_level_behind_the_best_leaves_the_cache():
    book = OrderBook()
    rest(book, BID, 1, "101")
    behind = rest(book, BID, 1, "100")
    book.cancel_order(behind.order_id)
    assert list(book.bids) == [D("101")] and book.best_bid() == D("101")


def test_partially_filled_order_loses_only_its_remainder():
    book = OrderBook()
    resting, other = rest(book, ASK, 5, "100"), rest(book, ASK, 4, "100")
    rest(book, BID, 2, "100")
    book.cancel_order(resting.order_id)
    assert (resting.status, resting.remaining_quantity, resting.original_quantity) == (
        OrderStatus.CANCELLED, 3, 5)
    assert book.asks[D("100")].total_quantity == 4 and list(book.orders) == [other.order_id]


def test_order_whose_price_changed_while_resting_changes_nothing():
    book = OrderBook()
    o = rest(book, BID, 4, "100")
    o.price = D("100.5")
    before = snapshot(book)
    with pytest.raises(KeyError):
        book.cancel_order(o.order_id)
    assert o.status is OrderStatus.OPEN and snapshot(book) == before
    o.price = D("100")
    assert book.cancel_order(o.order_id) is True and not book.bids
