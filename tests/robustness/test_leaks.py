"""Reference leaks: every public operation, on its success and its failure paths, repeated
a thousand times must not leave allocated blocks behind, and arguments it does not keep
must get their references back.

Block counting needs the interpreter's own allocator: under PYTHONMALLOC=malloc (the
sanitizer job) sys.getallocatedblocks() returns 0 and these tests skip.
"""

import gc
import io
import pickle
import sys
from contextlib import redirect_stdout
from decimal import Decimal

import pytest

from conftest import (
    LEAK_REPEATS,
    LEVEL_CHECKSUM,
    ORDER_CHECKSUM,
    StrSub,
    TupleSub,
    assert_no_leak,
    raises,
    run_python,
)
from velmora import orderbook as ob

BID, ASK = ob.OrderSide.BID, ob.OrderSide.ASK


class Payload:
    """A fresh attribute value: not immortal, so a reference kept is a block kept."""


class SubOrder(ob.Order):
    pass


class SubLevel(ob.PriceLevel):
    pass


class Raising(Decimal):
    """A price whose crossing comparison fails."""

    def __ge__(self, other):
        raise RuntimeError("no comparison")


def _refuse(*values):
    raise RuntimeError("no record")


# --- the operations -------------------------------------------------------------------
# Each factory returns a callable that does one complete operation and leaves no state
# behind (fresh books and orders each time, unless the book is only read).


def order_ops():
    price = Decimal("100.25")

    def construct():
        ob.Order(BID, 10, price)
        ob.Order(side=ASK, original_quantity=3.7, price=None)

    def construct_errors():
        raises(OverflowError, ob.Order, BID, 2**31)
        raises(TypeError, ob.Order, BID, "10")
        raises(TypeError, ob.Order, BID)
        raises(TypeError, ob.Order, BID, 1, 2, 3)
        raises(TypeError, ob.Order, BID, 1, colour="red")
        raises(TypeError, ob.Order, BID, 1, side=ASK)

    order = ob.Order(BID, 10, price)

    def set_and_delete():
        order.side = Payload()
        order.price = Decimal("3.5")
        order.status = Payload()
        order.order_id = "x" + "y"
        order.remaining_quantity = 2.5
        order.original_quantity = 7
        del order.side, order.price, order.status, order.order_id

    def set_errors():
        raises(TypeError, setattr, order, "order_id", 5)
        raises(TypeError, setattr, order, "order_id", StrSub("1"))
        raises(OverflowError, setattr, order, "remaining_quantity", 2**40)
        raises(TypeError, setattr, order, "remaining_quantity", "3")
        raises(NotImplementedError, delattr, order, "remaining_quantity")
        raises(NotImplementedError, delattr, order, "original_quantity")
        raises(AttributeError, setattr, order, "colour", "red")

    return {
        "Order-construct": construct,
        "Order-construct-errors": construct_errors,
        "Order-attributes": set_and_delete,
        "Order-attribute-errors": set_errors,
    }


def level_ops():
    def cycle():
        level = ob.PriceLevel(Decimal("10.5"), ASK)
        a, b, c = ob.Order(ASK, 5, 1), ob.Order(ASK, 3, 1), ob.Order(ASK, 2, 1)
        level.add_order(a)
        level.add_order(order=b)
        level.add_order(c)
        level.peek()
        level.pop()
        level.remove_order(c.order_id)
        level.remove_order("missing")
        level.remove_order(None)
        level.pop()
        level.pop()
        level.peek()

    def errors():
        level = ob.PriceLevel(1, BID)
        raises(TypeError, level.remove_order, 5)
        raises(TypeError, level.remove_order, StrSub("1"))
        raises(AttributeError, level.add_order, Payload())
        raises(TypeError, level.peek, 1)
        raises(TypeError, level.pop, x=1)
        raises(TypeError, ob.PriceLevel, 1)
        level.total_quantity = 2**31 - 1
        raises(OverflowError, level.add_order, ob.Order(BID, 1, 1))
        raises(NotImplementedError, delattr, level, "total_quantity")
        level.total_quantity = 0
        del level.queue
        raises(TypeError, level.add_order, ob.Order(BID, 1, 1))

    return {"PriceLevel-methods": cycle, "PriceLevel-errors": errors}


def book_ops():
    def resting():
        book = ob.OrderBook()
        book.add_limit_order(ob.Order(BID, 5, Decimal("99.5")))
        book.add_limit_order(ob.Order(BID, 5, Decimal("99.5")))
        book.add_limit_order(ob.Order(ASK, 5, Decimal("101")))

    def crossing():
        book = ob.OrderBook()
        book.add_limit_order(ob.Order(ASK, 5, Decimal("100")))
        book.add_limit_order(ob.Order(BID, 3, Decimal("100")))
        book.add_limit_order(ob.Order(BID, 4, Decimal("101")))

    def sweeping():
        book = ob.OrderBook()
        for p in ("100", "101", "102"):
            book.add_limit_order(ob.Order(BID, 2, Decimal(p)))
        book.add_limit_order(ob.Order(ASK, 10, Decimal("99")))

    def market():
        book = ob.OrderBook()
        book.add_limit_order(ob.Order(ASK, 2, Decimal("100")))
        book.add_limit_order(ob.Order(ASK, 2, Decimal("101")))
        book.add_market_order(ob.Order(BID, 3))
        book.add_market_order(ob.Order(BID, 5))
        book.add_market_order(ob.Order(ASK, 5))

    def cancel():
        book = ob.OrderBook()
        order = ob.Order(ASK, 2, Decimal("100"))
        book.add_limit_order(order)
        book.add_limit_order(ob.Order(ASK, 2, Decimal("100")))
        book.cancel_order(order.order_id)
        book.cancel_order(order.order_id)
        book.cancel_order("no such order")

    def entry_errors():
        book = ob.OrderBook()
        resting = ob.Order(BID, 1, Decimal("5"))
        book.add_limit_order(resting)
        raises(TypeError, book.add_limit_order, None)
        raises(TypeError, book.add_market_order, Payload())
        raises(TypeError, book._match, None)
        raises(TypeError, book._update_limit_order, 5)
        raises(ValueError, book.add_limit_order, ob.Order(BID, 1))
        raises(ValueError, book.add_limit_order, ob.Order(BID, 1, Decimal("NaN")))
        raises(ValueError, book.add_limit_order, resting)
        raises(ValueError, book.add_market_order, resting)
        raises(TypeError, book.add_limit_order, ob.Order(ASK, 1, "text"))
        raises(TypeError, book.add_limit_order)
        raises(TypeError, book.add_limit_order, order=resting, other=1)
        raises(TypeError, ob.OrderBook, 1)
        raises(TypeError, ob.OrderBook, x=1)

    def cancel_errors():
        book = ob.OrderBook()
        raises(TypeError, book.cancel_order, 5)
        raises(TypeError, book.cancel_order, None)
        raises(TypeError, book.cancel_order, StrSub("1"))
        raises(TypeError, book.cancel_order)
        raises(TypeError, book.cancel_order, "1", order_id="1")
        raises(TypeError, book.cancel_order, **{"x": "1"})

    def cancel_moved_order():
        book = ob.OrderBook()
        order = ob.Order(BID, 1, Decimal("5"))
        book.add_limit_order(order)
        order.price = Decimal("6")
        raises(KeyError, book.cancel_order, order.order_id)

    shown = ob.OrderBook()
    for p in ("100", "101"):
        shown.add_limit_order(ob.Order(ASK, 2, Decimal(p)))
        shown.add_limit_order(ob.Order(BID, 2, Decimal(p) - 5))
    shown.add_market_order(ob.Order(BID, 3))

    def read():
        shown.best_bid()
        shown.best_ask()
        str(shown)
        raises(TypeError, shown.best_bid, 1)
        raises(TypeError, shown.__str__, 1)

    def print_log():
        with redirect_stdout(io.StringIO()):
            shown.print_trade_log()
            ob.OrderBook().print_trade_log()
        raises(TypeError, shown.print_trade_log, x=1)

    def report_errors():
        book = ob.OrderBook()
        book.asks = None
        raises(AttributeError, str, book)
        book.trade_log = [None]
        with redirect_stdout(io.StringIO()):
            raises(AttributeError, book.print_trade_log)

    def subclassed_records():
        # Subclasses take the engine's attribute-access paths instead of the fields.
        saved = ob.PriceLevel
        ob.PriceLevel = SubLevel
        try:
            book = ob.OrderBook()
            for p in ("100", "101"):
                book.add_limit_order(SubOrder(ASK, 2, Decimal(p)))
                book.add_limit_order(SubOrder(ASK, 1, Decimal(p)))
            book.add_limit_order(SubOrder(BID, 4, Decimal("101")))
            book.add_market_order(SubOrder(BID, 1))
            resting = SubOrder(BID, 1, Decimal("90"))
            book.add_limit_order(resting)
            book.cancel_order(resting.order_id)
            str(book)
        finally:
            ob.PriceLevel = saved

    def failures_mid_match():
        book = ob.OrderBook()
        book.add_limit_order(ob.Order(ASK, 2, Decimal("100")))
        book.add_limit_order(ob.Order(ASK, 2, Decimal("101")))
        raises(RuntimeError, book.add_limit_order, ob.Order(BID, 3, Raising("102")))
        saved = ob.Trade
        ob.Trade = _refuse
        try:
            raises(RuntimeError, book.add_market_order, ob.Order(BID, 3))
        finally:
            ob.Trade = saved
        book.asks[Decimal("100")].queue = ob.OrderedDict(x=5)
        raises(AttributeError, book.add_market_order, ob.Order(BID, 3))
        book.orders["y"] = (None, 5)
        raises(AttributeError, book.cancel_order, "y")

    return {
        "OrderBook-subclassed-records": subclassed_records,
        "OrderBook-failures-mid-match": failures_mid_match,
        "OrderBook-resting": resting,
        "OrderBook-crossing": crossing,
        "OrderBook-sweeping": sweeping,
        "OrderBook-market": market,
        "OrderBook-cancel": cancel,
        "OrderBook-entry-errors": entry_errors,
        "OrderBook-cancel-errors": cancel_errors,
        "OrderBook-cancel-moved-order": cancel_moved_order,
        "OrderBook-read": read,
        "OrderBook-print-trade-log": print_log,
        "OrderBook-report-errors": report_errors,
    }


def pickle_ops():
    order = ob.Order(BID, 5, Decimal("100.5"))
    level = ob.PriceLevel(Decimal("100.5"), BID)
    level.add_order(order)

    def round_trip():
        pickle.loads(pickle.dumps(order))
        pickle.loads(pickle.dumps(level))
        ob.Order.__new__(ob.Order).__reduce__()
        ob.__pyx_unpickle_Order(ob.Order, 0xC72E32A, ("1", 1, None, 1, BID, None))

    def refusals():
        raises(pickle.PickleError, ob.__pyx_unpickle_Order, ob.Order, 1, None)
        raises(pickle.PickleError, ob.__pyx_unpickle_PriceLevel, ob.PriceLevel, -1, None)
        raises(TypeError, ob.__pyx_unpickle_Order, ob.Order, ORDER_CHECKSUM, [])
        raises(TypeError, ob.__pyx_unpickle_Order, ob.Order, ORDER_CHECKSUM, TupleSub())
        raises(TypeError, ob.__pyx_unpickle_Order, ob.Order, "x", None)
        raises(TypeError, ob.__pyx_unpickle_Order, ob.Order, ORDER_CHECKSUM)
        raises(TypeError, ob.__pyx_unpickle_Order, int, ORDER_CHECKSUM, None)
        raises(OverflowError, ob.__pyx_unpickle_Order, ob.Order, 2**64, None)
        state = ("1", 2**31, None, 1, BID, None)
        raises(OverflowError, ob.__pyx_unpickle_Order, ob.Order, ORDER_CHECKSUM, state)
        raises(TypeError, ob.__pyx_unpickle_Order, ob.Order, ORDER_CHECKSUM, (5, 1, None, 1, BID, None))
        raises(IndexError, ob.__pyx_unpickle_PriceLevel, ob.PriceLevel, LEVEL_CHECKSUM, (1,))
        fresh = ob.PriceLevel(1, ASK)
        raises(AttributeError, fresh.__setstate__, (1, None, ASK, 0, {"x": 1}))
        raises(TypeError, fresh.__setstate__, None)
        raises(TypeError, fresh.__setstate__, [])
        raises(TypeError, order.__reduce__, 1)

    return {"pickle-round-trips": round_trip, "pickle-refusals": refusals}


def definition_ops():
    def next_id():
        ob._next_id()
        raises(TypeError, ob._next_id, 1)
        raises(TypeError, ob._next_id, x=1)

    namespace = vars(ob)

    def next_id_missing_counter():
        saved = dict(namespace)
        del namespace["_order_counter"]
        try:
            raises(NameError, ob._next_id)
        finally:
            # Put every name back in its original order.
            namespace.clear()
            namespace.update(saved)

    return {"_next_id": next_id, "_next_id-missing-counter": next_id_missing_counter}


OPERATIONS = {}
for _factory in (order_ops, level_ops, book_ops, pickle_ops, definition_ops):
    OPERATIONS.update({name: _factory for name in _factory()})


@pytest.mark.parametrize("name", sorted(OPERATIONS))
def test_no_blocks_left_behind(name):
    fn = OPERATIONS[name]()[name]
    assert_no_leak(fn, n=LEAK_REPEATS // 2 if name.startswith("OrderBook-sweep") else LEAK_REPEATS)


# --- references to the caller's arguments ---------------------------------------------


def fresh_arguments():
    """Objects that are not immortal and not cached, so their counts move."""
    return {
        "price": Decimal("123.456"),
        "big": 10**30,
        "side": Payload(),
        "text": "".join(["not", "-", "an", "-", "id"]),
        "thing": Payload(),
    }


def exercise(args):
    """Every operation with the fresh arguments, on success and failure paths; whatever
    keeps an argument is dropped before the counts are compared."""
    price, big, side, text, thing = (
        args["price"],
        args["big"],
        args["side"],
        args["text"],
        args["thing"],
    )
    book = ob.OrderBook()
    book.add_limit_order(ob.Order(ASK, 5, price))
    book.add_limit_order(ob.Order(BID, 3, price))
    book.add_market_order(ob.Order(BID, 4, price))
    book.add_limit_order(ob.Order(side, 2, price))
    book.cancel_order(text)
    raises(TypeError, book.cancel_order, thing)
    raises(TypeError, book.cancel_order, big)
    raises(TypeError, book.add_limit_order, thing)
    raises(TypeError, book.add_market_order, big)
    raises(OverflowError, ob.Order, BID, big, price)
    raises(TypeError, ob.Order, BID, text, price)
    raises(TypeError, ob.Order, BID, thing, price)
    raises(TypeError, ob.Order, BID, 1, price, thing)
    order = ob.Order(BID, 1, price)
    raises(OverflowError, setattr, order, "remaining_quantity", big)
    raises(TypeError, setattr, order, "order_id", thing)
    order.order_id = text
    order.order_id = None
    level = ob.PriceLevel(price, side)
    raises(AttributeError, level.add_order, thing)
    raises(TypeError, level.remove_order, thing)
    level.remove_order(text)
    raises(OverflowError, setattr, level, "total_quantity", big)
    raises(pickle.PickleError, ob.__pyx_unpickle_Order, ob.Order, big % 2**40, None)
    raises(TypeError, ob.__pyx_unpickle_Order, ob.Order, thing, None)
    raises(OverflowError, ob.__pyx_unpickle_Order, ob.Order, ORDER_CHECKSUM, (text, big, price, 1, side, thing))
    raises(TypeError, ob.__pyx_unpickle_Order, thing, ORDER_CHECKSUM, None)
    pickle.loads(pickle.dumps(ob.Order(BID, 1, price)))
    str(book)
    with redirect_stdout(io.StringIO()):
        book.print_trade_log()


def test_arguments_get_their_references_back():
    args = fresh_arguments()
    exercise(args)  # warm up: first-use caches are not leaks
    gc.collect()
    before = {name: sys.getrefcount(value) for name, value in args.items()}
    for _ in range(100):
        exercise(args)
    gc.collect()
    after = {name: sys.getrefcount(value) for name, value in args.items()}
    assert after == before


# --- attribute look-ups on the modules that fail -----------------------------------------


def _from_import(module):
    try:
        exec(f"from {module.__spec__.name} import no_such_name", {})
    except ImportError:
        return
    raise AssertionError("the import did not fail")


def _absent(found):
    assert not found


FAILED_LOOKUPS = {
    "hasattr": lambda m, name: _absent(hasattr(m, name)),
    "getattr-default": lambda m, name: _absent(getattr(m, name, None)),
    "getattr": lambda m, name: raises(AttributeError, getattr, m, name),
    "from-import": lambda m, name: _from_import(m),
    "name-not-a-string": lambda m, name: raises(TypeError, getattr, m, 5),
    # velmora.core has a module __getattr__ of its own, which can be called with anything.
    "__getattr__-not-a-string": lambda m, name: raises(TypeError, m.__getattr__, name.encode()),
}


@pytest.mark.parametrize("module_name, lookup", [
    *((m, lookup) for m in ("orderbook", "core") for lookup in FAILED_LOOKUPS
      if not lookup.startswith("__getattr__")),
    ("core", "__getattr__-not-a-string"),
])
def test_failed_module_lookups_keep_no_references(monkeypatch, module_name, lookup):
    module = __import__(f"velmora.{module_name}", fromlist=["_"])
    # A fresh, not interned, module name: a reference kept to it shows in its count.
    name = "".join(["velmora.", module_name])
    monkeypatch.setattr(module, "__name__", name)
    missing = "".join(["no_such", "_name"])
    fn = lambda: FAILED_LOOKUPS[lookup](module, missing)  # noqa: E731
    fn()
    counts = sys.getrefcount(name), sys.getrefcount(missing)
    for _ in range(LEAK_REPEATS):
        fn()
    assert (sys.getrefcount(name), sys.getrefcount(missing)) == counts
    assert_no_leak(fn)


def test_failed_dtype_lookup_without_numpy_keeps_no_references():
    out = run_python("""
        import sys
        sys.modules["numpy"] = None  # as if NumPy were not installed
        from velmora import core
        core.__name__ = name = "".join(["velmora.", "core"])
        before = sys.getrefcount(name), sys.getallocatedblocks()
        for _ in range(1000):
            try:
                core.EVENT_DTYPE
            except ImportError:
                pass
        print(sys.getrefcount(name) - before[0], sys.getallocatedblocks() - before[1] < 100)
    """)
    assert out.split() == ["0", "True"]
