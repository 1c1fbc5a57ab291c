"""Pickling of Order and PriceLevel: round trips, the reduced forms, layout checksums, state
validation and restore order, and pickles that cross interpreter processes."""

import hashlib
import os
import pickle
import subprocess
import sys
import traceback
from decimal import Decimal

import pytest

import velmora.orderbook as ob
from conftest import IntLike, StrSub
from velmora.orderbook import Order, OrderSide, OrderStatus, PriceLevel

BID, ASK = OrderSide.BID, OrderSide.ASK
FIELDS = {
    Order: ["order_id", "original_quantity", "price", "remaining_quantity", "side", "status"],
    PriceLevel: ["price", "queue", "side", "total_quantity"],
}
UNPICKLE = {Order: ob.__pyx_unpickle_Order, PriceLevel: ob.__pyx_unpickle_PriceLevel}
ORDER_SUM, LEVEL_SUM = 0x39270c3, 0x414b38a


def checksum(cls, algorithm):
    """The layout rule: a digest of the sorted field names joined by spaces, 7 hex digits."""
    return int(hashlib.new(algorithm, " ".join(sorted(FIELDS[cls])).encode()).hexdigest()[:7], 16)


def fields(obj):
    return [getattr(obj, f) for f in FIELDS[Order if isinstance(obj, Order) else PriceLevel]]


def comparable(obj):
    """What pickling must keep, with queued orders compared by their fields."""
    values = fields(obj)
    if isinstance(obj, PriceLevel) and obj.queue is not None:
        values[1] = [(k, fields(o)) for k, o in obj.queue.items()]
    return values, getattr(obj, "__dict__", None)


class SubOrder(Order):
    pass


class SubLevel(PriceLevel):
    pass


def objects():
    tagged, tagged_level, partly = SubOrder(BID, 3, Decimal(1)), SubLevel(1, BID), Order(ASK, 9, 7)
    tagged.note, tagged_level.tag = "kept", [1, 2]
    partly.remaining_quantity, partly.status = 2, OrderStatus.PARTIALLY_FILLED
    level = PriceLevel(Decimal("99.5"), ASK)
    for q in (4, 6):
        level.add_order(Order(ASK, q, Decimal("99.5")))
    return {"order": Order(BID, 10, Decimal("100.25")), "partly-filled": partly,
            "bare-order": Order.__new__(Order), "suborder-empty-dict": SubOrder(BID, 1),
            "suborder-with-attr": tagged, "level": level,
            "bare-level": PriceLevel.__new__(PriceLevel), "sublevel-with-attr": tagged_level}


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name", list(objects()))
def test_round_trip(name, protocol):
    original = objects()[name]
    copy = pickle.loads(pickle.dumps(original, protocol))
    assert type(copy) is type(original) and copy is not original
    assert comparable(copy) == comparable(original)


def test_pickle_written_by_another_process():
    script = (
        "import sys, velmora.orderbook as ob\n"
        "ob.__pyx_unpickle_Order(ob.Order, 0x39270c3, None)\n"
        "assert 'pickle' not in sys.modules  # imported only to refuse a checksum\n"
        "import pickle\n"
        "level = ob.PriceLevel(7, ob.OrderSide.ASK)\n"
        "for q in (4, 6): level.add_order(ob.Order(ob.OrderSide.ASK, q, 7))\n"
        "sys.stdout.buffer.write(pickle.dumps(level))\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(os.path.dirname(ob.__file__)), os.environ.get("PYTHONPATH", "")]))
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, check=True)
    level = pickle.loads(out.stdout)
    assert type(level) is PriceLevel and (level.price, level.total_quantity) == (7, 10)
    assert [fields(o) for o in level.queue.values()] == [
        ["1", 4, 7, 4, ASK, OrderStatus.OPEN], ["2", 6, 7, 6, ASK, OrderStatus.OPEN]]


def test_reduce_shapes():
    o = Order(BID, 5, 100)
    assert o.__reduce__() == (ob.__pyx_unpickle_Order, (Order, checksum(Order, "sha256"), None),
                              (o.order_id, 5, 100, 5, BID, OrderStatus.OPEN))
    assert Order.__new__(Order).__reduce__() == (
        ob.__pyx_unpickle_Order, (Order, ORDER_SUM, (None, 0, None, 0, None, None)))
    level = PriceLevel(1, BID)
    assert level.__reduce__() == (ob.__pyx_unpickle_PriceLevel,
                                  (PriceLevel, checksum(PriceLevel, "sha256"), None),
                                  (1, level.queue, BID, 0))
    bare = SubLevel.__new__(SubLevel)
    bare.total_quantity = 3
    assert bare.__reduce__() == (ob.__pyx_unpickle_PriceLevel,
                                 (SubLevel, LEVEL_SUM, (None, None, None, 3)))
    bare.x = 1
    assert bare.__reduce__() == (ob.__pyx_unpickle_PriceLevel, (SubLevel, LEVEL_SUM, None),
                                 (None, None, None, 3, {"x": 1}))


@pytest.mark.parametrize("field", ["order_id", "price", "side", "status"])
def test_any_object_field_selects_setstate(field):
    o = Order.__new__(Order)
    setattr(o, field, "1")
    assert len(o.__reduce__()) == 3


def test_reconstructor_is_looked_up_when_reducing(monkeypatch):
    monkeypatch.setattr(ob, "__pyx_unpickle_Order", len)
    assert Order(BID, 1).__reduce__()[0] is len
    monkeypatch.delattr(ob, "__pyx_unpickle_Order")
    with pytest.raises(NameError, match="^name '__pyx_unpickle_Order' is not defined$"):
        Order(BID, 1).__reduce__()


@pytest.mark.parametrize("algorithm", ["sha256", "sha1", "md5"])
@pytest.mark.parametrize("cls", [Order, PriceLevel])
def test_all_three_checksums_are_accepted(cls, algorithm):
    state = tuple(fields(cls.__new__(cls)))
    assert fields(UNPICKLE[cls](cls, checksum(cls, algorithm), state)) == list(state)


@pytest.mark.parametrize("cls, given, shown", [
    (Order, LEVEL_SUM, "0x414b38a"), (Order, -1, "0xffffffff"), (Order, 0, "0x0"),
    (Order, 2**32 + ORDER_SUM, "0x39270c3"), (PriceLevel, ORDER_SUM, "0x39270c3"),
    (PriceLevel, IntLike(-2**31), "0x80000000"),
], ids=["level-sum", "minus-one", "zero", "high-bits", "order-sum", "via-int"])
def test_foreign_checksum_is_refused(cls, given, shown):
    accepted = ", ".join(hex(checksum(cls, a)) for a in ("sha256", "sha1", "md5"))
    with pytest.raises(pickle.PickleError) as info:
        UNPICKLE[cls](int, given, None)  # refused before the bad type is tried
    assert str(info.value) == (
        f"Incompatible checksums ({shown} vs ({accepted}) = ({', '.join(FIELDS[cls])}))")


@pytest.mark.parametrize("call, message", [
    ("ob.__pyx_unpickle_Order(Order, ORDER_SUM)",
     "__pyx_unpickle_Order() takes exactly 3 positional arguments (2 given)"),
    ("ob.__pyx_unpickle_Order(Order, '1', None)", "an integer is required"),
    ("ob.__pyx_unpickle_Order(Order, ORDER_SUM, [1])",
     "Argument '__pyx_state' has incorrect type (expected tuple, got list)"),
    ("ob.__pyx_unpickle_PriceLevel(Order, LEVEL_SUM, None)", None),
    ("ob.__pyx_unpickle_Order(5, ORDER_SUM, None)", None),
    ("Order(BID, 1).__setstate__(None)",
     "cannot pass None into a C function argument that is declared 'not None'"),
    ("Order(BID, 1).__setstate__([])", "Expected tuple, got list"),
    ("PriceLevel(1, BID).__setstate__(type('T', (tuple,), {})())", "Expected tuple, got T"),
    ("PriceLevel(1, BID).__reduce__(1)",
     "__reduce__() takes exactly 0 positional arguments (1 given)"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        eval(call)
    assert message is None or str(info.value) == message


def test_reconstructor_keywords_subclass_and_no_init():
    counter = ob._order_counter
    o = ob.__pyx_unpickle_Order(__pyx_state=("x", 1, 2, 3, 4, 5),
                                __pyx_checksum=IntLike(ORDER_SUM), __pyx_type=SubOrder)
    assert type(o) is SubOrder and fields(o) == ["x", 1, 2, 3, 4, 5]
    assert ob._order_counter == counter
    with pytest.raises(TypeError) as info:
        ob.__pyx_unpickle_Order(Order, ORDER_SUM, type("T", (tuple,), {})())
    assert "subclasses of builtin types" in "".join(info.value.__notes__)
    assert traceback.extract_tb(info.tb)[-1].name == "velmora.orderbook.__pyx_unpickle_Order"


@pytest.mark.parametrize("item, stored", [
    (2147483647, 2147483647), (-2147483648, -2147483648), (3.9, 3), (True, 1), (IntLike(-7), -7)])
def test_quantity_items_accepted(item, stored):
    o = ob.__pyx_unpickle_Order(Order, ORDER_SUM, ("1", item, None, item, None, None))
    level = ob.__pyx_unpickle_PriceLevel(PriceLevel, LEVEL_SUM, (None, None, None, item))
    assert o.original_quantity == o.remaining_quantity == level.total_quantity == stored


# A bad state given to __setstate__ of a constructed object: the fields before the failing
# item take their new values, the later ones keep theirs.
@pytest.mark.parametrize("cls, state, error, message, written", [
    (Order, (1, 0, 0, 0, 0, 0), TypeError, "Expected str, got int", 0),
    (Order, (StrSub("a"), 0, 0, 0, 0, 0), TypeError, "Expected str, got StrSub", 0),
    (Order, ("a", 2147483648, 0, 0, 0, 0), OverflowError, "value too large to convert to int", 1),
    (Order, ("a", 1, "p", -2**31 - 1, 0, 0), OverflowError, "value too large to convert to int", 3),
    (Order, ("a", 1, "p", "q", 0, 0), TypeError, "an integer is required", 3),
    (Order, ("a", 1, "p"), IndexError, None, 3),
    (Order, (), IndexError, None, 0),
    (PriceLevel, ("p", "q"), IndexError, None, 2),
    (PriceLevel, ("p", "q", "s", 2**31), OverflowError, "value too large to convert to int", 3),
    (PriceLevel, ("p", "q", "s", 7, {"a": 1}), AttributeError, None, 4),
], ids=["id-int", "id-strsub", "original-2**31", "remaining-below-min", "remaining-str",
        "short-order", "empty-order", "short-level", "total-2**31", "dict-on-plain-level"])
def test_bad_state_keeps_earlier_writes(cls, state, error, message, written):
    obj = Order(BID, 5, "old") if cls is Order else PriceLevel("old", BID)
    before = fields(obj)
    with pytest.raises(error) as info:
        obj.__setstate__(state)
    assert message is None or str(info.value) == message
    assert fields(obj) == list(state[:written]) + before[written:]


@pytest.mark.parametrize("extra", [(None,), ({},), ({}, "ignored"), ({"a": 1}, "ignored")],
                         ids=["none", "empty-dict", "empty-then-more", "dict-then-more"])
def test_items_after_the_fields(extra):
    state = (1, "q", "s", 2) + extra
    level = SubLevel.__new__(SubLevel)
    level.__setstate__(state)
    assert fields(level) == [1, "q", "s", 2] and level.__dict__ == (extra[0] or {})
    if not extra[0]:  # a plain level has no __dict__ and needs none here
        assert fields(UNPICKLE[PriceLevel](PriceLevel, LEVEL_SUM, state)) == [1, "q", "s", 2]
