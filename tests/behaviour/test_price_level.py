"""PriceLevel: construction, FIFO queue and total, argument rules, all-or-nothing add_order,
the queue's own protocol, GC, and subclass overrides honoured by the book's native call."""

import gc
import traceback
import weakref
from collections import OrderedDict
from decimal import Decimal
from types import SimpleNamespace

import pytest

import velmora.orderbook as ob
from conftest import StrSub
from velmora.orderbook import Order, OrderSide, PriceLevel

BID = OrderSide.BID
MAX = 2147483647


def Duck(order_id, remaining_quantity):
    return SimpleNamespace(order_id=order_id, remaining_quantity=remaining_quantity)


NoId, NoQuantity = SimpleNamespace(remaining_quantity=1), SimpleNamespace(order_id="nq")


class AddsToStr:  # 0 + this gives a str: the addition succeeds, the conversion fails
    def __radd__(self, other):
        return "sum"


def level_with(*quantities):
    level = PriceLevel(100, BID)
    orders = [Order(BID, q, 100) for q in quantities]
    for o in orders:
        level.add_order(o)
    return level, orders


def snapshot(level):
    return list(level.queue.items()), level.total_quantity


def test_construction_and_bare_allocation():
    price = Decimal("100.5")
    level = PriceLevel(side=BID, price=price)
    assert (level.price, level.side, level.total_quantity) == (price, BID, 0)
    assert level.price is price and type(level.queue) is OrderedDict and not level.queue
    bare = PriceLevel.__new__(PriceLevel, 1, 2, x=3)
    assert (bare.price, bare.queue, bare.total_quantity, bare.side) == (None, None, 0, None)


def test_queue_type_is_looked_up_at_call_time(monkeypatch):
    Other = type("Other", (OrderedDict,), {})
    monkeypatch.setattr(ob, "OrderedDict", Other)
    assert type(PriceLevel(1, BID).queue) is Other
    monkeypatch.delattr(ob, "OrderedDict")
    level = PriceLevel.__new__(PriceLevel)
    with pytest.raises(NameError, match="^name 'OrderedDict' is not defined$"):
        level.__init__(7, BID)
    assert (level.price, level.queue, level.side) == (7, None, None)


def test_type_properties():
    level = PriceLevel(1, BID)
    assert bool(level) is True and level != PriceLevel(1, BID)
    for attempt in (lambda: len(level), lambda: weakref.ref(level),
                    lambda: setattr(PriceLevel, "peek", None)):
        with pytest.raises(TypeError):
            attempt()
    with pytest.raises(AttributeError):
        level.extra = 1
    methods = ["add_order", "remove_order", "peek", "pop"]
    assert [k for k in PriceLevel.__dict__ if k in methods] == methods
    assert [getattr(PriceLevel, m).__qualname__ for m in methods] == [
        "PriceLevel." + m for m in methods]


def test_fifo_peek_pop_remove_keep_the_total():
    level, (o1, o2, o3) = level_with(5, 3, 2)
    assert level.total_quantity == 10 and list(level.queue.values()) == [o1, o2, o3]
    assert level.peek() is o1 and level.total_quantity == 10 and len(level.queue) == 3
    assert level.pop() is o1 and level.total_quantity == 5
    assert level.pop() is o2 and level.total_quantity == 2
    assert level.remove_order(o3.order_id) is True and level.total_quantity == 0
    assert level.remove_order(o3.order_id) is False and not level.queue
    assert level.peek() is None and level.pop() is None and level.total_quantity == 0
    assert level.remove_order(None) is False


@pytest.mark.parametrize("take", ["pop", "remove_order"])
def test_current_remaining_quantity_is_subtracted(take):
    level, (o1, _) = level_with(5, 3)
    o1.remaining_quantity = 1
    level.pop() if take == "pop" else level.remove_order(o1.order_id)
    assert level.total_quantity == 7


def test_duck_orders_removal_from_the_middle_and_repeated_ids():
    level = PriceLevel(1, BID)
    ducks = [Duck(str(i), 2.9) for i in range(4)]  # each sum is converted: 0 + 2.9 -> 2
    for d in ducks:
        level.add_order(d)
    assert level.total_quantity == 8 and level.remove_order("1") is True  # 8 - 2.9 -> 5
    level.add_order(again := Duck("0", 5))  # replaces in place, counted all the same
    assert list(level.queue.items()) == [("0", again), ("2", ducks[2]), ("3", ducks[3])]
    assert level.total_quantity == 10 and level.pop() is again


def recorded(name):
    def method(self, *args, **kwargs):
        self.calls.append((name, *args[:1], *kwargs.values()))
        return getattr(OrderedDict, name)(self, *args, **kwargs)
    return method


class RecordingQueue(OrderedDict):
    def __init__(self):
        super().__init__()
        self.calls = []

    __setitem__, __contains__, __getitem__, __delitem__, values, popitem = map(recorded, [
        "__setitem__", "__contains__", "__getitem__", "__delitem__", "values", "popitem"])


def test_a_queue_subclass_gets_the_full_protocol():
    level = PriceLevel(1, BID)
    level.queue = q = RecordingQueue()
    for d in (Duck("a", 1), Duck("b", 2), Duck("c", 3)):
        level.add_order(d)
    level.peek(), level.pop(), level.remove_order("c")
    assert q.calls == [("__setitem__", "a"), ("__setitem__", "b"), ("__setitem__", "c"),
                       ("values",), ("popitem", False),
                       ("__contains__", "c"), ("__getitem__", "c"), ("__delitem__", "c")]
    assert list(q) == ["b"] and level.total_quantity == 2


@pytest.mark.parametrize("call, error, message", [
    ("add_order()", TypeError, "add_order() takes exactly 1 positional argument (0 given)"),
    ("add_order(1, 2)", TypeError, "add_order() takes exactly 1 positional argument (2 given)"),
    ("add_order(NoId, order=1)", TypeError,
     "add_order() got multiple values for keyword argument 'order'"),
    ("peek(1)", TypeError, "peek() takes exactly 0 positional arguments (1 given)"),
    ("pop(x=1)", TypeError, "pop() got an unexpected keyword argument 'x'"),
    ("remove_order(1)", TypeError,
     "Argument 'order_id' has incorrect type (expected str, got int)"),
    ("remove_order(StrSub())", TypeError,
     "Argument 'order_id' has incorrect type (expected str, got StrSub)"),
    ("__init__(1)", TypeError, "__init__() takes exactly 2 positional arguments (1 given)"),
    ("__init__(1, 2, side=3)", TypeError,
     "__init__() got multiple values for keyword argument 'side'"),
    ("__setattr__('total_quantity', MAX + 1)", OverflowError, "value too large to convert to int"),
    ("__setattr__('total_quantity', '3')", TypeError, "an integer is required"),
    ("__delattr__('total_quantity')", NotImplementedError, "__del__"),
])
def test_argument_and_attribute_errors(call, error, message):
    level, _ = level_with(4)
    before = snapshot(level) + (level.price, level.side)
    with pytest.raises(error) as info:
        eval("level." + call)
    assert str(info.value) == message and snapshot(level) + (level.price, level.side) == before
    if error is not NotImplementedError:  # deletion adds no entry of its own
        assert traceback.extract_tb(info.tb)[-1].name.startswith("velmora.orderbook.PriceLevel.")


def test_keywords_and_attribute_rules():
    level = PriceLevel(1, BID)
    o = Order(BID, 3)
    level.add_order(order=o)
    assert level.remove_order(order_id=o.order_id) is True
    level.total_quantity = 2.7
    assert level.total_quantity == 2
    for name in ("price", "queue", "side"):
        delattr(level, name)
        assert getattr(level, name) is None
    assert level.peek() is None and level.pop() is None
    with pytest.raises(TypeError, match="'NoneType' object does not support item assignment"):
        level.add_order(o)
    assert level.total_quantity == 2


@pytest.mark.parametrize("start_total, order, error", [
    (5, NoId, AttributeError),
    (5, NoQuantity, AttributeError),
    (MAX - 1, Order(BID, 2), OverflowError),
    (MAX - 1, Duck("d", 2), OverflowError),
    (-MAX - 1, Duck("d", -1), OverflowError),
    (5, Duck("d", "x"), TypeError),
    (5, Duck("d", AddsToStr()), TypeError),
], ids=["no-order_id", "no-remaining", "overflow-order", "overflow-duck", "underflow",
        "addition-fails", "conversion-fails"])
def test_failed_add_order_queues_nothing(start_total, order, error):
    level, _ = level_with(1)
    level.total_quantity = start_total
    before = snapshot(level)
    with pytest.raises(error):
        level.add_order(order)
    assert snapshot(level) == before


def test_failed_item_assignment_leaves_the_total():
    level = PriceLevel(1, BID)
    level.queue = type("Refusing", (OrderedDict,), {"__setitem__": lambda s, k, v: {}[k]})()
    with pytest.raises(KeyError):
        level.add_order(Duck("a", 3))
    assert level.total_quantity == 0 and not level.queue


@pytest.mark.parametrize("take, still_queued", [("remove_order", True), ("pop", False)])
def test_failed_total_update_on_removal(take, still_queued):
    level = PriceLevel(1, BID)
    level.add_order(duck := Duck("a", 3))
    duck.remaining_quantity = "bad"
    with pytest.raises(TypeError):
        level.remove_order("a") if take == "remove_order" else level.pop()
    assert ("a" in level.queue) is still_queued and level.total_quantity == 3


class WeakLevel(PriceLevel):
    pass


def test_gc_reports_price_queue_side_and_breaks_cycles():
    level = PriceLevel(Decimal(1), "side")
    assert list(map(id, gc.get_referents(level))) == [id(level.price), id(level.queue), id("side")]
    cyclic = WeakLevel(1, BID)
    cyclic.queue["me"] = cyclic.price = cyclic
    ref = weakref.ref(cyclic)
    del cyclic
    gc.collect()
    assert ref() is None


class Recording(PriceLevel):
    calls = []

    def add_order(self, order):
        self.calls.append(("add_order", order.order_id))
        super().add_order(order)

    def peek(self):
        self.calls.append(("peek",))
        return super().peek()


class Replacing(PriceLevel):
    calls = []

    def add_order(self, order):
        self.calls.append(("add_order", order.order_id))


class OwnAttribute(PriceLevel):  # the override is an attribute of the level itself
    calls = []

    def __init__(self, price, side):
        super().__init__(price, side)
        self.add_order = lambda order: self.calls.append(("add_order", order.order_id))


Plain = type("Plain", (PriceLevel,), {"calls": []})


@pytest.mark.parametrize("cls, queued", [(Recording, True), (Replacing, False),
                                         (OwnAttribute, False), (Plain, True)],
                         ids=["calls-super", "replaces", "instance-attribute", "no-override"])
def test_book_limit_path_honours_overrides(monkeypatch, cls, queued):
    monkeypatch.setattr(ob, "PriceLevel", cls)  # restored after the test
    cls.calls.clear()
    book = ob.OrderBook()
    book.add_limit_order(bid := Order(BID, 10, Decimal(100)))
    level = book.bids[Decimal(100)]
    assert type(level) is cls
    assert cls.calls == ([] if cls is Plain else [("add_order", bid.order_id)])
    assert (list(level.queue.values()) == [bid]) is queued
    assert level.total_quantity == (10 if queued else 0)
    if cls is Recording:
        book.add_limit_order(Order(OrderSide.ASK, 4, Decimal(100)))
        assert ("peek",) in cls.calls and level.total_quantity == 6


class Unreadable(PriceLevel):
    @property
    def add_order(self):
        raise LookupError("add_order")


def test_book_limit_path_rests_nothing_when_the_override_lookup_fails(monkeypatch):
    monkeypatch.setattr(ob, "PriceLevel", Unreadable)
    book = ob.OrderBook()
    with pytest.raises(LookupError) as info:
        book.add_limit_order(bid := Order(BID, 10, Decimal(100)))
    assert not book.bids and bid.order_id not in book.orders and book.best_bid() is None
    # The failure is the lookup's: no entry of the level's own add_order, which never ran.
    assert [frame.name for frame in traceback.extract_tb(info.tb)][-2:] == [
        "velmora.orderbook.OrderBook._update_limit_order", "add_order"]
