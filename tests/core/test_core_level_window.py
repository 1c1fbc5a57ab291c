"""velmora.core's level storage: a window of levels by price with sorted blocks beyond it.
Prices that walk the window up and down, jump past it, open far from the best, sit at the ends
of the 64-bit range or bounce between distant clusters; after every few steps the side's
levels must equal a plain model's and the book's invariants (window, bitmap, blocks) hold."""

import random

import pytest

from velmora import core

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
WIDTH = 4096  # the window's width in ticks


def far_and_near(rng, k):
    return rng.choice([100 + rng.randrange(30), 10**9 + rng.randrange(30),
                       -(10**12) - rng.randrange(30), 100 + rng.randrange(WIDTH, 3 * WIDTH)])


PRICES = {
    "walking up": lambda rng, k: 1_000 + k // 2 + rng.randrange(-20, 20),
    "walking down": lambda rng, k: 50_000 - k // 2 + rng.randrange(-20, 20),
    "jumping past the window": lambda rng, k: (k // 150) * (WIDTH + 1500) + rng.randrange(40),
    "far and near": far_and_near,
    "ends of the range": lambda rng, k: rng.choice([INT64_MAX - rng.randrange(WIDTH + 50),
                                                    INT64_MIN + rng.randrange(WIDTH + 50)]),
    "bouncing between clusters": lambda rng, k: (k // 40 % 2) * 3 * WIDTH + rng.randrange(60),
}


class Side:
    """One side as price -> FIFO of [id, open]; a market order on the other side takes from
    the best price (highest for bids, lowest for asks)."""

    def __init__(self, side):
        self.side, self.levels, self.where = side, {}, {}

    def add(self, order_id, price, quantity):
        self.levels.setdefault(price, []).append([order_id, quantity])
        self.where[order_id] = price

    def cancel(self, order_id):
        price = self.where.pop(order_id)
        queue = self.levels[price]
        queue.remove(next(o for o in queue if o[0] == order_id))
        if not queue:
            del self.levels[price]

    def take(self, quantity):
        fills = []
        while quantity and self.levels:
            price = (max if self.side == core.BID else min)(self.levels)
            order = self.levels[price][0]
            fill = min(quantity, order[1])
            fills.append((order[0], price, fill))
            quantity -= fill
            order[1] -= fill
            if not order[1]:
                self.cancel(order[0])
        return tuple(fills)

    def depth(self):
        return [(p, sum(o[1] for o in q), len(q))
                for p, q in sorted(self.levels.items(), reverse=self.side == core.BID)]


@pytest.mark.parametrize("side", [core.BID, core.ASK], ids=["bids", "asks"])
@pytest.mark.parametrize("pattern", list(PRICES))
def test_levels_match_a_model(pattern, side):
    rng = random.Random(hash(pattern) % 1000 + side)
    price_at = PRICES[pattern]
    book, model = core.Book(), Side(side)
    next_id = 0
    for k in range(3_000):
        roll = rng.random()
        if roll < 0.35 and model.where:
            order_id = rng.choice(list(model.where))
            assert book.cancel(order_id)
            model.cancel(order_id)
        elif roll < 0.40:
            quantity = rng.randrange(1, 30)
            assert book.add_market(next_id, 1 - side, quantity) == model.take(quantity)
            next_id += 1
        else:
            price, quantity = price_at(rng, k), rng.randrange(1, 4)
            assert book.add_limit(next_id, side, price, quantity) == ()
            model.add(next_id, price, quantity)
            next_id += 1
        if k % 50 == 0:
            book._check()
            assert book.depth(side, 100_000) == model.depth()
    book._check()
    assert book.depth(side, 100_000) == model.depth()
    assert sum(1 for _ in book.orders()) == len(model.where)


@pytest.mark.parametrize("side", [core.BID, core.ASK], ids=["bids", "asks"])
def test_emptied_window_moves_to_the_far_levels(side):
    # Levels near 0 fill the window; levels a million ticks away go to the blocks. Once the
    # near ones are gone, a new level next to the far ones brings them into a new window, and
    # the side keeps its order through it all.
    sign = 1 if side == core.BID else -1
    book = core.Book()
    far = [sign * -(10**6) - k for k in range(0, 300, 3)]
    near = list(range(0, 50))
    for k, price in enumerate(far + near):
        book.add_limit(k, side, sign * price if price in near else price, 1)
    book._check()
    for k in range(len(far), len(far) + len(near)):
        book.cancel(k)
    book._check()
    book.add_limit(10_000, side, far[0] - sign * 1, 2)
    book._check()
    prices = [p for p, _, _ in book.depth(side, 1_000)]
    assert prices == sorted(far + [far[0] - sign], reverse=side == core.BID)
