"""Scenarios that attack the engine's inline caches (the book's attributes and methods read
straight from the instance) and its other shortcuts: shadowing instance attributes, a
materialised or replaced __dict__, classes patched after the caches were filled, subclasses
with properties, __getattr__ or __getattribute__, a switched __class__, rebound module names
and prices that are equal across types. Each scenario returns a transcript of everything
observable: results, exceptions and their messages, the trades, the book's state and str().

    python cache_scenarios.py [name ...]     prints the transcripts (default: all)

The differential test compares these transcripts between a build with the shortcuts and one
with them compiled out; run here, each scenario also checks the point of its attack.
"""

import sys
from decimal import Decimal as D

from velmora import orderbook as ob

BID, ASK = ob.OrderSide.BID, ob.OrderSide.ASK


class Transcript(list):
    def attempt(self, label, fn, *args):
        try:
            result = fn(*args)
        except Exception as exc:  # noqa: BLE001 - the exception is what is recorded
            self.append(f"{label}: {type(exc).__name__}: {exc}")
            return exc
        self.append(f"{label}: {result!r}")
        return result

    def state(self, label, book):
        """The book as its users see it, read the ordinary way (a read that raises is
        recorded as such)."""

        def read(fn):
            try:
                return repr(fn())
            except Exception as exc:  # noqa: BLE001
                return f"{type(exc).__name__}: {exc}"

        def trades():
            return [(t.price, t.quantity_filled, t.aggressor_side.name, t.aggressor_id,
                     t.filler_id, t.trade_type.name) for t in book.trade_log]

        def sides():
            return [[(p, lv.total_quantity, list(lv.queue)) for p, lv in side.items()]
                    for side in (book.bids, book.asks)]

        self.append(f"{label}: trades={read(trades)} sides={read(sides)} "
                    f"orders={read(lambda: list(book.orders))} "
                    f"best={read(book.best_bid)},{read(book.best_ask)}")
        self.append(read(lambda: str(book)))


def order(side, qty, price=None):
    return ob.Order(side, qty, None if price is None else D(price))


def limit(t, book, side, qty, price):
    o = order(side, qty, price)
    t.attempt(f"limit {side.name} {qty}@{price}", book.add_limit_order, o)
    return o


def warm(t, book):
    """Fills every cache: levels on both sides, a trade, a cancellation."""
    limit(t, book, ASK, 5, "101")
    limit(t, book, ASK, 5, "102")
    limit(t, book, BID, 5, "99")
    keep = limit(t, book, BID, 2, "98")
    limit(t, book, BID, 3, "101")
    t.attempt("cancel", book.cancel_order, keep.order_id)


SCENARIOS = {}


def scenario(fn):
    SCENARIOS[fn.__name__] = fn
    return fn


@scenario
def method_shadowed_after_warm_up():
    t, book = Transcript(), ob.OrderBook()
    warm(t, book)
    calls = []
    book.best_ask = lambda: calls.append("best_ask") or D("1000")
    limit(t, book, BID, 1, "150")  # blind to the real ask: rests instead of trading
    del book.best_ask
    limit(t, book, BID, 1, "150")
    t.state("after", book)
    assert calls == ["best_ask"]
    return t


@scenario
def match_shadowed_on_one_of_two_books():
    t, plain, shadowed = Transcript(), ob.OrderBook(), ob.OrderBook()
    warm(t, plain)
    warm(t, shadowed)
    shadowed._match = lambda o: t.append(f"shadow match {o.order_id}") or setattr(
        o, "remaining_quantity", 0)
    for book in (plain, shadowed, plain, shadowed):
        limit(t, book, BID, 1, "102")
        t.state("book", book)
    assert any(line.startswith("shadow match") for line in t)
    return t


@scenario
def dict_materialised_then_replaced():
    t, book = Transcript(), ob.OrderBook()
    warm(t, book)
    t.append(f"dict keys: {list(vars(book))}")
    limit(t, book, BID, 2, "102")
    book.__dict__ = dict(vars(book), extra=1)
    limit(t, book, ASK, 1, "97")
    t.attempt("cancel", book.cancel_order, "nope")
    t.state("after", book)
    return t


@scenario
def attributes_deleted_and_restored():
    t, book = Transcript(), ob.OrderBook()
    warm(t, book)
    log = book.trade_log
    del book.trade_log
    limit(t, book, BID, 1, "102")  # trades, then cannot log it
    book.trade_log = log
    saved = book.orders
    del book.orders
    t.attempt("cancel", book.cancel_order, "1")
    book.orders = saved
    del book._best_bid
    t.attempt("best_bid", book.best_bid)
    book._best_bid = next(iter(book.bids.keys()), None)
    limit(t, book, ASK, 1, "90")
    del book._best_ask  # and the engine's own best_ask() would need it, so:
    book.best_ask = lambda: next(iter(book.asks.keys()), None)
    limit(t, book, BID, 20, "101")  # empties the best ask level: the engine stores the new best
    del book.best_ask
    t.state("after", book)
    t.append(f"attributes in order: {list(vars(book))}")
    assert list(vars(book))[-1] == "_best_ask"
    return t


@scenario
def property_added_to_a_subclass_after_warm_up():
    class Sub(ob.OrderBook):
        pass

    t, book = Transcript(), Sub()
    warm(t, book)
    real = book.orders
    Sub.orders = property(lambda self: t.append("orders via property") or real)
    limit(t, book, BID, 1, "102")
    t.attempt("cancel", book.cancel_order, "nope")
    del Sub.orders
    limit(t, book, BID, 1, "102")
    t.state("after", book)
    assert "orders via property" in t
    return t


@scenario
def class_attribute_behind_a_deleted_instance_attribute():
    class Sub(ob.OrderBook):
        pass

    t, book = Transcript(), Sub()
    warm(t, book)
    Sub._best_ask = D("500")  # hidden while the instance has its own
    limit(t, book, BID, 1, "105")
    del book._best_ask
    t.attempt("best_ask", book.best_ask)
    limit(t, book, BID, 1, "104")
    t.state("after", book)
    return t


@scenario
def getattr_fallback_and_getattribute_log():
    class Fallback(ob.OrderBook):
        def __getattr__(self, name):
            t.append(f"__getattr__ {name}")
            return None

    class Logged(ob.OrderBook):
        def __getattribute__(self, name):
            t.append(f"get {name}")
            return super().__getattribute__(name)

    t = Transcript()
    for cls in (Fallback, Logged):
        book = cls()
        warm(t, book)
        del book._best_ask
        limit(t, book, BID, 1, "103")
        t.state(cls.__name__, book)
    assert "__getattr__ _best_ask" in t
    return t


@scenario
def class_switched_under_warm_caches():
    class Sub(ob.OrderBook):
        @property
        def _best_ask(self):
            t.append("_best_ask via property")
            return next(iter(self.asks.keys()), None)

        @_best_ask.setter
        def _best_ask(self, value):
            t.append(f"_best_ask set to {value!r}")

    t, book = Transcript(), ob.OrderBook()
    warm(t, book)
    book.__class__ = Sub
    limit(t, book, BID, 1, "102")
    limit(t, book, ASK, 1, "100.5")
    book.__class__ = ob.OrderBook
    limit(t, book, BID, 9, "103")
    t.state("after", book)
    return t


@scenario
def methods_patched_on_a_subclass_and_keys_grown_by_another_book():
    class Sub(ob.OrderBook):
        pass

    t, one, two = Transcript(), Sub(), Sub()
    warm(t, one)
    two.best_bid = lambda: t.append("two's own best_bid") or None  # grows the shared keys
    limit(t, one, ASK, 1, "97")
    limit(t, two, ASK, 1, "97")
    Sub._match = lambda self, o: t.append(f"patched _match {o.order_id}") or setattr(
        o, "remaining_quantity", 0)
    limit(t, one, ASK, 1, "97")
    del Sub._match
    limit(t, one, ASK, 1, "97")
    t.state("one", one)
    t.state("two", two)
    return t


@scenario
def many_attributes_keep_the_instance_in_a_dict():
    t, book = Transcript(), ob.OrderBook()
    for i in range(40):
        setattr(book, f"extra{i}", i)
    warm(t, book)
    fresh = ob.OrderBook()
    warm(t, fresh)
    t.state("crowded", book)
    t.state("fresh", fresh)
    return t


@scenario
def released_cache_value_runs_code():
    class Noisy(D):
        def __del__(self):
            t.append(f"released {D(self)}")
            book._best_bid = book._best_bid  # a store from inside the store

    t, book = Transcript(), ob.OrderBook()
    warm(t, book)
    book._best_ask = Noisy("101")
    limit(t, book, ASK, 1, "100.5")  # a better ask replaces the cached one
    t.state("after", book)
    return t


@scenario
def rebound_names_and_prices_equal_across_types():
    class Key:
        def __init__(self, value):
            self.value = value

        def __hash__(self):
            return hash(D(self.value))

        def __eq__(self, other):
            t.append(f"Key.__eq__ {other!r}")
            return D(self.value) == other

        def __le__(self, other):
            return D(self.value) <= other

        def __ge__(self, other):
            return D(self.value) >= other

        def __repr__(self):
            return f"Key({self.value})"

    t, book = Transcript(), ob.OrderBook()
    warm(t, book)
    for price in (100, 100.0, D("100"), Key("100")):
        t.attempt(f"ask at {price!r}", book.add_limit_order, ob.Order(ASK, 1, price))
    saved = ob.Trade
    ob.Trade = lambda *args: t.append(f"Trade{args[:2]}") or saved(*args)
    try:
        limit(t, book, BID, 3, "100")
    finally:
        ob.Trade = saved
    t.state("after", book)
    return t


@scenario
def decimal_prices_read_natively_and_not():
    class Loud(D):
        def __eq__(self, other):
            t.append(f"Loud.__eq__ {other!r}")
            return D.__eq__(self, other)

        __hash__ = D.__hash__

    t, book = Transcript(), ob.OrderBook()
    # A level keyed by a subclass, levels of other exponents and signs, and two prices of one
    # hash (Decimal hashes are taken modulo 2**61 - 1).
    for price in (Loud("101.00"), D("102.0"), D("-0.00"), D(1), D(2**61)):
        t.attempt(f"ask at {price!r}", book.add_limit_order, ob.Order(ASK, 1, price))
    for price in ("101.00", "101", "102.00", "0.00", "-0", "1", str(2**61), "2305843009213693952.0"):
        t.attempt(f"ask at {price}", book.add_limit_order, ob.Order(ASK, 1, D(price)))
    ids = list(book.orders)
    for order_id in ids[1::2]:  # cancelling leaves deleted slots in the side's table
        t.attempt(f"cancel {order_id}", book.cancel_order, order_id)
    for price in ("-0.00", "0", "101.000", "102", "1.00", "3"):
        limit(t, book, BID, 1, price)
    t.state("after", book)
    assert any(line.startswith("Loud.__eq__") for line in t)
    return t


def transcript(names):
    return "\n".join(f"== {name}\n" + "\n".join(SCENARIOS[name]()) for name in names)


if __name__ == "__main__":
    sys.stdout.write(transcript(sys.argv[1:] or SCENARIOS) + "\n")
