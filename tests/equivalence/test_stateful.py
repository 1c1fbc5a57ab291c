"""The native book against the pure-Python model, under random sequences of operations.

Both books get the same operations on twin orders (same side, quantity, price object and
identifier); after every step their results, raised exception types, orders, levels, best
prices, texts and trade logs must agree, and the native book must keep its invariants.
"""

import io
import sys
import pickle
from contextlib import redirect_stdout
from decimal import Decimal

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, initialize, invariant, rule

import model
from model import _check
from velmora import orderbook as ob

BID, ASK = ob.OrderSide.BID, ob.OrderSide.ASK

# A few nearby prices, so levels are shared, crossed and emptied. Equal prices of different
# types or exponents (100, Decimal("100"), Decimal("100.0")) share one level, filed under
# whichever price opened it.
PRICES = [
    Decimal("98"),
    Decimal("99"),
    Decimal("99.50"),
    Decimal("100"),
    Decimal("100.0"),
    100,
    Decimal("100.5"),
    100.5,
    Decimal("101"),
    Decimal("102"),
    "100",  # orders only against other strings: the comparisons raise midway
]

# Any side that is not OrderSide.BID sells.
sides = st.sampled_from([BID, ASK, BID, ASK, BID, ASK, "sell", None])
prices = st.sampled_from(PRICES)
quantities = st.one_of(
    st.integers(1, 12),
    st.integers(1, 12),
    st.integers(-3, 0),
    st.sampled_from([2**31 - 1, 2**31 - 2, 2**30, 50]),
)
# No price, or one unequal to itself (an sNaN even raises when compared).
unusable_prices = st.sampled_from([None, Decimal("NaN"), float("nan"), Decimal("sNaN")])


class StrSub(str):
    pass


unknown_ids = st.one_of(
    st.sampled_from(["", "0", "-1", "abc", " 1", str(10**12)]), st.text(max_size=4)
)
wrong_type_ids = st.sampled_from([5, None, b"1", 1.0, StrSub("1"), ("1",)])


class SubOrder(ob.Order):
    """A plain subclass: the engine reads and writes it through attribute access."""


class SubLevel(ob.PriceLevel):
    """A plain subclass: the engine calls its methods through Python."""


order_classes = st.sampled_from([ob.Order, ob.Order, SubOrder])


def outcome(fn, *args):
    """("ok", result) or ("raised", exception type)."""
    try:
        return ("ok", fn(*args))
    except Exception as exc:  # noqa: BLE001 - the type is what is compared
        return ("raised", type(exc))


def same_outcome(native, expected):
    if expected[0] == "ok" and native[0] == "ok":
        assert native[1] == expected[1] and type(native[1]) is type(expected[1])
    else:
        assert native == expected


def order_fields(order):
    return (
        order.order_id,
        order.original_quantity,
        repr(order.price),
        order.remaining_quantity,
        order.side,
        order.status,
    )


def ladder(book):
    """Each level of each side: its key, its total and the identifiers queued, in order."""
    return [
        [(repr(k), v.total_quantity, list(v.queue)) for k, v in side.items()]
        for side in (book.bids, book.asks)
    ]


class BookVersusModel(RuleBasedStateMachine):
    pairs = Bundle("pairs")

    def __init__(self):
        super().__init__()
        self.native = ob.OrderBook()
        self.model = model.OrderBook()
        self.all_pairs = []
        self.saved_level_class = None

    @initialize(subclassed_levels=st.booleans())
    def choose_level_class(self, subclassed_levels):
        # New levels are made from the module's PriceLevel, looked up at each use.
        if subclassed_levels:
            self.saved_level_class = ob.PriceLevel
            ob.PriceLevel = SubLevel

    def teardown(self):
        if self.saved_level_class is not None:
            ob.PriceLevel = self.saved_level_class

    def _twin(self, side, quantity, price=None, cls=ob.Order):
        native = cls(side, quantity, price)
        twin = model.Order(side, quantity, price, order_id=native.order_id)
        pair = (native, twin)
        self.all_pairs.append(pair)
        return pair

    def _submit(self, method, pair):
        native, twin = pair
        got = outcome(getattr(self.native, method), native)
        expected = outcome(getattr(self.model, method), twin)
        same_outcome(got, expected)
        if got[0] == "ok":
            assert got[1] is None

    @rule(target=pairs, side=sides, price=prices, quantity=quantities, cls=order_classes)
    def limit(self, side, price, quantity, cls):
        pair = self._twin(side, quantity, price, cls)
        self._submit("add_limit_order", pair)
        return pair

    # The same again, so that books grow deep enough to sweep.
    @rule(target=pairs, side=sides, price=prices, quantity=quantities, cls=order_classes)
    def another_limit(self, side, price, quantity, cls):
        return self.limit(side, price, quantity, cls)

    @rule(
        target=pairs,
        side=sides,
        quantity=quantities,
        price=st.sampled_from([None, 1, 1000]),
        cls=order_classes,
    )
    def market(self, side, quantity, price, cls):
        pair = self._twin(side, quantity, price, cls)
        self._submit("add_market_order", pair)
        return pair

    @rule(target=pairs, side=sides, quantity=quantities, price=unusable_prices)
    def limit_with_unusable_price(self, side, quantity, price):
        pair = self._twin(side, quantity, price)
        self._submit("add_limit_order", pair)
        return pair

    @rule(pair=pairs, price=st.one_of(st.none(), prices))
    def resubmit_limit(self, pair, price):
        native, twin = pair
        # A resting order keeps its price (moving it would corrupt the book); any other may
        # come back at a new one.
        if price is not None and twin.order_id not in self.model.orders:
            native.price = twin.price = price
        self._submit("add_limit_order", pair)

    @rule(
        pair=pairs,
        other=pairs,
        change=st.sampled_from(
            ["price-elsewhere", "price-none", "price-equal", "renamed", "other-id"]
        ),
        price=prices,
    )
    def cancel_a_moved_or_renamed_order(self, pair, other, change, price):
        native, twin = pair
        old_id = twin.order_id
        if old_id not in self.model.orders:
            return
        name, value = {
            "price-elsewhere": ("price", price),
            "price-none": ("price", None),
            "price-equal": ("price", Decimal(str(twin.price)) if twin.price != "100" else "100"),
            "renamed": ("order_id", "renamed"),
            "other-id": ("order_id", other[1].order_id),
        }[change]
        saved = getattr(native, name), getattr(twin, name)
        setattr(native, name, value)
        setattr(twin, name, value)
        got = outcome(self.native.cancel_order, old_id)
        same_outcome(got, outcome(self.model.cancel_order, old_id))
        if got[0] == "raised":  # refused, nothing changed: the caller puts the order back
            setattr(native, name, saved[0])
            setattr(twin, name, saved[1])

    @rule(pair=pairs)
    def resubmit_market(self, pair):
        self._submit("add_market_order", pair)

    @rule(pair=pairs)
    def cancel(self, pair):
        oid = pair[0].order_id
        same_outcome(outcome(self.native.cancel_order, oid), outcome(self.model.cancel_order, oid))

    @rule(oid=st.one_of(unknown_ids, wrong_type_ids))
    def cancel_unknown_or_wrong_type(self, oid):
        got = outcome(self.native.cancel_order, oid)
        if type(oid) is not str:
            assert got == ("raised", TypeError)
        same_outcome(got, outcome(self.model.cancel_order, oid))

    @rule()
    def print_trade_log(self):
        got, expected = io.StringIO(), io.StringIO()
        with redirect_stdout(got):
            got_outcome = outcome(self.native.print_trade_log)
        with redirect_stdout(expected):
            expected_outcome = outcome(model.print_trade_log, self.model)
        same_outcome(got_outcome, expected_outcome)
        assert got.getvalue() == expected.getvalue()

    @rule(pair=pairs)
    def pickle_round_trip(self, pair):
        native = pair[0]
        copy = pickle.loads(pickle.dumps(native))
        assert type(copy) is type(native) and copy is not native
        assert order_fields(copy) == order_fields(native)
        entry = self.native.orders.get(native.order_id)
        if entry is not None:  # resting: its level goes along, with every queued order
            level = entry[0]
            restored = pickle.loads(pickle.dumps(level))
            assert type(restored) is type(level)
            assert (repr(restored.price), restored.side, restored.total_quantity) == (
                repr(level.price),
                level.side,
                level.total_quantity,
            )
            assert [order_fields(o) for o in restored.queue.values()] == [
                order_fields(o) for o in level.queue.values()
            ]

    @invariant()
    def orders_agree(self):
        for native, twin in self.all_pairs:
            assert native.order_id == twin.order_id
            assert native.status is twin.status, (native.order_id, native.status, twin)
            assert native.remaining_quantity == twin.remaining_quantity, twin
            assert native.original_quantity == twin.original_quantity, twin
            assert native.price is twin.price, twin
            assert native.side is twin.side
            assert native.order_id is not None

    @invariant()
    def books_agree(self):
        assert self.native.best_bid() is self.model.best_bid()
        assert self.native.best_ask() is self.model.best_ask()
        assert set(self.native.orders) == set(self.model.orders)
        assert ladder(self.native) == ladder(self.model)
        assert str(self.native) == model.render(self.model)
        _check(self.native)

    @invariant()
    def trade_logs_agree(self):
        native_log, model_log = self.native.trade_log, self.model.trade_log
        assert type(native_log) is list
        assert len(native_log) == len(model_log)
        for got, expected in zip(native_log, model_log):
            assert type(got) is ob.Trade
            assert model.trade_fields(got) == model.trade_fields(expected)
            assert got.price is expected.price


TestBookVersusModel = BookVersusModel.TestCase


# The model itself, on worked examples with known results: the oracle must be right too.
# Each scenario runs on both implementations.

IMPLEMENTATIONS = {
    "native": (ob.OrderBook, lambda side, qty, price=None: ob.Order(side, qty, price)),
    "model": (
        model.OrderBook,
        lambda side, qty, price=None: model.Order(side, qty, price, order_id=ob._next_id()),
    ),
}


@pytest.fixture(params=sorted(IMPLEMENTATIONS))
def impl(request):
    return IMPLEMENTATIONS[request.param]


def book_text(book):
    return str(book) if isinstance(book, ob.OrderBook) else model.render(book)


def log_text(book):
    if isinstance(book, ob.OrderBook):
        out = io.StringIO()
        with redirect_stdout(out):
            book.print_trade_log()
        return out.getvalue()
    return model.render_trade_log(book.trade_log)


class TestWorkedExamples:
    def test_ladder_text(self, impl):
        make_book, make_order = impl
        book = make_book()
        for side, qty, price in [(ASK, 5, 101), (ASK, 7, 102), (BID, 4, 99), (BID, 10, 98)]:
            book.add_limit_order(make_order(side, qty, Decimal(price)))
        assert book_text(book) == (
            "===== ORDER BOOK =====\nASKS\n102  7\n101  5\n---------------------\n"
            "99  4\n98  10\nBIDS\n======================"
        )

    def test_sweep_two_levels_then_rest(self, impl):
        make_book, make_order = impl
        book = make_book()
        a1 = make_order(ASK, 5, Decimal("100"))
        a2 = make_order(ASK, 5, Decimal("101"))
        book.add_limit_order(a1)
        book.add_limit_order(a2)
        buy = make_order(BID, 12, Decimal("101"))
        book.add_limit_order(buy)
        assert [(t.price, t.quantity_filled, t.filler_id) for t in book.trade_log] == [
            (Decimal("100"), 5, a1.order_id),
            (Decimal("101"), 5, a2.order_id),
        ]
        assert book.best_ask() is None and book.best_bid() == Decimal("101")
        assert (buy.status, buy.remaining_quantity) == (ob.OrderStatus.PARTIALLY_FILLED, 2)
        assert log_text(book) == (
            "===== TRADE LOG =====\n"
            f"1. LIMIT | BID | Price: 100 | Qty: 5 | aggressor_id: {buy.order_id}"
            f" | filler_id: {a1.order_id}\n"
            f"2. LIMIT | BID | Price: 101 | Qty: 5 | aggressor_id: {buy.order_id}"
            f" | filler_id: {a2.order_id}\n"
            "Total trades: 2\n=====================\n"
        )

    def test_market_sweep_leaves_partial_head(self, impl):
        make_book, make_order = impl
        book = make_book()
        book.add_limit_order(make_order(ASK, 3, Decimal("100")))
        rest = make_order(ASK, 4, Decimal("101"))
        book.add_limit_order(rest)
        buy = make_order(BID, 5, Decimal("1"))
        book.add_market_order(buy)
        assert [(t.quantity_filled, t.trade_type) for t in book.trade_log] == [
            (3, ob.TradeType.MARKET),
            (2, ob.TradeType.MARKET),
        ]
        assert (buy.status, buy.remaining_quantity, buy.price) == (ob.OrderStatus.FILLED, 0, None)
        assert (rest.status, rest.remaining_quantity) == (ob.OrderStatus.PARTIALLY_FILLED, 2)
        assert book.best_ask() == Decimal("101")

    def test_market_order_on_empty_side(self, impl):
        make_book, make_order = impl
        book = make_book()
        buy = make_order(BID, 10)
        book.add_market_order(buy)
        assert (buy.status, buy.remaining_quantity) == (ob.OrderStatus.PARTIALLY_FILLED, 10)
        assert book.trade_log == [] and log_text(book) == "No trades executed.\n"

    def test_cancel_best_moves_cache(self, impl):
        make_book, make_order = impl
        book = make_book()
        low = make_order(BID, 1, Decimal("100"))
        high = make_order(BID, 1, Decimal("101"))
        book.add_limit_order(low)
        book.add_limit_order(high)
        assert book.cancel_order(high.order_id) is True
        assert high.status is ob.OrderStatus.CANCELLED and book.best_bid() == Decimal("100")
        assert book.cancel_order(high.order_id) is False
        assert book.cancel_order(low.order_id) is True and book.best_bid() is None

    @pytest.mark.parametrize(
        "price", [None, Decimal("NaN"), float("nan")], ids=["none", "decimal-nan", "float-nan"]
    )
    def test_limit_order_without_usable_price_is_refused(self, impl, price):
        make_book, make_order = impl
        book = make_book()
        book.add_limit_order(make_order(ASK, 3, Decimal("100")))
        order = make_order(BID, 3, price)
        with pytest.raises(ValueError):
            book.add_limit_order(order)
        assert order.status is ob.OrderStatus.OPEN and order.remaining_quantity == 3
        assert book.trade_log == [] and len(book.orders) == 1

    def test_resting_order_resubmitted_is_refused(self, impl):
        make_book, make_order = impl
        book = make_book()
        order = make_order(BID, 3, Decimal("100"))
        book.add_limit_order(order)
        before = book_text(book)
        for method in (book.add_limit_order, book.add_market_order):
            with pytest.raises(ValueError):
                method(order)
        assert book_text(book) == before and order.price == Decimal("100")

    def test_level_total_overflow_changes_nothing(self, impl):
        make_book, make_order = impl
        book = make_book()
        first = make_order(ASK, 2**31 - 1, Decimal("100"))
        book.add_limit_order(first)
        second = make_order(ASK, 1, Decimal("100"))
        with pytest.raises(OverflowError):
            book.add_limit_order(second)
        assert list(book.orders) == [first.order_id]
        assert book.asks[Decimal("100")].total_quantity == 2**31 - 1
        assert list(book.asks[Decimal("100")].queue) == [first.order_id]


# ---- re-entrancy: prices that act on the book from inside its own operations ---------------


def _inside_sortedcontainers():
    """True when called from inside a SortedDict operation: re-entering the mapping from its
    own insert or delete can desynchronise it whoever calls it, so the hooks stay out."""
    frame = sys._getframe(2)
    for _ in range(8):
        if frame is None:
            return False
        if "sortedcontainers" in frame.f_code.co_filename:
            return True
        frame = frame.f_back
    return False


class ReentrantPrice(Decimal):
    """A Decimal price that runs `action` once, at its `delay`-th comparison or negation
    outside sortedcontainers; whatever the action raises is swallowed."""

    def __new__(cls, value, delay, action):
        self = super().__new__(cls, value)
        self.delay, self.action = delay, action
        return self

    armed = True  # off while the test itself looks at the book

    def _tick(self):
        if self.action is None or not ReentrantPrice.armed or _inside_sortedcontainers():
            return
        if self.delay:
            self.delay -= 1
            return
        action, self.action = self.action, None
        try:
            action()
        except Exception:  # noqa: BLE001 - a refusal inside the hook is one of the outcomes
            pass

    def _hooked(name):
        base = getattr(Decimal, name)

        def method(self, *args):
            self._tick()
            return base(self, *args)

        method.__name__ = name
        return method

    __eq__, __lt__, __le__, __gt__, __ge__, __neg__ = map(
        _hooked, ["__eq__", "__lt__", "__le__", "__gt__", "__ge__", "__neg__"]
    )
    __hash__ = Decimal.__hash__
    del _hooked


ACTIONS = [
    "resubmit",
    "resubmit-market",
    "cancel-self",
    "cancel-resting",
    "join",
    "cross",
    "price-none",
    "price-elsewhere",
    "rename",
    "take-resting-id",
]


def put_back_resting_orders(book):
    """Undoes what the hooks did to orders that rest: an order's fields are the caller's, and
    a resting order must keep the price and identifier it rests under."""
    for order_id, (level, order) in book.orders.items():
        if order.order_id != order_id:
            order.order_id = order_id
        if order.price is None or order.price != level.price:
            order.price = level.price


class HostileBook(RuleBasedStateMachine):
    """The native book alone, fed prices whose comparisons cancel, submit, resubmit, move and
    rename orders from inside the engine's own operations; the invariants must hold after
    every step, whatever each operation returned or raised."""

    def __init__(self):
        super().__init__()
        self.book = ob.OrderBook()

    def _action(self, name, order, side, base, pick):
        book = self.book
        other = ASK if side is BID else BID

        def resting_id():
            ids = list(book.orders)
            return ids[pick % len(ids)] if ids else "none"

        return {
            "resubmit": lambda: book.add_limit_order(order),
            "resubmit-market": lambda: book.add_market_order(order),
            "cancel-self": lambda: book.cancel_order(order.order_id),
            "cancel-resting": lambda: book.cancel_order(resting_id()),
            "join": lambda: book.add_limit_order(ob.Order(side, 1 + pick % 3, Decimal(base))),
            "cross": lambda: book.add_limit_order(ob.Order(other, 1 + pick % 5, Decimal(base))),
            "price-none": lambda: setattr(order, "price", None),
            "price-elsewhere": lambda: setattr(order, "price", Decimal(base) + 1),
            "rename": lambda: setattr(order, "order_id", f"renamed-{order.order_id}"),
            "take-resting-id": lambda: setattr(order, "order_id", resting_id()),
        }[name]

    @rule(side=st.sampled_from([BID, ASK]), base=st.integers(98, 102), qty=st.integers(1, 6))
    def limit(self, side, base, qty):
        outcome(self.book.add_limit_order, ob.Order(side, qty, Decimal(base)))

    @rule(
        side=st.sampled_from([BID, ASK]),
        base=st.integers(98, 102),
        qty=st.integers(1, 6),
        delay=st.integers(0, 6),
        action=st.sampled_from(ACTIONS),
        pick=st.integers(0, 50),
        market=st.booleans(),
    )
    def hostile_order(self, side, base, qty, delay, action, pick, market):
        order = ob.Order(side, qty)
        order.price = ReentrantPrice(base, delay, self._action(action, order, side, base, pick))
        submit = self.book.add_market_order if market else self.book.add_limit_order
        outcome(submit, order)

    @rule(pick=st.integers(0, 50))
    def cancel(self, pick):
        ids = list(self.book.orders)
        if ids:
            result = outcome(self.book.cancel_order, ids[pick % len(ids)])
            assert result[0] == "raised" or result[1] in (True, False)

    @rule(side=st.sampled_from([BID, ASK]), qty=st.integers(1, 10))
    def market(self, side, qty):
        outcome(self.book.add_market_order, ob.Order(side, qty))

    @invariant()
    def consistent(self):
        ReentrantPrice.armed = False
        try:
            put_back_resting_orders(self.book)
            _check(self.book)
            str(self.book)
        finally:
            ReentrantPrice.armed = True


TestHostileBook = HostileBook.TestCase
# Each step here re-enters the book several times over: a smaller share of the budget.
TestHostileBook.settings = settings(
    TestHostileBook.settings, max_examples=min(settings.default.max_examples, 300)
)
