"""The shared vocabulary: enumerations, the Trade data class and order identifiers."""

import dataclasses
import datetime
import enum
from decimal import Decimal

import pytest

import velmora.orderbook as ob


@pytest.fixture
def counter():
    """Lets a test rebind _order_counter; restores a value that keeps ids fresh."""
    saved = ob._order_counter
    yield
    current = ob.__dict__.get("_order_counter")
    ob._order_counter = max(saved, current) if isinstance(current, int) else saved


@pytest.mark.parametrize("cls, members", [
    (ob.OrderSide, [("BID", 0), ("ASK", 1)]),
    (ob.OrderStatus, [("OPEN", 0), ("PARTIALLY_FILLED", 1), ("FILLED", 2), ("CANCELLED", 3)]),
    (ob.TradeType, [("LIMIT", 0), ("MARKET", 1)]),
], ids=lambda v: getattr(v, "__name__", ""))
def test_enumerations(cls, members):
    assert [(m.name, m.value) for m in cls] == members
    assert cls.__bases__ == (enum.Enum,) and type(cls) is type(enum.Enum)
    assert (cls.__module__, cls.__qualname__) == ("velmora.orderbook", cls.__name__)
    assert cls.__doc__ is None or "An enumeration" not in cls.__doc__
    first = next(iter(cls))
    assert first != first.value and cls(first.value) is first
    assert cls(members[-1][1]).name == members[-1][0]


def test_trade_is_a_plain_dataclass_with_string_annotations():
    assert [f.name for f in dataclasses.fields(ob.Trade)] == [
        "price", "quantity_filled", "aggressor_side", "aggressor_id", "filler_id",
        "trade_type", "timestamp"]
    assert ob.Trade.__annotations__ == {
        "price": "Decimal", "quantity_filled": "int", "aggressor_side": "OrderSide",
        "aggressor_id": "str", "filler_id": "str", "trade_type": "TradeType",
        "timestamp": "datetime"}
    assert (ob.Trade.__module__, ob.Trade.__qualname__, ob.Trade.__bases__) == (
        "velmora.orderbook", "Trade", (object,))
    stamp = dataclasses.fields(ob.Trade)[-1]
    assert stamp.init is False and stamp.default_factory == datetime.datetime.now
    assert ob.Trade.__hash__ is None


def test_trade_construction_and_equality():
    args = (Decimal("100.5"), 5, ob.OrderSide.BID, "7", "3", ob.TradeType.LIMIT)
    before = datetime.datetime.now()
    t1 = ob.Trade(*args)
    t2 = ob.Trade(*args)
    assert before <= t1.timestamp <= t2.timestamp <= datetime.datetime.now()
    assert (t1.price, t1.quantity_filled, t1.aggressor_id) == (Decimal("100.5"), 5, "7")
    t2.timestamp = t1.timestamp
    assert t1 == t2
    t2.timestamp += datetime.timedelta(microseconds=1)
    assert t1 != t2
    with pytest.raises(TypeError):
        ob.Trade(*args, datetime.datetime.now())
    with pytest.raises(TypeError):
        ob.Trade(*args, timestamp=datetime.datetime.now())
    with pytest.raises(TypeError):
        hash(t1)


def test_next_id_counts_through_the_module_global(counter):
    ob._order_counter = 41
    assert ob._next_id() == "42"
    assert ob._next_id() == "43"
    assert ob._order_counter == 43
    assert ob.Order(ob.OrderSide.BID, 1).order_id == "44"


def test_next_id_uses_in_place_addition_and_str(counter):
    class Counter:
        def __init__(self, n):
            self.n = n

        def __iadd__(self, k):
            return Counter(self.n + 10 * k)

        def __str__(self):
            return f"C{self.n}"

    ob._order_counter = Counter(1)
    assert ob._next_id() == "C11"
    ob._order_counter = "already"
    with pytest.raises(TypeError):
        ob._next_id()  # "already" += 1 fails; the counter stays as it was
    assert ob._order_counter == "already"


def test_next_id_missing_counter_is_a_name_error(counter):
    del ob._order_counter
    with pytest.raises(NameError, match=r"^name '_order_counter' is not defined$"):
        ob._next_id()


@pytest.mark.parametrize("call, message", [
    (lambda: ob._next_id(1), "_next_id() takes no arguments (1 given)"),
    (lambda: ob._next_id(1, 2), "_next_id() takes no arguments (2 given)"),
    (lambda: ob._next_id(x=1), "_next_id() takes no keyword arguments"),
], ids=["one", "two", "keyword"])
def test_next_id_refuses_arguments_without_counting(counter, call, message):
    before = ob._order_counter
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert ob._order_counter == before
