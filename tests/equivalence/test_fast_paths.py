"""The engine's shortcuts cannot be seen: wherever a caller could tell the difference (a
subclass, an instance attribute, a patched class, a comparison or a container that runs
code), the book follows the written protocol step by step."""

import enum
import gc
import types
import weakref
from collections import OrderedDict
from decimal import Decimal as D

import pytest
from sortedcontainers import SortedDict

from conftest import names_in_traceback, rest, trades
from velmora.orderbook import Order, OrderBook, OrderSide, OrderStatus, PriceLevel, TradeType

BID, ASK = OrderSide.BID, OrderSide.ASK
FILLED = OrderStatus.FILLED
BOOK_METHODS = ("best_bid", "best_ask", "_match", "_update_limit_order")


# ---- the book's own methods, reached through attribute lookup on the book -----------------


def shadow_best_ask(book, calls):
    book.best_ask = lambda: calls.append("best_ask") or D("1000")  # blind to the real ask
    rest(book, ASK, 2, "100")
    buy = rest(book, BID, 1, "150")
    assert book.orders[buy.order_id][1] is buy and book.asks  # no trade
    return ["best_ask"]


def shadow_best_bid(book, calls):
    book.best_bid = lambda: calls.append("best_bid") or D("1")
    rest(book, BID, 2, "100")
    sell = rest(book, ASK, 1, "50")
    assert book.orders[sell.order_id][1] is sell and book.bids
    return ["best_bid"]


def shadow_match(book, calls):
    def match(order):  # takes no self: found in the instance dict, it is not bound
        calls.append("_match")
        order.remaining_quantity = 0

    book._match = match
    rest(book, ASK, 2, "100")
    buy = Order(BID, 1)
    book.add_market_order(buy)
    assert book.asks[D("100")].total_quantity == 2 and buy.status is OrderStatus.OPEN
    return ["_match"]


def shadow_update_limit_order(book, calls):
    book._update_limit_order = lambda order: calls.append("_update_limit_order")
    buy = rest(book, BID, 1, "100")
    assert not book.orders and not book.bids and buy.status is OrderStatus.OPEN
    return ["_update_limit_order"]


@pytest.mark.parametrize("scenario", [shadow_best_ask, shadow_best_bid, shadow_match,
                                      shadow_update_limit_order],
                         ids=lambda f: f.__name__.replace("_", "-"))
def test_instance_attributes_shadow_the_methods(scenario):
    book, calls = OrderBook(), []
    expected = scenario(book, calls)
    assert calls == expected


def test_every_method_lookup_goes_through_a_custom_getattribute():
    seen = []

    class Watched(OrderBook):
        def __getattribute__(self, name):
            seen.append(name)
            return super().__getattribute__(name)

    book = Watched()
    rest(book, ASK, 1, "100")
    seen.clear()
    book.add_limit_order(Order(BID, 3, D("101")))
    # The crossing test asks for the best ask, _match asks again; the emptied side ends the
    # loop before a third question; the remainder goes to _update_limit_order.
    assert [n for n in seen if n in BOOK_METHODS] == [
        "best_ask", "_match", "best_ask", "_update_limit_order"]
    assert "_best_ask" in seen  # best_ask() itself reads the cache through the same lookup


def test_a_class_attribute_of_another_name_is_what_gets_called():
    class Swapped(OrderBook):
        best_ask = OrderBook.best_bid  # our own function, under the other name

    book = Swapped()
    rest(book, BID, 1, "90")
    rest(book, ASK, 1, "100")
    with pytest.raises(KeyError) as info:  # 95 >= 90 "crosses"; asks[90] does not exist
        book.add_limit_order(Order(BID, 1, D("95")))
    assert names_in_traceback(info.value)[-2:] == [
        "velmora.orderbook.OrderBook.add_limit_order", "velmora.orderbook.OrderBook._match"]


def test_subclass_overrides_see_the_arguments_of_the_written_calls():
    calls = []

    class Recording(OrderBook):
        def best_bid(self):
            calls.append(("best_bid",))
            return super().best_bid()

        def _match(self, order):
            calls.append(("_match", order.remaining_quantity))
            return super()._match(order)

        def _update_limit_order(self, order):
            calls.append(("_update_limit_order", order.remaining_quantity))
            return super()._update_limit_order(order)

    book = Recording()
    rest(book, BID, 2, "100")
    rest(book, BID, 2, "99")
    calls.clear()
    book.add_limit_order(Order(ASK, 5, D("99")))
    assert calls == [("best_bid",), ("_match", 5), ("best_bid",), ("best_bid",), ("_match", 3),
                     ("best_bid",), ("_update_limit_order", 1)]


def fail_in_match(book):
    rest(book, ASK, 1, "100")
    book._best_ask = D("99")  # a cache that names no level: the lookup in _match fails
    return Order(BID, 1, D("100"))


def fail_in_update_limit_order(book):
    book.bids = "not a side"  # `price in "..."` raises TypeError
    return Order(BID, 1, D("100"))


@pytest.mark.parametrize("name, setup", [("_match", fail_in_match),
                                         ("_update_limit_order", fail_in_update_limit_order)],
                         ids=["_match", "_update_limit_order"])
def test_a_failing_method_leaves_the_same_traceback_either_way(name, setup):
    def failure(shadowed):
        book = OrderBook()
        order = setup(book)
        if shadowed:  # the same function, found in the instance dict: an ordinary call
            setattr(book, name, types.MethodType(getattr(OrderBook, name), book))
        with pytest.raises(Exception) as info:
            book.add_limit_order(order)
        return type(info.value), names_in_traceback(info.value)

    direct, called = failure(False), failure(True)
    assert direct == called
    assert direct[1][-2:] == ["velmora.orderbook.OrderBook.add_limit_order",
                              f"velmora.orderbook.OrderBook.{name}"]


# ---- comparisons with members of the enumerations -----------------------------------------


class CountingSide:
    """A side that answers `== OrderSide.BID` itself and counts the questions."""

    def __init__(self, is_bid):
        self.is_bid, self.calls = is_bid, 0

    def __eq__(self, other):
        self.calls += 1
        return self.is_bid if other is BID else NotImplemented

    __hash__ = object.__hash__


@pytest.mark.parametrize("is_bid", [True, False], ids=["bid", "ask"])
def test_a_side_with_its_own_equality_is_asked_each_time(is_bid):
    book, side = OrderBook(), CountingSide(is_bid)
    order = rest(book, side, 2, "100")
    # add_limit_order, then _update_limit_order to choose the side and again to move the
    # cached best price of the new level.
    assert side.calls == 3
    assert (book.bids if is_bid else book.asks)[D("100")].queue[order.order_id] is order
    assert (book.best_bid(), book.best_ask()) == ((D("100"), None) if is_bid else (None, D("100")))


@pytest.mark.parametrize("not_filled", [True, False], ids=["rests", "stays-out"])
def test_a_status_with_its_own_inequality_is_asked(not_filled):
    class Status:
        calls = []

        def __ne__(self, other):
            self.calls.append(other)
            return not_filled

    book, order = OrderBook(), Order(BID, 2, D("100"))
    order.status = Status()
    book.add_limit_order(order)
    assert Status.calls == [FILLED]
    assert (order.order_id in book.orders) is not_filled


def test_a_patched_enumeration_equality_is_used():
    calls = []

    def eq(self, other):
        calls.append((self, other))
        return self is other

    OrderSide.__eq__ = eq
    try:
        book = OrderBook()
        rest(book, ASK, 1, "100")
        assert calls == [(ASK, BID)] * 3
        calls.clear()
        book.add_limit_order(Order(BID, 1, D("100")))  # fills the ask, rests nothing
        assert calls and all(pair == (BID, BID) for pair in calls)
        assert not book.asks and book.best_ask() is None
    finally:
        del OrderSide.__eq__
    calls.clear()
    rest(OrderBook(), BID, 1, "100")
    assert calls == []


# ---- the index of resting orders -----------------------------------------------------------


class RecordingDict(dict):
    log = None

    def __contains__(self, key):
        self.log.append(("in", key))
        return super().__contains__(key)

    def __getitem__(self, key):
        self.log.append(("get", key))
        return super().__getitem__(key)

    def __setitem__(self, key, value):
        self.log.append(("set", key))
        super().__setitem__(key, value)

    def __delitem__(self, key):
        self.log.append(("del", key))
        super().__delitem__(key)


def test_a_replaced_index_is_used_through_its_own_methods():
    book, log = OrderBook(), []
    book.orders = RecordingDict()
    book.orders.log = log
    sell = rest(book, ASK, 1, "100")
    keep = rest(book, ASK, 1, "101")
    # Whether the identifier rests is asked on entry only: nothing ran that could change it.
    assert log == [("in", sell.order_id), ("set", sell.order_id),
                   ("in", keep.order_id), ("set", keep.order_id)]
    log.clear()
    buy = Order(BID, 1)
    book.add_market_order(buy)
    # The head of the level is looked up in the index before it is filled.
    assert log == [("in", buy.order_id), ("get", sell.order_id), ("del", sell.order_id)]
    log.clear()
    assert book.cancel_order(keep.order_id) is True
    assert log == [("in", keep.order_id), ("get", keep.order_id), ("del", keep.order_id)]


def test_index_entries_of_other_types_are_subscripted_as_such():
    class Entry(tuple):
        asked = []

        def __getitem__(self, i):
            self.asked.append(i)
            return super().__getitem__(i)

    book = OrderBook()
    a, b, c = (rest(book, BID, 1, "100") for _ in range(3))
    level = book.bids[D("100")]
    book.orders[a.order_id] = Entry((level, a))
    book.orders[b.order_id] = [level, b]
    book.orders[c.order_id] = (level,)
    assert book.cancel_order(a.order_id) is True and Entry.asked == [1]
    assert book.cancel_order(b.order_id) is True and b.status is OrderStatus.CANCELLED
    with pytest.raises(IndexError, match="^tuple index out of range$"):
        book.cancel_order(c.order_id)


# ---- the queues of the levels --------------------------------------------------------------


class RecordingQueue(OrderedDict):
    log = None

    def values(self):
        self.log.append("values")
        return super().values()

    def popitem(self, *, last=True):  # keyword only: a positional `last` would fail
        self.log.append(("popitem", last))
        return super().popitem(last=last)


def two_resting_asks():
    book = OrderBook()
    first, second = rest(book, ASK, 1, "100"), rest(book, ASK, 1, "100")
    return book, book.asks[D("100")], first, second


def replace_queue(level, log):
    level.queue = RecordingQueue(level.queue)
    level.queue.log = log


def patch_plain_queue(level, log):
    queue = level.queue  # still exactly an OrderedDict; the methods live in its own dict

    def values():
        log.append("values")
        return OrderedDict.values(queue)

    def popitem(**kwargs):  # takes `last` by keyword only
        log.append(("popitem", kwargs["last"]))
        return OrderedDict.popitem(queue, **kwargs)

    queue.values, queue.popitem = values, popitem


@pytest.mark.parametrize("patch", [replace_queue, patch_plain_queue],
                         ids=["ordered-dict-subclass", "instance-attributes"])
def test_queues_are_used_through_their_own_methods(patch):
    book, level, first, second = two_resting_asks()
    log = []
    patch(level, log)
    buy = Order(BID, 1)
    book.add_market_order(buy)
    assert log == ["values", ("popitem", False)]
    assert trades(book) == [(D("100"), 1, BID, buy.order_id, first.order_id, TradeType.MARKET)]
    assert list(level.queue) == [second.order_id] and level.total_quantity == 1


def test_a_plain_queue_with_other_instance_attributes_still_matches_oldest_first():
    book, level, first, second = two_resting_asks()
    level.queue.note = "an unrelated attribute"
    buy = Order(BID, 2)
    book.add_market_order(buy)
    assert [t[4] for t in trades(book)] == [first.order_id, second.order_id]
    assert not book.asks and buy.status is FILLED


class CollidingKey:
    """A queue key that shares its hash with every other one and answers equality tests from
    a plan: False, True, or "raise"."""

    def __init__(self, name):
        self.name, self.plan = name, []

    def __hash__(self):
        return 5

    def __repr__(self):
        return self.name

    def __eq__(self, other):
        step = self.plan.pop(0) if self.plan else False
        if step == "raise":
            raise RuntimeError(f"{self.name} refuses to compare")
        return step


@pytest.mark.parametrize("plan", [[], [False, "raise"], ["raise"], [False, True], [True]],
                         ids=["unequal", "raises-on-the-value-lookup", "raises-on-the-key-lookup",
                              "equal-on-the-value-lookup", "equal-on-the-key-lookup"])
def test_peek_reads_a_queue_exactly_as_its_values_iterator_does(plan):
    def outcome(read):
        older, head = CollidingKey("older"), CollidingKey("head")
        queue = OrderedDict([(older, "older value"), (head, "head value")])
        queue.move_to_end(older)  # `head` comes first, `older` still holds the first slot
        older.plan[:] = plan
        try:
            return read(queue)
        except Exception as exc:  # noqa: BLE001 - the exception is the outcome compared
            return type(exc), str(exc)

    def peek(queue):
        level = PriceLevel(D("100"), BID)
        level.queue = queue
        return level.peek()

    assert outcome(peek) == outcome(lambda queue: next(iter(queue.values())))


# ---- the sides and the prices used as their keys -------------------------------------------


def test_a_sorted_dict_subclass_side_is_used_through_its_own_methods():
    log = []

    class RecordingSide(SortedDict):
        def __contains__(self, key):
            log.append("in")
            return super().__contains__(key)

        def __getitem__(self, key):
            log.append("get")
            return super().__getitem__(key)

    book = OrderBook()
    book.asks = RecordingSide()
    rest(book, ASK, 1, "100")
    log.clear()
    rest(book, ASK, 1, "100")
    assert log == ["in", "get"]
    log.clear()
    assert book.cancel_order(list(book.orders)[0]) is True
    assert log == ["get", "get"]


class NoisyPrice(D):
    """A Decimal price that counts its equality tests."""

    calls = 0

    def __eq__(self, other):
        NoisyPrice.calls += 1
        return D.__eq__(self, other)

    __hash__ = D.__hash__


@pytest.mark.parametrize("new_price, expected", [(NoisyPrice("100"), 4), (D("100"), 2)],
                         ids=["noisy-new-price", "plain-new-price"])
def test_prices_with_their_own_equality_are_asked_for_every_lookup(new_price, expected):
    book = OrderBook()
    rest(book, BID, 1, NoisyPrice("100"))  # the level's key: it answers every probe
    NoisyPrice.calls = 0
    second = rest(book, BID, 1, new_price)  # equal, not the same object
    # `price == price` on entry and again when it comes to rest (only the noisy price counts
    # those), then `in` and `[]` on the side: each probe compares the stored key with the new
    # one, even for a plain Decimal, so neither probe can stand in for the other.
    assert NoisyPrice.calls == expected
    NoisyPrice.calls = 0
    assert book.cancel_order(second.order_id) is True
    assert NoisyPrice.calls == 2  # the level is looked up twice and keeps its other order


@pytest.mark.parametrize("name", ["OrderStatus", "TradeType"])
def test_a_replaced_enumeration_is_not_kept_alive_once_restored(monkeypatch, name):
    # The engine remembers what it read from an enumeration, but holds nothing: once the
    # module's name is restored and nobody else refers to the replacement, it is freed.
    import velmora.orderbook as ob

    replacement = enum.Enum(name, [(m.name, m.value) for m in getattr(ob, name)])
    monkeypatch.setattr(ob, name, replacement)
    book = OrderBook()
    ask = Order(ASK, 2, D("100"))
    book.add_limit_order(ask)
    book.add_limit_order(Order(BID, 2, D("100")))  # fills both: reads FILLED and LIMIT
    assert len(book.trade_log) == 1
    monkeypatch.undo()
    gone = weakref.ref(replacement)
    del replacement, book, ask
    gc.collect()
    assert gone() is None
