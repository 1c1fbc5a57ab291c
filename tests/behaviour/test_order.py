"""The Order record type: construction, attributes, quantity conversion, GC and typing."""

import contextlib
import enum
import gc
import traceback
import weakref
from decimal import Decimal

import pytest

import velmora.orderbook as ob
from conftest import IntLike
from velmora.orderbook import Order, OrderSide, OrderStatus

BID = OrderSide.BID


def fields(o):
    return (o.side, o.original_quantity, o.price, o.remaining_quantity, o.order_id, o.status)


class IntSub(int):
    pass


class OnlyIndex:
    def __index__(self):
        return 3


def test_construction_defaults_and_fresh_ids():
    a = Order(BID, 10)
    b = Order(BID, 10)
    assert fields(a)[:4] == (BID, 10, None, 10)
    assert a.status is OrderStatus.OPEN
    assert int(b.order_id) == int(a.order_id) + 1
    assert type(a.order_id) is str


def test_keywords_in_any_order_keep_the_price_object():
    price = Decimal("100.50")
    o = Order(price=price, original_quantity=3, side=OrderSide.ASK)
    assert o.price is price and o.side is OrderSide.ASK and o.original_quantity == 3


@pytest.mark.parametrize("value, stored", [
    (10.9, 10), (-3.7, -3), (True, 1), (0, 0), (-5, -5), (Decimal("7.99"), 7),
    (2147483647, 2147483647), (-2147483648, -2147483648), (IntSub(12), 12),
    (IntLike(9), 9), (2**30 - 1, 2**30 - 1), (2**30, 2**30), (1 - 2**30, 1 - 2**30),
    (-(2**30), -(2**30)), (IntSub(2**31 - 1), 2**31 - 1), (IntSub(-(2**31)), -(2**31)),
], ids=repr)
def test_quantity_conversion_accepts(value, stored):
    o = Order(BID, value)
    assert (o.original_quantity, o.remaining_quantity) == (stored, stored)
    o.remaining_quantity = value
    assert o.remaining_quantity == stored


@pytest.mark.parametrize("value, error, message", [
    (2147483648, OverflowError, "value too large to convert to int"),
    (-2147483649, OverflowError, "value too large to convert to int"),
    (10**40, OverflowError, "value too large to convert to int"),
    ("5", TypeError, "an integer is required"),
    (OnlyIndex(), TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (IntLike(2.5), TypeError, "__int__ returned non-int (type float)"),
    (IntLike(2**31), OverflowError, "value too large to convert to int"),
    (IntSub(2**31), OverflowError, "value too large to convert to int"),
], ids=["2**31", "below-min", "huge", "str", "index-only", "None", "non-int", "int-overflow",
        "subclass-overflow"])
def test_quantity_conversion_refuses_and_draws_no_id(value, error, message):
    before = ob._order_counter
    with pytest.raises(error) as info:
        Order(BID, value)
    assert str(info.value) == message
    assert ob._order_counter == before
    o = Order(BID, 1)
    with pytest.raises(error):
        o.remaining_quantity = value
    assert o.remaining_quantity == 1  # a failed assignment leaves the field


def test_int_subclass_result_warns_then_converts():
    o = Order(BID, 1)
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type IntSub\)\.  "
                      r"The ability to return an instance of a strict subclass of int"):
        o.original_quantity = IntLike(IntSub(6))
    assert o.original_quantity == 6
    with pytest.raises(DeprecationWarning):  # warnings are errors in this suite
        Order(BID, IntLike(IntSub(6)))


def test_quantity_is_converted_twice():
    calls = []

    class Counting:
        def __int__(self):
            calls.append(1)
            return 10 + len(calls)

    o = Order(BID, Counting())
    assert (o.original_quantity, o.remaining_quantity) == (11, 12)


def test_failures_keep_earlier_steps_and_id_rules():
    o = Order(BID, 1)
    with pytest.raises(TypeError):
        o.__init__(OrderSide.ASK, "x")
    assert o.side is OrderSide.ASK  # the side was stored before the conversion failed
    old_id = o.order_id
    o.__init__(BID, 4, 9)
    assert (o.price, o.remaining_quantity) == (9, 4) and o.order_id != old_id


@pytest.mark.parametrize("result, ok", [("x", True), (None, True), (5, False), (IntSub, False)])
def test_next_id_result_must_be_str_or_none(monkeypatch, result, ok):
    class StrSub(str):
        pass

    value = StrSub("s") if result is IntSub else result
    monkeypatch.setattr(ob, "_next_id", lambda: value)
    if ok:
        assert Order(BID, 1).order_id == value
    else:
        with pytest.raises(TypeError, match=rf"^Expected str, got {type(value).__name__}$"):
            Order(BID, 1)


@pytest.mark.parametrize("name", ["_next_id", "OrderStatus"])
def test_missing_globals_raise_name_error(monkeypatch, name):
    monkeypatch.delattr(ob, name)
    with pytest.raises(NameError, match=rf"^name '{name}' is not defined$"):
        Order(BID, 1)


def test_rebound_order_status_is_seen(monkeypatch):
    class Status:
        OPEN = "open!"

    monkeypatch.setattr(ob, "OrderStatus", Status)
    assert Order(BID, 1).status == "open!"


@contextlib.contextmanager
def member_replaced():
    """OrderStatus.OPEN itself rebound in the class (the enumeration's own __setattr__ refuses
    this; type's does not)."""
    type.__setattr__(OrderStatus, "OPEN", "replaced")
    try:
        yield lambda status: status == "replaced"
    finally:
        type.__setattr__(OrderStatus, "OPEN", OPEN)


@contextlib.contextmanager
def metaclass_descriptor():
    """A data descriptor on the metaclass outranks the class's own attribute."""
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(type(OrderStatus), "OPEN", property(lambda cls: "from the metaclass"),
                   raising=False)
        yield lambda status: status == "from the metaclass"


@contextlib.contextmanager
def metaclass_getattribute():
    def getattribute(cls, name):
        return "intercepted" if name == "OPEN" else type.__getattribute__(cls, name)

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(type(OrderStatus), "__getattribute__", getattribute, raising=False)
        yield lambda status: status == "intercepted"


@contextlib.contextmanager
def another_enumeration():
    class Other(enum.Enum):
        OPEN = 7

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(ob, "OrderStatus", Other)
        yield lambda status: status is Other.OPEN


@contextlib.contextmanager
def descriptor_member():
    """A class whose OPEN is made afresh at each lookup: each order gets its own."""
    class Status:
        @classmethod
        def OPEN(cls):
            return "open"

    seen = []

    def expected(status):
        fresh = all(status is not earlier for earlier in seen)
        seen.append(status)
        return fresh and status == Status.OPEN and status() == "open"

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(ob, "OrderStatus", Status)
        yield expected


OPEN = OrderStatus.OPEN


@pytest.mark.parametrize("change", [member_replaced, metaclass_descriptor,
                                    metaclass_getattribute, another_enumeration,
                                    descriptor_member],
                         ids=lambda f: f.__name__.replace("_", "-"))
def test_open_status_is_looked_up_as_python_would(change):
    assert Order(BID, 1).status is OPEN  # warm any cache of the member
    with change() as expected:
        for _ in range(3):
            status = Order(BID, 1).status
            assert expected(status), status
    assert Order(BID, 1).status is OPEN  # and after the change is undone


@pytest.mark.parametrize("args, kwargs, message", [
    ((BID,), {}, "__init__() takes at least 2 positional arguments (1 given)"),
    ((), {}, "__init__() takes at least 2 positional arguments (0 given)"),
    ((BID, 1, 2, 3), {}, "__init__() takes at most 3 positional arguments (4 given)"),
    ((), {"side": BID}, "__init__() takes at least 2 positional arguments (1 given)"),
    ((BID, 1), {"bogus": 1}, "__init__() got an unexpected keyword argument 'bogus'"),
    ((BID, 1), {"side": BID}, "__init__() got multiple values for keyword argument 'side'"),
], ids=["one", "none", "four", "kw-missing", "unexpected", "twice"])
def test_constructor_argument_errors(args, kwargs, message):
    class MyOrder(Order):  # subclasses are called through __init__, not vectorcall
        pass

    for cls in (Order, MyOrder):
        with pytest.raises(TypeError) as info:
            cls(*args, **kwargs)
        assert str(info.value) == message
        assert "in velmora.orderbook.Order.__init__" in "".join(traceback.format_tb(info.tb))


def test_non_string_keywords():
    class MyOrder(Order):
        pass

    with pytest.raises(TypeError, match=r"^__init__\(\) keywords must be strings$"):
        MyOrder(BID, 1, **{1: 2})
    with pytest.raises(TypeError, match=r"^__init__\(\) keywords must be strings$"):
        Order(BID, 1).__init__(BID, 1, **{1: 2})
    with pytest.raises(TypeError, match="keywords must be strings$"):
        Order(BID, 1, **{1: 2})  # the interpreter refuses these before the call


def test_attribute_assignment_and_deletion():
    o = Order(BID, 5, 100)
    for name in ("side", "price", "status", "order_id"):
        delattr(o, name)
        assert getattr(o, name) is None
    o.side = object()
    o.order_id = "abc"
    assert o.order_id == "abc"
    for name in ("original_quantity", "remaining_quantity"):
        with pytest.raises(NotImplementedError, match="^__del__$"):
            delattr(o, name)
        assert getattr(o, name) == 5
    o.remaining_quantity = 2.5
    assert o.remaining_quantity == 2


@pytest.mark.parametrize("value", [5, b"x", type("S", (str,), {})("s")], ids=repr)
def test_order_id_accepts_only_exact_str(value):
    o = Order(BID, 1)
    before = o.order_id
    with pytest.raises(TypeError, match=rf"^Expected str, got {type(value).__name__}$"):
        o.order_id = value
    assert o.order_id == before


def test_no_dict_no_weakref_identity_semantics():
    o = Order(BID, 1, 5)
    with pytest.raises(AttributeError):
        o.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(o)
    twin = Order(BID, 1, 5)
    twin.order_id = o.order_id
    assert o != twin and len({o, twin}) == 2 and {o: 1}[o] == 1


def test_python_subclass_gets_dict_and_weakrefs():
    class MyOrder(Order):
        pass

    o = MyOrder(BID, 3)
    o.note = "x"
    assert o.__dict__ == {"note": "x"} and weakref.ref(o)() is o
    assert o.remaining_quantity == 3 and o.status is OrderStatus.OPEN


def test_bare_new_draws_no_id():
    before = ob._order_counter
    o = Order.__new__(Order)
    assert fields(o) == (None, 0, None, 0, None, None)
    assert ob._order_counter == before


def test_cycles_through_fields_are_collected():
    class MyOrder(Order):
        pass

    o = MyOrder(BID, 1)
    o.price = o  # cycle through a field and the instance
    o.status = [o]
    ref = weakref.ref(o)
    del o
    gc.collect()
    assert ref() is None


def test_deep_chain_deallocates_without_overflowing_the_stack():
    head = Order.__new__(Order)
    for _ in range(200_000):
        nxt = Order.__new__(Order)
        nxt.price = head
        head = nxt
    del head, nxt  # must not crash


def test_globals_fall_back_to_builtins_and_rebinding_is_seen_at_once(monkeypatch):
    import builtins

    class Status:
        OPEN = "from builtins"

    assert Order(BID, 1).status is OrderStatus.OPEN  # warm any lookup cache
    monkeypatch.delattr(ob, "OrderStatus")
    with pytest.raises(NameError):
        Order(BID, 1)
    monkeypatch.setattr(builtins, "OrderStatus", Status, raising=False)
    assert Order(BID, 1).status == "from builtins"
    monkeypatch.setattr(ob, "OrderStatus", OrderStatus, raising=False)
    assert Order(BID, 1).status is OrderStatus.OPEN
    ob.__dict__.update(OrderStatus=Status)  # a bulk update is a rebinding too
    assert Order(BID, 1).status == "from builtins"
