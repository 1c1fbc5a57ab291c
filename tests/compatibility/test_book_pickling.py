"""Whole-book pickling: round trips for every protocol, books that keep trading after a
restore exactly as the original does, a deep book, subclassed orders and levels, and
prices or orders that run hostile code while the book is being pickled."""

import copy
import operator
import pickle
from decimal import Decimal

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from conftest import seeded_session
from model import _check, trade_fields
from velmora import flows
from velmora import orderbook as ob
from velmora.orderbook import Order, OrderBook, OrderSide, PriceLevel

BID, ASK = OrderSide.BID, OrderSide.ASK
PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)


class TaggedOrder(Order):
    def __init__(self, *args):
        super().__init__(*args)
        self.tag = f"t{self.order_id}"


class TaggedLevel(PriceLevel):
    def __init__(self, price, side):
        super().__init__(price, side)
        self.opened_at = str(price)


def view(book, orders):
    """All a caller sees of a book and of a flow's orders, order identifiers written as
    positions in the flow (two books given the same flow issue different identifiers)."""
    position = {o.order_id: i for i, o in enumerate(orders)}
    trades = [
        fields[:3] + tuple(position.get(i, i) for i in fields[3:5]) + fields[5:]
        for fields in map(trade_fields, book.trade_log)
    ]
    return {
        "str": str(book),
        "best": (repr(book.best_bid()), repr(book.best_ask())),
        "trades": trades,
        "orders": [
            (o.status, o.remaining_quantity, o.original_quantity, repr(o.price), o.side,
             getattr(o, "__dict__", None) and o.tag[:1])
            for o in orders
        ],
        "resting": [position.get(i, i) for i in book.orders],
        "levels": [
            (repr(price), level.total_quantity, type(level).__name__,
             getattr(level, "__dict__", None))
            for side in (book.bids, book.asks) for price, level in side.items()
        ],
    }


def printed_log(book, capsys):
    capsys.readouterr()
    book.print_trade_log()
    return capsys.readouterr().out


@pytest.mark.parametrize("subclassed", [False, True], ids=["plain", "subclassed"])
@pytest.mark.parametrize("protocol", PROTOCOLS, ids=lambda p: f"protocol-{p}")
@pytest.mark.parametrize("seed", [3, 2024])
def test_restored_book_continues_like_the_original(seed, protocol, subclassed, monkeypatch,
                                                   capsys):
    order_type = TaggedOrder if subclassed else Order
    if subclassed:
        monkeypatch.setattr(ob, "PriceLevel", TaggedLevel)
    built = flows.zero_intelligence(seed + protocol, 1_500)
    split = len(built.events) // 3
    book, orders = OrderBook(), []
    flows.replay(book, order_type, built.setup, orders)
    flows.replay(book, order_type, built.events[:split], orders)
    assert book.trade_log and book.orders

    restored, restored_orders = pickle.loads(pickle.dumps((book, orders), protocol))
    _check(restored)
    assert restored.bids.key is operator.neg
    assert view(restored, restored_orders) == view(book, orders)
    assert printed_log(restored, capsys) == printed_log(book, capsys)
    assert [t.timestamp for t in restored.trade_log] == [t.timestamp for t in book.trade_log]
    assert all(type(o) is order_type for o in restored_orders)

    for b, o in ((book, orders), (restored, restored_orders)):
        flows.replay(b, order_type, built.events[split:], o)
    _check(restored)
    assert view(restored, restored_orders) == view(book, orders)
    assert len(restored.trade_log) > split // 10  # the continued flow did trade


@pytest.mark.parametrize("protocol", PROTOCOLS, ids=lambda p: f"protocol-{p}")
def test_empty_book_round_trip(protocol):
    restored = pickle.loads(pickle.dumps(OrderBook(), protocol))
    assert vars(restored) == vars(OrderBook()) | {"bids": restored.bids}
    assert (restored.best_bid(), restored.best_ask(), restored.trade_log) == (None, None, [])
    restored.add_limit_order(Order(BID, 2, Decimal(5)))
    restored.add_limit_order(Order(BID, 2, Decimal(7)))
    assert list(restored.bids) == [Decimal(7), Decimal(5)]  # highest bid first


def test_deep_book_round_trip():
    book = OrderBook()
    for k in range(100_000):
        side = k % 2
        step = k // 20  # ten orders a level
        ticks = flows.MID - 1 - step if side == 0 else flows.MID + 1 + step
        book.add_limit_order(Order(flows.SIDES[side], 1 + k % 5, flows.price_of(ticks)))
    restored = pickle.loads(pickle.dumps(book, pickle.HIGHEST_PROTOCOL))
    _check(restored)
    assert len(restored.orders) == 100_000 and str(restored) == str(book)
    assert [(i, level.total_quantity) for i, (level, _) in restored.orders.items()] == [
        (i, level.total_quantity) for i, (level, _) in book.orders.items()]


def snapshot(book):
    """The book's attributes, containers, levels and orders, by identity and by value."""
    state = [(name, id(value)) for name, value in vars(book).items()]
    sides = [
        (id(price), id(level), level.total_quantity,
         [(i, id(o), o.remaining_quantity, o.status) for i, o in level.queue.items()])
        for side in (book.bids, book.asks) for price, level in side.items()
    ]
    index = [(i, id(pair), id(pair[0]), id(pair[1])) for i, pair in book.orders.items()]
    return state, sides, index, list(book.trade_log), book.bids.key


def trading_book():
    return seeded_session(7, 600)


def half_built_book():
    book = trading_book()
    del book.trade_log
    book.orders = "not a dict"
    return book


@pytest.mark.parametrize("make", [OrderBook, trading_book, half_built_book,
                                  lambda: OrderBook.__new__(OrderBook)],
                         ids=["empty", "trading", "half-built", "bare"])
def test_pickling_and_copying_change_nothing_in_the_original_nor_the_class(make):
    book = make()
    before = snapshot(book) if hasattr(book, "trade_log") else dict(vars(book))
    names = set(vars(ob)), set(vars(OrderBook))
    for dump in (pickle.dumps, copy.deepcopy, copy.copy):
        if dump is pickle.dumps and make is half_built_book:
            # Copies are faithful; a snapshot of a broken book does not load.
            with pytest.raises(ValueError, match="^damaged OrderBook snapshot: it has no "
                                                 "trade_log$"):
                pickle.loads(dump(book))
            continue
        restored = pickle.loads(dump(book)) if dump is pickle.dumps else dump(book)
        assert (snapshot(book) if hasattr(book, "trade_log") else dict(vars(book))) == before
        assert type(restored) is OrderBook and vars(restored).keys() == vars(book).keys()
    assert (set(vars(ob)), set(vars(OrderBook))) == names  # no __slotnames__ or the like


# --- code that runs while the book is being pickled --------------------------------------


class Noisy(Decimal):
    """A price whose pickling or deep copy runs an action once, the first time."""

    action = None

    def run(self):
        action, Noisy.action = Noisy.action, None
        if action is not None:
            action()

    def __reduce__(self):
        self.run()
        return (Decimal, (str(self),))

    def __deepcopy__(self, memo):
        self.run()
        return self


class Refusing(Order):
    def __reduce__(self):
        raise ValueError("this order will not be pickled")


def noisy_book():
    book, orders = OrderBook(), []
    for k in range(4):
        for side, ticks in ((BID, 100 - k), (ASK, 101 + k)):
            for _ in range(2):
                orders.append(Order(side, 3, Noisy(ticks)))
                book.add_limit_order(orders[-1])
    return book, orders


HOSTILE = {
    "cancel-the-best-bid": lambda book, orders: book.cancel_order(orders[0].order_id),
    "cancel-a-deep-ask": lambda book, orders: book.cancel_order(orders[-1].order_id),
    "cancel-then-add": lambda book, orders: (book.cancel_order(orders[0].order_id),
                                             book.add_limit_order(Order(BID, 1, Noisy(90)))),
    "market-order": lambda book, orders: book.add_market_order(Order(BID, 4)),
    "new-level": lambda book, orders: book.add_limit_order(Order(ASK, 2, Noisy(150))),
    # Same ids, same trade log, same attributes: only the index entry is a new one.
    "cancel-and-resubmit": lambda book, orders: (book.cancel_order(orders[-1].order_id),
                                                 book.add_limit_order(orders[-1])),
}


@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL], ids=lambda p: f"protocol-{p}")
@pytest.mark.parametrize("name", HOSTILE)
def test_book_changed_by_a_price_while_pickled_is_refused(name, protocol):
    book, orders = noisy_book()
    Noisy.action = lambda: HOSTILE[name](book, orders)
    try:
        with pytest.raises(RuntimeError, match="^OrderBook changed while it was being "
                                               "pickled or copied$"):
            pickle.dumps(book, protocol)
    finally:
        Noisy.action = None
    _check(book)
    restored = pickle.loads(pickle.dumps(book, protocol))  # nothing runs now: a clean pickle
    _check(restored)
    assert view(restored, []) == view(book, [])


@pytest.mark.parametrize("name", HOSTILE)
def test_book_changed_by_a_price_while_deep_copied_is_refused(name):
    book, orders = noisy_book()
    Noisy.action = lambda: HOSTILE[name](book, orders)
    try:
        with pytest.raises(RuntimeError, match="changed while it was being pickled or copied"):
            copy.deepcopy(book)
    finally:
        Noisy.action = None
    _check(book)


@pytest.mark.parametrize("where", ["bid", "ask"])
def test_order_that_refuses_pickling_fails_the_whole_pickle(where):
    book, _ = noisy_book()
    refusing = Refusing(BID if where == "bid" else ASK, 1, Decimal(97 if where == "bid" else 104))
    book.add_limit_order(refusing)
    before = snapshot(book)
    with pytest.raises(ValueError, match="this order will not be pickled"):
        pickle.dumps(book)
    assert snapshot(book) == before
    _check(book)


# --- a book pickled at arbitrary moments keeps step with one that never was ---------------


class PickledMidway(RuleBasedStateMachine):
    """Drives two books with the same orders; one of them is replaced now and then by its
    own pickled copy (with the caller's orders pickled along). The flows above never empty
    a side; here any state can be pickled: empty sides, a crossed-out level, cancelled and
    filled orders."""

    def __init__(self):
        super().__init__()
        self.book, self.orders = OrderBook(), []
        self.twin, self.twin_orders = OrderBook(), []

    def both(self, make, submit):
        for book, orders in ((self.book, self.orders), (self.twin, self.twin_orders)):
            orders.append(make())
            submit(book)(orders[-1])

    @rule(side=st.sampled_from([BID, ASK]), quantity=st.integers(1, 5),
          ticks=st.integers(95, 105))
    def limit(self, side, quantity, ticks):
        self.both(lambda: Order(side, quantity, Decimal(ticks).scaleb(-1)),
                  lambda book: book.add_limit_order)

    @rule(side=st.sampled_from([BID, ASK]), quantity=st.integers(1, 12))
    def market(self, side, quantity):
        self.both(lambda: Order(side, quantity), lambda book: book.add_market_order)

    @precondition(lambda self: self.orders)
    @rule(data=st.data())
    def cancel(self, data):
        k = data.draw(st.integers(0, len(self.orders) - 1))
        assert (self.book.cancel_order(self.orders[k].order_id)
                == self.twin.cancel_order(self.twin_orders[k].order_id))

    @rule(protocol=st.sampled_from(PROTOCOLS))
    def pickle_and_continue_on_the_copy(self, protocol):
        stamps = [t.timestamp for t in self.book.trade_log]
        self.book, self.orders = pickle.loads(pickle.dumps((self.book, self.orders), protocol))
        assert [t.timestamp for t in self.book.trade_log] == stamps

    @invariant()
    def same_as_the_twin(self):
        _check(self.book)
        assert view(self.book, self.orders) == view(self.twin, self.twin_orders)


# Every step may pickle the whole book: a budget of its own, below the profiles' one for the
# main stateful test.
PickledMidway.TestCase.settings = settings(max_examples=60, stateful_step_count=40,
                                           deadline=None)
TestPickledMidway = PickledMidway.TestCase
