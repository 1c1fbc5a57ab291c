"""velmora.core's books start small and grow on demand: order and level storage from a few
slots, a side's level blocks from a few entries, the price window only once a side holds
enough levels near each other. A book grown from empty to 100 000 orders and shrunk back,
with its levels dense or far apart, stays equal to a plain model through every growth step,
and a small book holds a small amount of memory."""

import random

import pytest

from velmora import core

BID, ASK = core.BID, core.ASK


class Model:
    """Resting orders by id, each (side, price, quantity, time)."""

    def __init__(self):
        self.orders = {}

    def depth(self, side):
        levels = {}
        for s, price, quantity, _ in self.orders.values():
            if s == side:
                total, count = levels.get(price, (0, 0))
                levels[price] = (total + quantity, count + 1)
        prices = sorted(levels, reverse=side == BID)
        return [(p, *levels[p]) for p in prices]


def agree(book, model):
    book._check()
    assert len(book) == len(model.orders)
    got = sorted((row[0], row[1], row[2], row[3], row[5]) for row in book.orders())
    assert got == sorted((i, *o) for i, o in model.orders.items())
    for side in (BID, ASK):
        assert book.depth(side, 1 << 30) == model.depth(side)


def slab_capacities():
    """The slots an order or level slab holds after each growth below a chunk (1 024): a
    quarter more each time, 4 at least."""
    capacity = 0
    while capacity < 1024:
        capacity = min(1024, capacity + max(4, capacity // 4))
        yield capacity


# Prices per order number: one tick apart (the window forms), a hundred apart as ITCH's cent
# steps are in its units (a few levels per window width), and millions apart (blocks only).
SPACINGS = {
    "dense": lambda k: k % 700,
    "cents": lambda k: 100 * (k % 700),
    "far": lambda k: 5_000_000 * (k % 300),
}


@pytest.mark.parametrize("spacing", SPACINGS, ids=list(SPACINGS))
def test_grown_from_empty_to_100_000_orders_and_shrunk_back(spacing):
    rng = random.Random(spacing)
    price_of = SPACINGS[spacing]
    book, model = core.Book(feed=True), Model()  # sides may overlap: storage is under test
    n = 100_000
    # At and just past every growth of the slabs, then sparser.
    checks = {1, 2, 3, 2048, 2049, 10_000, 50_000, n}
    for capacity in slab_capacities():
        checks |= {capacity, capacity + 1}
    for k in range(n):
        side = BID if k % 2 else ASK
        price = 1_000_000_000 + price_of(k) * (1 if side == ASK else -1)
        quantity = 1 + rng.randrange(9)
        book.add_limit(k, side, price, quantity, time=k)
        model.orders[k] = (side, price, quantity, k)
        if k + 1 in checks:
            agree(book, model)
    grown = book._native_bytes()
    assert grown / n <= 48
    ids = list(model.orders)
    rng.shuffle(ids)
    for step, order_id in enumerate(ids):
        assert book.cancel(order_id)
        del model.orders[order_id]
        if len(model.orders) in checks or step % 9_973 == 0:
            agree(book, model)
    assert len(book) == 0
    # Growing again reuses the order and level slots the book holds (new slots for these
    # orders would take 68 kB; the level blocks may split differently, by a few kB).
    for k in range(1_000):
        book.add_limit(n + k, BID, 500 + price_of(k), 1, time=k)
        model.orders[n + k] = (BID, 500 + price_of(k), 1, k)
    agree(book, model)
    assert book._native_bytes() <= grown + 8_192


@pytest.mark.parametrize(
    "prices, bound",
    [
        pytest.param([100], 1_000, id="one-order"),
        pytest.param([100 * k for k in range(20)], 3_000, id="twenty-levels-cents-apart"),
        pytest.param([100 + k % 3 for k in range(20)], 3_000, id="twenty-orders-three-levels"),
    ],
)
def test_a_small_book_holds_little(prices, bound):
    # Before growing on demand every book held about 100 kB whatever it held.
    book = core.Book()
    for k, price in enumerate(prices):
        book.add_limit(k, BID, price, 1)
    book._check()
    assert book._native_bytes() <= bound


@pytest.mark.parametrize("side", [BID, ASK], ids=["bid", "ask"])
@pytest.mark.parametrize("gap", [1, 3_000, 5_000], ids=["adjacent", "within-window", "apart"])
def test_levels_keep_their_order_as_a_side_gathers_them(side, gap):
    # Levels arrive one by one around the threshold at which a side makes its price window
    # (when it lies within reach) and leave again, best first and from the far end; each
    # step the side's levels, its best and its depth match the model.
    book, model = core.Book(), Model()
    sign = 1 if side == BID else -1
    order_id = 0
    for k in range(24):
        for price in (10**9 + sign * k * gap, 10**9 - sign * k * gap):
            book.add_limit(order_id, side, price, 1 + k, time=order_id)
            model.orders[order_id] = (side, price, 1 + k, order_id)
            order_id += 1
            agree(book, model)
    best = book.best_bid() if side == BID else book.best_ask()
    assert best == 10**9 + sign * 23 * gap
    while model.orders:
        ranked = sorted(model.orders, key=lambda i: model.orders[i][1] * sign)
        for order_id in (ranked[-1], ranked[0]):
            if order_id in model.orders:
                assert book.cancel(order_id)
                del model.orders[order_id]
        agree(book, model)
