"""Matching, limit order entry and market order entry: fills, statuses, levels, caches and
trades; refused prices and identifiers; subclasses and rebound names honoured."""

from decimal import Decimal as D
from decimal import InvalidOperation

import pytest

import velmora.orderbook as ob
from conftest import rest, snapshot, trades
from velmora.orderbook import Order, OrderBook, OrderSide, OrderStatus, PriceLevel, TradeType

BID, ASK = OrderSide.BID, OrderSide.ASK
OPEN, PARTIAL, FILLED = OrderStatus.OPEN, OrderStatus.PARTIALLY_FILLED, OrderStatus.FILLED


def state(o):
    return o.status, o.remaining_quantity


# ---- one matching step -------------------------------------------------------------------


@pytest.mark.parametrize("side", [BID, ASK], ids=["buy-aggressor", "sell-aggressor"])
def test_level_filled_oldest_first(side):
    book, resting_side = OrderBook(), ASK if side is BID else BID
    s1, s2 = rest(book, resting_side, 4, "100"), rest(book, resting_side, 6, "100")
    behind = rest(book, resting_side, 1, "101" if side is BID else "99")
    incoming = Order(side, 10, D("100"))
    book._match(incoming)
    assert trades(book) == [(D("100"), q, side, incoming.order_id, s.order_id, TradeType.LIMIT)
                            for q, s in ((4, s1), (6, s2))]
    assert state(s1) == state(s2) == state(incoming) == (FILLED, 0)
    assert list(book.orders) == [behind.order_id] and list(book.asks or book.bids) == [behind.price]
    best, own = (book.best_ask, book.best_bid) if side is BID else (book.best_bid, book.best_ask)
    assert best() == behind.price and own() is None


@pytest.mark.parametrize("resting_qty, incoming_after, resting_after", [
    (8, (FILLED, 0), (PARTIAL, 3)), (5, (FILLED, 0), (FILLED, 0)), (2, (PARTIAL, 3), (FILLED, 0)),
], ids=["resting-larger", "equal", "resting-smaller"])
def test_single_fill_outcomes(resting_qty, incoming_after, resting_after):
    book = OrderBook()
    resting = rest(book, ASK, resting_qty, "100")
    level = book.asks[D("100")]
    incoming = Order(BID, 5, D("105"))
    book._match(incoming)
    assert [t[:2] for t in trades(book)] == [(D("100"), min(resting_qty, 5))]  # resting price
    assert state(incoming) == incoming_after and state(resting) == resting_after
    assert level.total_quantity == resting.remaining_quantity
    stays = resting.remaining_quantity > 0  # keeps its place, its index entry and the cache
    assert (level.peek() is resting) == stays and (resting.order_id in book.orders) == stays
    assert (D("100") in book.asks) == stays and book.best_ask() == (D("100") if stays else None)


def test_one_step_never_goes_past_one_level():
    book = OrderBook()
    rest(book, ASK, 4, "100"), rest(book, ASK, 4, "101")
    buy = Order(BID, 10, D("105"))
    book._match(buy)
    assert [t[:2] for t in trades(book)] == [(D("100"), 4)] and state(buy) == (PARTIAL, 6)
    assert list(book.asks) == [D("101")] and book.best_ask() == D("101")
    with pytest.raises(KeyError):  # a cache that names no level fails before any change
        OrderBook()._match(buy)


class Tracked(Order):
    """An order whose remaining quantity is a Python property that records each access."""

    @property
    def remaining_quantity(self):
        self.log.append(value := Order.remaining_quantity.__get__(self))
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


# ---- limit orders ----------------------------------------------------------------------


def test_orders_rest_at_the_tail_of_their_level():
    book = OrderBook()
    first, second = rest(book, BID, 10, "100"), rest(book, BID, 3, "100")
    level = book.bids[D("100")]
    assert type(level) is PriceLevel and (level.price, level.side) == (D("100"), BID)
    assert list(level.queue.values()) == [first, second] and level.total_quantity == 13
    assert book.orders == {first.order_id: (level, first), second.order_id: (level, second)}
    assert (book.best_bid(), book.best_ask(), first.status) == (D("100"), None, OPEN)


def test_sweep_of_two_levels_rests_the_remainder():
    book = OrderBook()
    a1, a2 = rest(book, ASK, 5, "100"), rest(book, ASK, 5, "101")
    buy = rest(book, BID, 12, "101")
    assert [(t[0], t[1], t[4]) for t in trades(book)] == [
        (D("100"), 5, a1.order_id), (D("101"), 5, a2.order_id)]
    assert not book.asks and book.best_ask() is None
    assert state(buy) == (PARTIAL, 2) and buy.original_quantity == 12
    assert book.orders[buy.order_id][0] is book.bids[D("101")] and book.best_bid() == D("101")


@pytest.mark.parametrize("resting, incoming, traded", [
    ((ASK, "100"), (BID, "100"), True), ((BID, "100"), (ASK, "100"), True),
    ((ASK, "100"), (BID, "105"), True), ((BID, "100"), (ASK, "99"), True),
    ((ASK, "100"), (BID, "99"), False), ((BID, "100"), (ASK, "101"), False),
], ids=["buy-at-ask", "sell-at-bid", "buy-above", "sell-below", "buy-below", "sell-above"])
def test_crossing(resting, incoming, traded):
    book = OrderBook()
    rest(book, resting[0], 3, resting[1])
    o = rest(book, incoming[0], 3, incoming[1])
    assert [t[0] for t in trades(book)] == ([D("100")] if traded else [])
    assert state(o) == ((FILLED, 0) if traded else (OPEN, 3))  # a filled order never rests
    assert (o.order_id in book.orders) != traded and bool(book.bids or book.asks) != traded


@pytest.mark.parametrize("side, new_price, best", [
    (BID, "99", "100"), (BID, "101", "101"), (ASK, "101", "100"), (ASK, "99", "99"),
], ids=["bid-below", "bid-above", "ask-above", "ask-below"])
def test_new_level_moves_the_cache_only_when_better(side, new_price, best):
    book = OrderBook()
    rest(book, side, 1, "100"), rest(book, side, 1, new_price)
    assert (book.best_bid() if side is BID else book.best_ask()) == D(best)


def test_nothing_left_on_entry_does_nothing():
    book = OrderBook()
    rest(book, ASK, 5, "100")
    o = Order(BID, 0, D("100"))
    o.status = "as it was"
    book.add_limit_order(o)
    assert book.trade_log == [] and o.status == "as it was" and not book.bids


@pytest.mark.parametrize("price, message, cause", [
    (None, "limit order price must not be None", None),
    (float("nan"), "limit order price must be equal to itself (got nan)", None),
    (D("NaN"), "limit order price must be equal to itself (got Decimal('NaN'))", None),
    # Comparing a signalling NaN raises; that error is kept as the cause.
    (D("sNaN"), "limit order price must be equal to itself (got Decimal('sNaN'))",
     InvalidOperation),
], ids=["none", "float-nan", "decimal-nan", "decimal-signalling-nan"])
def test_unusable_price_is_refused_before_anything_changes(price, message, cause):
    book = OrderBook()
    rest(book, ASK, 5, "100")
    before, buy = snapshot(book), Order(BID, 5, price)
    with pytest.raises(ValueError) as info:
        book.add_limit_order(buy)
    assert str(info.value) == message
    assert type(info.value.__cause__) is (cause or type(None))
    assert snapshot(book) == before and state(buy) == (OPEN, 5) and buy.price is price


@pytest.mark.parametrize("entry", ["add_limit_order", "add_market_order"])
def test_resting_order_submitted_again_is_refused(entry):
    book = OrderBook()
    buy, _ = rest(book, BID, 5, "100"), rest(book, ASK, 5, "101")
    before = snapshot(book)
    with pytest.raises(ValueError) as info:
        getattr(book, entry)(buy)
    assert str(info.value) == f"order '{buy.order_id}' is already resting in this book"
    assert snapshot(book) == before and buy.price == D("100") and book.trade_log == []


class Level(PriceLevel):
    def add_order(self, order):
        self.added = getattr(self, "added", ()) + (order.order_id,)
        super().add_order(order)


@pytest.mark.parametrize("factory, error, message", [
    (Level, None, None),
    (lambda p, s: object(), TypeError, "Cannot convert object to velmora.orderbook.PriceLevel"),
    (lambda p, s: None, AttributeError, "'NoneType' object has no attribute 'add_order'"),
], ids=["subclass", "not-a-level", "none"])
def test_levels_come_from_the_module_name(monkeypatch, factory, error, message):
    monkeypatch.setattr(ob, "PriceLevel", factory)
    book = OrderBook()
    if error:
        with pytest.raises(error) as info:
            rest(book, BID, 1, "100")
        assert str(info.value) == message and snapshot(book) == ([], [], [], None, None)
        return
    a, b = rest(book, ASK, 1, "100"), rest(book, ASK, 2, "100")  # new level, then existing
    level = book.asks[D("100")]
    assert type(level) is Level and level.added == (a.order_id, b.order_id)


# ---- market orders ------------------------------------------------------------------------


def test_market_order_sweeps_best_first_at_any_price():
    book = OrderBook()
    a1, a2 = rest(book, ASK, 3, "100"), rest(book, ASK, 4, "101")
    buy = Order(BID, 5, D("1"))  # the price the caller set is ignored
    book.add_market_order(buy)
    assert [(t[0], t[1], t[4], t[5]) for t in trades(book)] == [
        (D("100"), 3, a1.order_id, TradeType.MARKET), (D("101"), 2, a2.order_id, TradeType.MARKET)]
    assert buy.price is None and state(buy) == (FILLED, 0) and state(a2) == (PARTIAL, 2)
    assert list(book.asks) == [D("101")] and book.best_ask() == D("101")


@pytest.mark.parametrize("resting", [[], [3, 4]], ids=["empty-side", "side-runs-out"])
def test_unfilled_market_order_ends_partially_filled(resting):
    book = OrderBook()
    for i, qty in enumerate(resting):
        rest(book, BID, qty, str(100 + i))
    sell = Order(ASK, 10, D("100"))
    book.add_market_order(sell)
    assert [t[0] for t in trades(book)] == [D(str(100 + i)) for i in reversed(range(len(resting)))]
    assert state(sell) == (PARTIAL, 10 - sum(resting)) and sell.price is None
    assert not book.bids and not book.asks and not book.orders and book.best_bid() is None
    zero = Order(ASK, 0, D("5"))
    book.add_market_order(zero)
    assert zero.price is None and zero.status is OPEN
