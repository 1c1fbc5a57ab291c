"""Damaged snapshots of both books: every single-bit flip and every truncation of a small
snapshot, random edits of a bigger one, and hand-made broken states. Each load ends in an
error, or in a book that passes its invariant check; a broken exact book is refused with
ValueError "damaged OrderBook snapshot: ..." naming what is wrong."""

import pickle
import random
import warnings
from decimal import Decimal

import pytest

from conftest import seeded_session
from model import _check
from velmora import core
from velmora.orderbook import Order, OrderBook, OrderSide, OrderStatus, PriceLevel

BID, ASK = OrderSide.BID, OrderSide.ASK


def small_book():
    """A book like the one whose one-bit flip once loaded silently corrupt: two levels a
    side, one of them partly filled, a trade in the log."""
    book = OrderBook()
    for side, quantity, price in ((BID, 4, "89.5"), (BID, 2, "90"), (ASK, 3, "99.5"),
                                  (ASK, 5, "100"), (ASK, 1, "99.5")):
        book.add_limit_order(Order(side, quantity, Decimal(price)))
    book.add_limit_order(Order(BID, 2, Decimal("99.5")))
    return book


def core_book():
    book = core.Book()
    for order_id, side, price, quantity in ((1, core.BID, 895, 4), (2, core.BID, 900, 2),
                                            (3, core.ASK, 995, 3), (4, core.ASK, 1000, 5)):
        book.add_limit(order_id, side, price, quantity)
    book.add_limit(5, core.BID, 995, 2)
    return book


def exact_holds(book):
    if vars(book):  # else never constructed, as OrderBook.__new__(OrderBook) pickles
        _check(book)


def core_holds(book):
    book._check()


BOOKS = {"exact": (small_book, exact_holds), "core": (core_book, core_holds)}


def load(data, holds):
    """Loads a damaged snapshot: True for a book, which must hold up; False for an error or
    anything else (a flipped opcode can leave another object on top).

    Through the pure-Python unpickler, which makes the same calls: a flipped memo index or
    frame length makes the C one allocate (and zero) gigabytes before it notices anything."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # a flip can turn a name into a deprecated one
            loaded = pickle._loads(data)
    except Exception:
        return False
    if not isinstance(loaded, (OrderBook, core.Book)):
        return False
    holds(loaded)
    return True


@pytest.mark.parametrize("kind", BOOKS)
def test_every_bit_flip_and_truncation_is_refused_or_loads_sound(kind):
    make, holds = BOOKS[kind]
    data = pickle.dumps(make(), pickle.HIGHEST_PROTOCOL)
    loaded = sum(load(data[:cut], holds) for cut in range(len(data)))
    assert loaded == 0  # nothing is left of a pickle without its end
    flipped = bytearray(data)
    for bit in range(8 * len(data)):
        flipped[bit // 8] ^= 1 << bit % 8
        loaded += load(bytes(flipped), holds)
        flipped[bit // 8] ^= 1 << bit % 8
    assert 0 < loaded < 8 * len(data)  # some flips only change a value; most break the pickle


@pytest.mark.parametrize("kind", BOOKS)
def test_random_edits_of_a_trading_book_are_refused_or_load_sound(kind):
    book = seeded_session(5, 800) if kind == "exact" else core.Book.from_orderbook(
        seeded_session(5, 800), tick_size=Decimal("0.01"))
    data = pickle.dumps(book, pickle.HIGHEST_PROTOCOL)
    rng = random.Random(23)
    for _ in range(400):
        edited = bytearray(data)
        for _ in range(rng.randint(1, 3)):
            edited[rng.randrange(len(edited))] = rng.randrange(256)
        load(bytes(edited), BOOKS[kind][1])


# --- broken states, made by hand ---------------------------------------------------------


def first_order(book, side=ASK):
    levels = book.asks if side is ASK else book.bids
    return next(iter(levels.values())).queue, next(iter(next(iter(levels.values())).queue.values()))


def misfiled_order(book):
    """The corruption a flipped bit once caused: an order priced 99.5 in the level at 89.5."""
    level = book.bids[Decimal("89.5")]
    stray = Order(BID, 7, Decimal("99.5"))
    level.add_order(stray)
    book.orders[stray.order_id] = (level, stray)
    return stray


BROKEN = {
    "order-in-the-wrong-level": (
        misfiled_order, "the bid level at Decimal('89.5') holds order '{}' priced "
                        "Decimal('99.5')"),
    "level-total-off": (
        lambda b: setattr(b.asks[Decimal("100")], "total_quantity", 9),
        "the ask level at Decimal('100') has the total 9, but its orders hold 5"),
    "empty-level": (
        lambda b: b.asks.__setitem__(Decimal("101"), PriceLevel(Decimal("101"), ASK)),
        "the ask level at Decimal('101') is empty"),
    "level-on-the-wrong-side": (
        lambda b: setattr(b.bids[Decimal("90")], "side", ASK),
        "the bid level at Decimal('90') has the side <OrderSide.ASK: 1>"),
    "stale-best-bid": (
        lambda b: setattr(b, "_best_bid", Decimal("89.5")),
        "its cached best bid is Decimal('89.5'), but the bid side starts at Decimal('90')"),
    "best-ask-of-an-empty-side": (
        lambda b: [b.orders.pop(i) for i in [*b.orders][2:]] and b.asks.clear(),
        "its cached best ask is Decimal('99.5'), but the ask side is empty"),
    "index-entry-of-no-level": (
        lambda b: b.orders.__setitem__("x", (PriceLevel(Decimal("1"), BID), Order(BID, 1, 1))),
        "its index holds order 'x', which no level queues"),
    "order-missing-from-the-index": (
        lambda b: b.orders.pop(first_order(b)[1].order_id),
        "order '{}', queued at Decimal('99.5'), is not in the index with its level"),
    "order-queued-under-another-id": (
        lambda b: setattr(first_order(b)[1], "order_id", "elsewhere"),
        "the ask level at Decimal('99.5') queues order 'elsewhere' under '{}'"),
    "filled-order-resting": (
        lambda b: setattr(first_order(b)[1], "status", OrderStatus.FILLED),
        "order '{}' rests with the status <OrderStatus.FILLED: 2>"),
    "nothing-left-resting": (
        lambda b: setattr(first_order(b)[1], "remaining_quantity", 0),
        "order '{}' rests with 0 of 3 open"),
    "open-order-that-traded": (
        lambda b: setattr(first_order(b, BID)[1], "original_quantity", 9),
        "order '{}' is OPEN but has traded: 2 of 9 open"),
    "bids-sorted-lowest-first": (
        lambda b: setattr(b, "bids", type(b.asks)(b.bids)),
        "its bid side does not sort the highest price first"),
    "index-not-a-dict": (
        lambda b: setattr(b, "orders", list(b.orders.items())),
        "its orders index is a list, not a dict"),
    "half-built": (lambda b: delattr(b, "trade_log"), "it has no trade_log"),
}


@pytest.mark.parametrize("case", BROKEN)
def test_broken_state_is_refused_naming_what_is_wrong(case):
    break_it, message = BROKEN[case]
    book = small_book()
    ids = {"ask": first_order(book)[1].order_id, "bid": first_order(book, BID)[1].order_id}
    stray = break_it(book)
    order_id = stray.order_id if isinstance(stray, Order) else ids[
        "bid" if case == "open-order-that-traded" else "ask"]
    data = pickle.dumps(book)  # a broken book still pickles: the check is at load time
    with pytest.raises(ValueError) as info:
        pickle.loads(data)
    assert str(info.value) == "damaged OrderBook snapshot: " + message.format(order_id)


def test_sound_snapshot_of_every_shape_loads():
    """Empty sides, a never-constructed book, partly filled and resubmitted orders."""
    book = small_book()
    cancelled = first_order(book, BID)[1]
    book.cancel_order(cancelled.order_id)
    book.add_limit_order(cancelled)  # rests again, CANCELLED
    for sound in (OrderBook(), OrderBook.__new__(OrderBook), book):
        restored = pickle.loads(pickle.dumps(sound))
        if vars(sound):
            _check(restored)
            assert str(restored) == str(sound)


class CoreSnapshot:
    """Pickles as a core book whose state is the given rows."""

    def __init__(self, rows):
        self.rows = rows

    def __reduce__(self):
        return (core.Book, (), self.rows)


@pytest.mark.parametrize("rows, message", [
    ([(1, core.BID, 100, 5, False), (2, core.ASK, 100, 5, False)],
     "the rows describe a crossed book: best bid 100 is not below best ask 100"),
    ([(1, core.BID, 100, 5, False), (1, core.BID, 99, 5, False)], "row 1: "),
    ([(1, core.BID, 100, 0, False)], "row 0: "),
], ids=["crossed", "id-twice", "nothing-open"])
def test_broken_core_rows_are_refused(rows, message):
    with pytest.raises(ValueError) as info:
        pickle.loads(pickle.dumps(CoreSnapshot(rows)))
    assert str(info.value).startswith(message)
