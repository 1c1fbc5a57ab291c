"""The shared vocabulary: enumerations, the Trade data class and order identifiers."""

import builtins
import dataclasses
import datetime
import enum
from decimal import Decimal

import pytest

import velmora.orderbook as ob


@pytest.fixture
def counter():
    """Lets a test rebind _order_counter; restores a plain int that keeps ids fresh: past the
    ids the test issued, unless those lay far outside the session's own sequence."""
    saved = ob._order_counter
    yield
    current = ob.__dict__.get("_order_counter")
    if isinstance(current, int) and saved < current < 2**62:
        saved = int(current)
    ob._order_counter = saved


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


# ---- the counter's value: native arithmetic within a word, Python's beyond it -------------

WORD = 2**63


@pytest.mark.parametrize("start", [
    0, 41, -1, -7, 254, 255, 256, 2**30 - 2, 2**30 - 1, 2**30, -(2**30), -(2**30) - 1,
    2**62, WORD - 2, WORD - 1, WORD, 2**64, -WORD, -WORD - 1, 10**30,
], ids=lambda v: f"{v:#x}" if abs(v) > 2**20 else str(v))
def test_exact_int_counter_counts_like_python(counter, start):
    ob._order_counter = start
    assert ob._next_id() == str(start + 1)
    assert type(ob._order_counter) is int and ob._order_counter == start + 1
    order = ob.Order(ob.OrderSide.BID, 1)
    assert order.order_id == str(start + 2) and type(order.order_id) is str
    assert ob._order_counter == start + 2


class Odd(int):
    """Counts in tens and prints itself its own way: only `+=` and str() may be used."""

    def __iadd__(self, k):
        return Odd(int(self) + 10 * k)

    def __str__(self):
        return f"odd{int(self)}"


class Shown(int):
    def __str__(self):
        return "shown"


class Added(int):
    def __add__(self, k):
        return Added(int(self) + 100 * k)

    def __repr__(self):
        return f"Added({int(self)})"


@pytest.mark.parametrize("start, ids, final", [
    (Odd(5), ["odd15", "odd25"], Odd(25)),
    (Shown(5), ["6", "7"], 7),                  # int.__add__ makes a plain int: its own str
    (Added(5), ["Added(105)", "Added(205)"], Added(205)),
    (True, ["2", "3"], 3),
    (5.5, ["6.5", "7.5"], 7.5),
    (Decimal("9.5"), ["10.5", "11.5"], Decimal("11.5")),
], ids=["iadd-subclass", "str-subclass", "add-subclass", "bool", "float", "decimal"])
def test_counter_of_another_type_goes_through_iadd_and_str(counter, start, ids, final):
    ob._order_counter = start
    assert ob._next_id() == ids[0]
    assert ob.Order(ob.OrderSide.BID, 1).order_id == ids[1]
    assert ob._order_counter == final and type(ob._order_counter) is type(final)


def rebind_by_setattr(value):
    ob._order_counter = value


def rebind_in_dict(value):
    ob.__dict__["_order_counter"] = value


def rebind_by_update(value):
    ob.__dict__.update(_order_counter=value)


def rebind_by_setdefault(value):
    del ob._order_counter
    ob.__dict__.setdefault("_order_counter", value)


@pytest.mark.parametrize("rebind", [rebind_by_setattr, rebind_in_dict, rebind_by_update,
                                    rebind_by_setdefault],
                         ids=lambda f: f.__name__.replace("_", "-"))
def test_counter_rebound_between_orders_is_seen(counter, rebind):
    ob._order_counter = 10
    assert ob.Order(ob.OrderSide.BID, 1).order_id == "11"
    rebind(10)
    assert ob.Order(ob.OrderSide.BID, 1).order_id == "11"
    rebind(WORD + 5)
    assert ob.Order(ob.OrderSide.BID, 1).order_id == str(WORD + 6)
    rebind(Odd(1))
    assert ob.Order(ob.OrderSide.BID, 1).order_id == "odd11"


def test_counter_from_the_builtins_continues_in_the_module(counter, monkeypatch):
    monkeypatch.delattr(ob, "_order_counter")
    monkeypatch.setattr(builtins, "_order_counter", 50, raising=False)
    assert ob._next_id() == "51"
    assert ob.__dict__["_order_counter"] == 51 and builtins._order_counter == 50
    assert ob._next_id() == "52"  # the module's binding now outranks the builtins'


class Collider:
    """A key of the module namespace that shares the hash of '_order_counter' and sits before
    it in the probe sequence, so that storing the counter compares the two. Once armed, that
    comparison rebinds the counter to a value whose finaliser rebinds it again, to `final`."""

    def __init__(self, final):
        self.final = final
        self.armed = False

    def __hash__(self):
        return hash("_order_counter")

    def __eq__(self, other):
        if self.armed:
            self.armed = False
            ob.__dict__["_order_counter"] = Finalised(self.final)
        return False


class Finalised:
    def __init__(self, final):
        self.final = final

    def __del__(self):
        ob.__dict__["_order_counter"] = self.final


class Arming:
    """A counter whose `+=` arms the collider just before the result is stored."""

    def __init__(self, collider, result):
        self.collider, self.result = collider, result

    def __iadd__(self, k):
        self.collider.armed = True
        return self.result


@pytest.mark.parametrize("stored, final", [(7, 100), (WORD + 7, 100), (7, WORD + 100)],
                         ids=["word", "stored-beyond-word", "rebound-beyond-word"])
def test_code_run_by_the_store_decides_the_id(counter, stored, final):
    collider = Collider(final)
    del ob._order_counter
    ob.__dict__[collider] = None
    try:
        ob._order_counter = Arming(collider, stored)
        # The store meets the collider, whose comparison binds a Finalised; the store then
        # replaces that, and its finaliser binds `final`: the id is str(final), not stored.
        assert ob._next_id() == str(final)
        assert ob._order_counter == final
        assert ob._next_id() == str(final + 1)  # and the sequence continues from there
    finally:
        del ob.__dict__[collider]
