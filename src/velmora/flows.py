"""Seeded order flows for simulations, back-tests and benchmarks.

A flow is a list of events, generated once from a seed against a small reference book on
integer ticks so that every price, sweep and cancellation is consistent, then replayed on
any book with :func:`replay`. Each event is a tuple ``(kind, a, b, c)``:

    (LIMIT, side, quantity, price)    build Order(side, quantity, price), add_limit_order
    (MARKET, side, quantity, None)    build Order(side, quantity), add_market_order
    (CANCEL, k, None, None)           cancel_order(id of the k-th order the flow built)

Orders are numbered by creation across a flow's set-up and its events, so a cancellation
names the same order however the book issued identifiers. Prices are fresh ``Decimal``
objects on a 0.01 grid around 100.00; quantities are 1 to 5.

The realistic flow is :func:`zero_intelligence`, a zero-intelligence model after Cont,
Stoikov & Talreja (2010). The same seed always gives the same events::

    from velmora.orderbook import Order, OrderBook
    from velmora import flows

    built = flows.zero_intelligence(seed=1, count=10_000)
    book, orders = OrderBook(), []
    flows.replay(book, Order, built.setup, orders)   # the starting book
    flows.replay(book, Order, built.events, orders)  # the session itself

Pure Python: it is importable wherever ``velmora`` is installed, worker processes included.
"""

import bisect
import random
from collections import OrderedDict
from decimal import Decimal

from velmora.orderbook import OrderSide

__all__ = ["CANCEL", "LIMIT", "MARKET", "MID", "SEED_BOOK", "SIDES", "Builder", "RefBook",
           "price_of", "replay", "size", "zero_intelligence"]

LIMIT, MARKET, CANCEL = 0, 1, 2
SIDES = (OrderSide.BID, OrderSide.ASK)  # a side index is 0 for buy, 1 for sell
MID = 10000  # 100.00 in ticks of 0.01


def price_of(ticks):
    # A fresh Decimal per order, as prices parsed from a feed would be: equal, never
    # identical. Its hash is computed here, once: a Decimal caches it, every replay after the
    # first would find it cached anyway, and the first hash of a Decimal (about 0.6 us) would
    # otherwise be charged to whichever engine happens to run first.
    price = Decimal(ticks).scaleb(-2)
    hash(price)
    return price


def replay(book, order_type, events, orders):
    """Apply events to book; orders collects every order built, in flow order."""
    add_limit = book.add_limit_order
    add_market = book.add_market_order
    cancel = book.cancel_order
    keep = orders.append
    for kind, a, b, c in events:
        if kind == LIMIT:
            order = order_type(a, b, c)
            keep(order)
            add_limit(order)
        elif kind == CANCEL:
            cancel(orders[a].order_id)
        else:
            order = order_type(a, b)
            keep(order)
            add_market(order)


class RefBook:
    """Price-time book on integer ticks; just enough to keep generated flows consistent."""

    def __init__(self):
        self.levels = ({}, {})  # side -> {ticks: OrderedDict(order index -> quantity)}
        self.prices = ([], [])  # side -> level ticks, ascending
        self.where = {}  # resting order index -> (side, ticks)
        self.depth = [0, 0]  # resting quantity per side
        self.issued = 0  # orders built so far

    def best(self, side):
        prices = self.prices[side]
        if not prices:
            return None
        return prices[-1] if side == 0 else prices[0]

    def level_at(self, side, rank):
        """Ticks of the rank-th best level (0 = best), or None."""
        prices = self.prices[side]
        if rank >= len(prices):
            return None
        return prices[-1 - rank] if side == 0 else prices[rank]

    def level_quantity(self, side, ticks):
        return sum(self.levels[side][ticks].values())

    def resting(self):
        return len(self.where)

    def _drop_level(self, side, ticks):
        del self.levels[side][ticks]
        prices = self.prices[side]
        del prices[bisect.bisect_left(prices, ticks)]

    def _take(self, side, quantity, limit):
        """Fill quantity against side (the resting side), best first; returns what is left."""
        while quantity > 0 and self.prices[side]:
            best = self.best(side)
            if limit is not None and (best > limit if side == 1 else best < limit):
                break
            level = self.levels[side][best]
            while quantity > 0 and level:
                head, resting = next(iter(level.items()))
                fill = min(quantity, resting)
                quantity -= fill
                self.depth[side] -= fill
                if fill == resting:
                    level.popitem(last=False)
                    del self.where[head]
                else:
                    level[head] = resting - fill
            if not level:
                self._drop_level(side, best)
        return quantity

    def limit(self, side, ticks, quantity):
        index = self.issued
        self.issued += 1
        left = self._take(1 - side, quantity, ticks)
        if left > 0:
            level = self.levels[side].get(ticks)
            if level is None:
                level = self.levels[side][ticks] = OrderedDict()
                bisect.insort(self.prices[side], ticks)
            level[index] = left
            self.where[index] = (side, ticks)
            self.depth[side] += left
        return index

    def market(self, side, quantity):
        index = self.issued
        self.issued += 1
        self._take(1 - side, quantity, None)
        return index

    def cancel(self, index):
        side, ticks = self.where.pop(index)
        level = self.levels[side][ticks]
        self.depth[side] -= level.pop(index)
        if not level:
            self._drop_level(side, ticks)


class Builder:
    """Emits events and keeps the reference book in step with them.

    ``setup`` holds the events that build the starting book, ``events`` those after
    ``start_timed()``; ``book`` is the reference book after both.
    """

    def __init__(self):
        self.book = RefBook()
        self.setup = []
        self.events = []
        self.out = self.setup
        self.ticks = []  # every limit price used, for placing far-away preloads

    def start_timed(self):
        self.out = self.events

    def limit(self, side, ticks, quantity):
        assert ticks > 0, "prices stay positive"
        self.out.append((LIMIT, SIDES[side], quantity, price_of(ticks)))
        self.ticks.append(ticks)
        return self.book.limit(side, ticks, quantity)

    def market(self, side, quantity):
        self.out.append((MARKET, SIDES[side], quantity, None))
        return self.book.market(side, quantity)

    def cancel(self, index):
        self.out.append((CANCEL, index, None, None))
        self.book.cancel(index)


def size(rng):
    return rng.randint(1, 5)


# --- the realistic flow ------------------------------------------------------------------

# Zero-intelligence order flow after Cont, Stoikov & Talreja (2010): limit orders arrive at
# i ticks from the opposite best quote at rate 1.92 / i**0.52 (i = 1.._DEPTH), market orders
# at 0.94 per side, and every resting order is cancelled at a rate that falls with its
# distance d (in ticks) from the opposite quote, 0.71 at d = 1. Event times are irrelevant
# here: only the sequence of events, drawn in proportion to their rates, is kept.
_DEPTH = 10
_ARRIVAL = [1.92 / i**0.52 for i in range(1, _DEPTH + 1)]
_MARKET_RATE = 0.94
SEED_BOOK = 10  # resting orders the mixed flow starts from


def _cancel_rate(distance):
    return 0.71 * distance**-0.35


def zero_intelligence(seed, count):
    """The realistic mixed flow: a Builder whose ``setup`` rests SEED_BOOK orders around
    MID and whose ``events`` are count limit orders, market orders and cancellations.

    Market orders never empty the opposite side and cancellations never empty a side, so
    both best prices exist throughout. The same seed and count give the same events.
    """
    rng = random.Random(seed)
    b = Builder()
    book = b.book
    for k in range(SEED_BOOK // 2):
        b.limit(0, MID - 1 - k, size(rng))
        b.limit(1, MID + 1 + k, size(rng))
    b.start_timed()
    arrival_total = sum(_ARRIVAL)
    cumulative = list(_ARRIVAL)
    for i in range(1, _DEPTH):
        cumulative[i] += cumulative[i - 1]
    rates = [_cancel_rate(d) for d in range(1, 4096)]
    while len(b.events) < count:
        bid, ask = book.best(0), book.best(1)
        weights = []
        cancels = 0.0
        for side, reference in ((0, ask), (1, bid)):
            for ticks, level in book.levels[side].items():
                d = abs(reference - ticks)
                w = (rates[d - 1] if d <= len(rates) else _cancel_rate(d)) * len(level)
                cancels += w
                weights.append((cancels, side, ticks))
        u = rng.random() * (2 * arrival_total + 2 * _MARKET_RATE + cancels)
        if u < 2 * arrival_total:
            side = 0 if u < arrival_total else 1
            i = 1 + bisect.bisect_right(cumulative, rng.random() * arrival_total)
            i = min(i, _DEPTH)
            b.limit(side, ask - i if side == 0 else bid + i, size(rng))
            continue
        u -= 2 * arrival_total
        if u < 2 * _MARKET_RATE:
            side = 0 if u < _MARKET_RATE else 1
            # Never empty the opposite side: the model needs both quotes, and the flow must
            # not reach the far-away orders of the scaling preloads.
            quantity = min(size(rng), book.depth[1 - side] - 1)
            if quantity >= 1:
                b.market(side, quantity)
            continue
        u -= 2 * _MARKET_RATE
        j = bisect.bisect_right([w[0] for w in weights], u)
        _, side, ticks = weights[min(j, len(weights) - 1)]
        level = book.levels[side][ticks]
        if len(level) == 1 and len(book.levels[side]) == 1:
            continue  # would empty the side
        b.cancel(rng.choice(list(level)))
    return b


