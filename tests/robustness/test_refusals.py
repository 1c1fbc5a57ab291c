"""The refusals that keep a book consistent when orders and prices change under the engine:
an order resubmitted from inside its own submission or renamed midway, a level re-entered
while it queues an order, a resting order moved or renamed before it is cancelled or
filled, a price that turns None before the order rests, and a price that cannot be ordered.
After each, the book's invariants hold."""

from collections import OrderedDict
from decimal import Decimal as D

import pytest

import velmora.orderbook as ob
from conftest import rest, snapshot
from model import _check
from velmora.orderbook import Order, OrderBook, OrderSide, OrderStatus, PriceLevel

BID, ASK = OrderSide.BID, OrderSide.ASK
OPEN, PARTIAL, FILLED = OrderStatus.OPEN, OrderStatus.PARTIALLY_FILLED, OrderStatus.FILLED


class OnCompare(D):
    """A Decimal price that runs `hook` once, at its first crossing comparison."""

    hook = None

    def _fire(self):
        hook, self.hook = self.hook, None
        if hook:
            hook()

    def __ge__(self, other):
        self._fire()
        return D.__ge__(self, other)

    def __le__(self, other):
        if other is not self:  # the entry check compares the price with itself
            self._fire()
        return D.__le__(self, other)

    __hash__ = D.__hash__


def hooked(value, hook):
    price = OnCompare(value)
    price.hook = hook
    return price


# ---- an order resubmitted or renamed while it is being submitted --------------------------


@pytest.mark.parametrize("inner", ["add_limit_order", "add_market_order"])
def test_resubmission_from_inside_its_own_submission_is_refused(inner):
    book = OrderBook()
    ask = rest(book, ASK, 2, "100")
    errors = []

    def resubmit():
        try:
            getattr(book, inner)(buy)
        except ValueError as exc:
            errors.append(str(exc))

    buy = Order(BID, 5, hooked("100", resubmit))
    book.add_limit_order(buy)
    assert errors == [f"order '{buy.order_id}' is already being submitted"]
    assert [t.filler_id for t in book.trade_log] == [ask.order_id]
    assert list(book.bids[D("100")].queue) == [buy.order_id]
    assert book.bids[D("100")].total_quantity == 3 and (buy.status, buy.remaining_quantity) == (
        PARTIAL, 3)
    _check(book)


def test_an_identifier_that_reads_differently_at_rest_replaces_nothing():
    book = OrderBook()
    other = rest(book, BID, 5, "100")

    class Shifty(Order):
        reads = 0

        @property
        def order_id(self):
            Shifty.reads += 1
            return "fresh" if Shifty.reads == 1 else other.order_id

    before = snapshot(book)
    with pytest.raises(ValueError) as info:
        book.add_limit_order(Shifty(BID, 3, D("99")))
    assert str(info.value) == f"order '{other.order_id}' is already resting in this book"
    assert snapshot(book) == before and book.orders[other.order_id][1] is other
    _check(book)


def test_an_order_renamed_during_matching_to_a_resting_identifier_keeps_its_trades():
    book = OrderBook()
    resting = rest(book, BID, 1, "90")
    ask = rest(book, ASK, 2, "100")
    buy = Order(BID, 5, None)
    buy.price = hooked("100", lambda: setattr(buy, "order_id", resting.order_id))
    with pytest.raises(ValueError) as info:
        book.add_limit_order(buy)
    assert str(info.value) == f"order '{resting.order_id}' is already resting in this book"
    assert [t.filler_id for t in book.trade_log] == [ask.order_id]  # the trade stands
    assert (buy.status, buy.remaining_quantity) == (PARTIAL, 3)
    assert list(book.bids) == [D("90")] and book.orders[resting.order_id][1] is resting
    _check(book)


# ---- a level re-entered while it queues an order ----------------------------------------------


class ReenteringQueue(OrderedDict):
    """Adds `extra` to the level from inside the first assignment."""

    def __init__(self, level, extra):
        super().__init__()
        self.level, self.extra = level, extra

    def __setitem__(self, key, value):
        extra, self.extra = self.extra, None
        if extra is not None:
            self.level.add_order(extra)
        super().__setitem__(key, value)


class FailingQueue(OrderedDict):
    def __setitem__(self, key, value):
        raise RuntimeError("no room")


@pytest.mark.parametrize("order_class", [Order, type("SubOrder", (Order,), {})],
                         ids=["order", "order-subclass"])
def test_add_order_reentered_from_the_assignment_loses_no_update(order_class):
    level = PriceLevel(D("100"), BID)
    inner = order_class(BID, 100, D("100"))
    level.queue = ReenteringQueue(level, inner)
    outer = order_class(BID, 11, D("100"))
    level.add_order(outer)
    assert list(level.queue) == [inner.order_id, outer.order_id]
    assert level.total_quantity == 111


def test_a_key_whose_equality_submits_at_the_same_price_loses_no_update():
    book = OrderBook()
    first = rest(book, BID, 1, "100")

    class Key(str):
        """Collides with the first order's identifier; the probe submits another order."""

        armed = True

        def __eq__(self, other):
            if Key.armed:
                Key.armed = False
                rest(book, BID, 100, "100")
            return False

        def __hash__(self):
            return hash(first.order_id)

    stand_in = type("StandIn", (), {"order_id": Key("x"), "remaining_quantity": 10})()
    level = book.bids[D("100")]
    level.add_order(stand_in)
    assert len(level.queue) == 3 and level.queue[stand_in.order_id] is stand_in
    assert level.total_quantity == 111


def test_a_failed_assignment_leaves_the_total_as_it_was():
    level = PriceLevel(D("100"), BID)
    level.add_order(Order(BID, 4, D("100")))
    level.queue = FailingQueue()
    with pytest.raises(RuntimeError):
        level.add_order(Order(BID, 7, D("100")))
    assert level.total_quantity == 4


# ---- cancellation and matching of an order moved or renamed while resting ----------------------


def moved(order, other):
    order.price = other.price


def renamed(order, other):
    order.order_id = "renamed"


def took_other_id(order, other):
    order.order_id = other.order_id


@pytest.mark.parametrize("change", [moved, renamed, took_other_id],
                         ids=["moved-to-another-level", "renamed", "took-another-id"])
def test_cancel_of_a_changed_order_changes_nothing(change):
    book = OrderBook()
    a, b = rest(book, BID, 5, "100"), rest(book, BID, 3, "99")
    old_id, old_price = a.order_id, a.price
    change(a, b)
    before = snapshot(book)
    with pytest.raises(KeyError) as info:
        book.cancel_order(old_id)
    assert info.value.args[0] == (
        f"order '{old_id}' is not queued under that identifier at its price {a.price!r}; "
        "it was moved or renamed while resting")
    assert snapshot(book) == before and a.status is OPEN
    a.price, a.order_id = old_price, old_id  # put back, it cancels as usual
    assert book.cancel_order(old_id) is True and a.status is OrderStatus.CANCELLED
    assert book.bids[D("99")].queue[b.order_id] is b
    _check(book)


@pytest.mark.parametrize("change", [renamed, took_other_id], ids=["renamed", "took-another-id"])
def test_a_renamed_resting_order_is_not_filled(change):
    book = OrderBook()
    a, b = rest(book, ASK, 5, "100"), rest(book, ASK, 3, "101")
    old_id = a.order_id
    change(a, b)
    before = snapshot(book)
    buy = Order(BID, 2, D("100"))
    with pytest.raises(KeyError) as info:
        book.add_limit_order(buy)
    assert info.value.args[0] == (
        f"order {a.order_id!r} at the head of its level is not in the index under that "
        "identifier; it was renamed while resting")
    assert snapshot(book) == before and book.trade_log == []
    assert (a.status, a.remaining_quantity, buy.remaining_quantity) == (OPEN, 5, 2)
    a.order_id = old_id
    book.add_limit_order(buy)
    assert (a.remaining_quantity, buy.status) == (3, FILLED)
    _check(book)


# ---- a price that changes or cannot be ordered ------------------------------------------------


@pytest.mark.parametrize("side", [BID, ASK], ids=["bid", "ask"])
def test_a_price_that_turns_none_during_matching_keeps_the_trades_and_does_not_rest(side):
    book = OrderBook()
    other = ASK if side is BID else BID
    resting = rest(book, other, 2, "100")
    order = Order(side, 5, None)
    order.price = hooked("100", lambda: setattr(order, "price", None))
    with pytest.raises(ValueError) as info:
        book.add_limit_order(order)
    assert str(info.value) == "limit order price must not be None"
    assert [t.filler_id for t in book.trade_log] == [resting.order_id]
    assert (order.status, order.remaining_quantity) == (PARTIAL, 3)
    assert not book.bids and not book.asks and not book.orders
    _check(book)


def test_a_price_property_that_turns_none_at_rest_is_refused():
    class Fading(Order):
        reads = 0

        @property
        def price(self):
            Fading.reads += 1
            return D("100") if Fading.reads == 1 else None

        @price.setter
        def price(self, value):
            pass

    book = OrderBook()
    with pytest.raises(ValueError) as info:
        book.add_limit_order(Fading(ASK, 5))
    assert str(info.value) == "limit order price must not be None"
    assert snapshot(book) == ([], [], [], None, None)


class Unordered(D):
    """Equal to itself, yet `price <= price` is false."""

    def __le__(self, other):
        return False

    __hash__ = D.__hash__


@pytest.mark.parametrize("side", [BID, ASK], ids=["bid", "ask"])
@pytest.mark.parametrize("price, cause", [(1j, TypeError), (Unordered("100"), None)],
                         ids=["complex", "le-false"])
def test_a_price_that_cannot_be_ordered_is_refused_before_any_change(side, price, cause):
    book = OrderBook()
    rest(book, BID, 1, "90"), rest(book, ASK, 1, "110")
    before = snapshot(book)
    order = Order(side, 5, price)
    with pytest.raises(ValueError) as info:
        book.add_limit_order(order)
    assert str(info.value) == f"limit order price cannot be ordered against itself (got {price!r})"
    assert type(info.value.__cause__) is cause if cause else info.value.__cause__ is None
    assert snapshot(book) == before and (order.status, order.remaining_quantity) == (OPEN, 5)
    # The side stays usable: it can still be traded on and displayed.
    book.add_limit_order(Order(BID, 1, D("110")))
    assert not book.asks and str(book)
    _check(book)


def test_a_new_level_made_while_another_comes_to_rest_there_is_not_replaced():
    book = OrderBook()

    class Meddling(PriceLevel):
        armed = True

        def __init__(self, price, side):
            super().__init__(price, side)
            if Meddling.armed:
                Meddling.armed = False
                rest(book, side, 7, "100")

    saved = ob.PriceLevel
    ob.PriceLevel = Meddling
    try:
        order = Order(BID, 5, D("100"))
        with pytest.raises(ValueError) as info:
            book.add_limit_order(order)
    finally:
        ob.PriceLevel = saved
    assert str(info.value) == (
        f"the book changed while order '{order.order_id}' was coming to rest; it was not rested")
    assert book.bids[D("100")].total_quantity == 7 and order.order_id not in book.orders
    _check(book)


def test_a_comparison_that_adds_a_better_level_leaves_the_right_best_price():
    book = OrderBook()
    rest(book, BID, 1, "99")

    class Greedy(D):
        armed = True

        def __gt__(self, other):
            if Greedy.armed:
                Greedy.armed = False
                rest(book, BID, 1, "102")
            return D.__gt__(self, other)

        __hash__ = D.__hash__

    book.add_limit_order(Order(BID, 1, Greedy("101")))
    assert book.best_bid() == D("102")
    _check(book)
