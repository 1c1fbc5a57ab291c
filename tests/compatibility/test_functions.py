"""The module's native function objects: attributes, binding like Python functions,
pickling by reference."""

import inspect
import pickle

import pytest

import velmora.orderbook as ob
from velmora.orderbook import OrderBook, PriceLevel


FUNCTIONS = [ob._next_id, vars(OrderBook)["cancel_order"], vars(PriceLevel)["peek"],
             ob.__pyx_unpickle_Order]


@pytest.mark.parametrize("fn", FUNCTIONS, ids=lambda f: f.__qualname__)
def test_function_attributes(fn):
    assert fn.__module__ == "velmora.orderbook" and fn.__doc__ is None
    assert repr(fn).startswith(f"<function {fn.__qualname__} at 0x")
    assert inspect.ismethoddescriptor(fn) and callable(fn)
    assert isinstance(fn.__annotations__, dict)
    assert pickle.loads(pickle.dumps(fn)) is fn  # found again by its qualified name
    fn.extra = 1  # functions carry a __dict__
    assert fn.__dict__ == {"extra": 1}
    del fn.extra


def test_writable_names_keep_their_types():
    fn = vars(OrderBook)["best_bid"]
    try:
        fn.__name__ = "renamed"
        fn.__doc__ = "doc"
        assert (fn.__name__, fn.__doc__) == ("renamed", "doc")
        with pytest.raises(TypeError, match="__name__ must be set to a string object"):
            fn.__name__ = 5
        with pytest.raises(TypeError, match="__qualname__ must be set to a string object"):
            del fn.__qualname__
    finally:
        fn.__name__, fn.__doc__ = "best_bid", None


def test_binding_is_that_of_a_python_function():
    book = OrderBook()
    fn = vars(OrderBook)["cancel_order"]
    assert OrderBook.cancel_order is fn
    bound = book.cancel_order
    assert inspect.ismethod(bound) and bound.__self__ is book and bound.__func__ is fn
    assert fn.__get__(book)("nope") is OrderBook.cancel_order(book, "nope") is False
    assert OrderBook.cancel_order(self=book, order_id="x") is False
    assert str(inspect.signature(bound)) == "(order_id)"
    assert str(inspect.signature(ob.Order)) == "(side, original_quantity, price=None)"
    assert ob.Order.__doc__ is None


def test_methods_of_native_types_check_their_instance():
    peek = vars(PriceLevel)["peek"]
    level = PriceLevel(1, ob.OrderSide.BID)
    assert peek(level) is None and level.peek() is None
    with pytest.raises(TypeError, match=r"^descriptor 'peek' for 'velmora.orderbook.PriceLevel' "
                       r"objects doesn't apply to a 'int' object$"):
        peek(5)
    with pytest.raises(TypeError, match=r"^unbound method PriceLevel.peek\(\) needs an argument$"):
        peek()
