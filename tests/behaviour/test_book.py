"""OrderBook as a class: construction, best prices, the function objects, argument errors,
tracebacks, overriding by subclasses, and rebound or changed globals and classes."""

import inspect
from decimal import Decimal as D

import pytest

from conftest import names_in_traceback, rest
from velmora.orderbook import Order, OrderBook, OrderSide, OrderStatus

BID, ASK = OrderSide.BID, OrderSide.ASK

METHODS = [  # name, parameters, annotations, in class-body order
    ("__init__", "(self)", {}),
    ("_match", "(self, order)", {"order": "Order"}),
    ("_update_limit_order", "(self, order)", {"order": "Order"}),
    ("add_limit_order", "(self, order)", {"order": "Order", "return": "None"}),
    ("add_market_order", "(self, order)", {"order": "Order", "return": "None"}),
    ("cancel_order", "(self, order_id)", {"order_id": "str", "return": "bool"}),
    ("best_bid", "(self)", {"return": "Decimal"}),
    ("best_ask", "(self)", {"return": "Decimal"}),
    ("print_trade_log", "(self)", {}),
    ("__str__", "(self)", {}),
]


def test_new_book_is_empty_with_own_containers():
    a, b = OrderBook(), OrderBook()
    assert list(vars(a)) == ["bids", "asks", "orders", "_best_bid", "_best_ask", "trade_log"]
    assert (a.best_bid(), a.best_ask(), dict(a.bids), dict(a.asks)) == (None, None, {}, {})
    assert a.orders == {} and a.trade_log == []
    assert type(a.orders) is dict and type(a.trade_log) is list
    for name in ("bids", "asks", "orders", "trade_log"):
        assert getattr(a, name) is not getattr(b, name)
    assert a.bids.key is not b.bids.key
    rest(a, BID, 1, "100")
    assert not b.bids and b.best_bid() is None
    b._best_bid, b._best_ask = "b", "a"  # the cached attributes, returned as they are
    assert (b.best_bid(), b.best_ask()) == ("b", "a") and inspect.ismethod(b.best_bid)


def test_bid_key_function_negates():
    key = OrderBook().bids.key
    assert (key.__name__, key.__qualname__, key.__module__) == (
        "<lambda>", "OrderBook.__init__.<locals>.<lambda>", "velmora.orderbook")
    assert key(D("2.5")) == D("-2.5") and key(x=3) == -3
    with pytest.raises(TypeError, match=r"^bad operand type for unary -: 'str'$"):
        key("a")


def test_sides_iterate_best_first():
    book = OrderBook()
    for p in ("100", "101"):
        rest(book, BID, 1, p)
    for p in ("103", "102"):
        rest(book, ASK, 1, p)
    assert list(book.bids) == [D("101"), D("100")] and book.best_bid() == D("101")
    assert list(book.asks) == [D("102"), D("103")] and book.best_ask() == D("102")


def test_class_shape():
    assert type(OrderBook) is type and OrderBook.__bases__ == (object,)
    assert (OrderBook.__module__, OrderBook.__qualname__, OrderBook.__doc__) == (
        "velmora.orderbook", "OrderBook", None)
    own = [k for k in vars(OrderBook) if not k.startswith("__") or k in ("__init__", "__str__")]
    assert own == [m[0] for m in METHODS]


@pytest.mark.parametrize("name, sig, annotations", METHODS, ids=[m[0] for m in METHODS])
def test_function_objects(name, sig, annotations):
    fn = vars(OrderBook)[name]
    assert (fn.__name__, fn.__qualname__, fn.__module__, fn.__doc__) == (
        name, f"OrderBook.{name}", "velmora.orderbook", None)
    assert fn.__annotations__ == annotations
    assert str(inspect.signature(fn)) == sig


ORDER_TYPE = "Argument 'order' has incorrect type (expected velmora.orderbook.Order, got %s)"


ARGUMENT_ERRORS = [
    ("OrderBook(1)", "__init__() takes exactly 1 positional argument (2 given)"),
    ("OrderBook(x=1)", "__init__() got an unexpected keyword argument 'x'"),
    ("b.cancel_order()", "cancel_order() takes exactly 2 positional arguments (1 given)"),
    ("b.cancel_order(x='1')", "cancel_order() got an unexpected keyword argument 'x'"),
    ("b.cancel_order('1', order_id='1')",
     "cancel_order() got multiple values for keyword argument 'order_id'"),
    ("b.cancel_order(5)", "Argument 'order_id' has incorrect type (expected str, got int)"),
    ("b.cancel_order(None)", "Argument 'order_id' has incorrect type (expected str, got NoneType)"),
    ("b.best_bid(1)", "best_bid() takes exactly 1 positional argument (2 given)"),
    ("OrderBook.best_ask()", "best_ask() takes exactly 1 positional argument (0 given)"),
    ("OrderBook.__str__(b, 1)", "__str__() takes exactly 1 positional argument (2 given)"),
    ("b.print_trade_log(s=1)", "print_trade_log() got an unexpected keyword argument 's'"),
    ("b._match()", "_match() takes exactly 2 positional arguments (1 given)"),
    ("b.add_limit_order(order=1.5)", ORDER_TYPE % "float"),
] + [(f"b.{m}(None)", ORDER_TYPE % "NoneType")
     for m in ("_match", "_update_limit_order", "add_limit_order", "add_market_order")]


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS, ids=[c for c, _ in ARGUMENT_ERRORS])
def test_argument_errors(call, message):
    book = OrderBook()
    rest(book, BID, 5, "100")
    before = (dict(book.bids), dict(book.orders), book._best_bid)
    with pytest.raises(TypeError) as info:
        eval(call, {"b": book, "OrderBook": OrderBook})
    assert str(info.value) == message
    assert (dict(book.bids), dict(book.orders), book._best_bid) == before


def test_str_subclass_order_id_refused_with_note():
    class S(str):
        pass

    with pytest.raises(TypeError) as info:
        OrderBook().cancel_order(S("1"))
    assert str(info.value) == "Argument 'order_id' has incorrect type (expected str, got S)"
    assert "subclasses of builtin types" in info.value.__notes__[0]


def test_keyword_self_and_unbound_calls():
    book = OrderBook()
    o = Order(BID, 3, D(1))
    OrderBook.add_limit_order(self=book, order=o)
    assert OrderBook.cancel_order(book, order_id=o.order_id) is True
    assert OrderBook.__str__(self=book) == str(book)


def test_tracebacks_name_each_function():
    book = OrderBook()
    with pytest.raises(TypeError) as info:
        book.cancel_order(1)
    assert names_in_traceback(info.value)[-1] == "velmora.orderbook.OrderBook.cancel_order"
    rest(book, ASK, 1, "100")
    book._best_ask = D("99")  # a cache that names no level: the lookup in _match fails
    with pytest.raises(KeyError) as info:
        book.add_limit_order(Order(BID, 1, D("100")))
    assert names_in_traceback(info.value)[-2:] == [
        "velmora.orderbook.OrderBook.add_limit_order", "velmora.orderbook.OrderBook._match"]


class Recording(OrderBook):
    """Overrides reached through attribute lookup on the book."""

    blind = False

    def best_ask(self):
        return D("1000") if self.blind else super().best_ask()

    def _match(self, order):
        self.calls.append(("_match", self.best_ask()))
        return super()._match(order)

    def _update_limit_order(self, order):
        self.calls.append(("_update_limit_order", order.remaining_quantity))
        return super()._update_limit_order(order)


def test_subclass_overrides_are_called():
    book = Recording()
    book.calls = []
    for p in ("100", "101", "103"):
        rest(book, ASK, 2, p)
    book.calls = []
    book.add_limit_order(Order(BID, 5, D("102")))
    assert book.calls == [("_match", D("100")), ("_match", D("101")), ("_update_limit_order", 1)]
    book.blind, book.calls = True, []
    buy = rest(book, BID, 2, "150")  # crosses the real best ask, but not the one it is told
    assert book.calls == [("_update_limit_order", 2)] and book.orders[buy.order_id][1] is buy


def test_changed_classes_are_seen_at_the_next_use(monkeypatch):
    from sortedcontainers import SortedDict

    book = OrderBook()
    o = rest(book, BID, 1, "100")
    seen = []

    def getitem(self, key):
        seen.append(key)
        return dict.__getitem__(self, key)

    monkeypatch.setattr(SortedDict, "__getitem__", getitem)
    monkeypatch.setattr(SortedDict, "__contains__", lambda self, key: seen.append("in") or True)
    original = OrderStatus.CANCELLED
    type.__setattr__(OrderStatus, "CANCELLED", "withdrawn")  # past the enum's own guard
    try:
        rest(book, BID, 1, "100")
        assert book.cancel_order(o.order_id) is True and o.status == "withdrawn"
    finally:
        type.__setattr__(OrderStatus, "CANCELLED", original)
    assert seen == ["in", D("100"), D("100"), D("100")]
    monkeypatch.undo()
    assert book.cancel_order(list(book.orders)[0]) is True
    assert seen == ["in", D("100"), D("100"), D("100")] and not book.bids
