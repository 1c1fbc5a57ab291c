"""Seeded order flows for the benchmarks, and the one loop that replays a flow on a book.

A flow is a list of event tuples (kind, a, b, c), generated once against a small reference
book on integer ticks so that every price, sweep and cancellation is consistent, then
replayed identically on every engine:

    (LIMIT, side, quantity, price)    build Order(side, quantity, price), add_limit_order
    (MARKET, side, quantity, None)    build Order(side, quantity), add_market_order
    (CANCEL, k, None, None)           cancel_order(id of the k-th order the flow built)

Orders are numbered by creation across the untimed set-up and the timed events, so a
cancellation names the same order on every engine whatever identifiers they issued.
"""

import bisect
import math
import random
from collections import OrderedDict
from dataclasses import dataclass, field
from decimal import Decimal

from velmora.orderbook import OrderSide

LIMIT, MARKET, CANCEL = 0, 1, 2
SIDES = (OrderSide.BID, OrderSide.ASK)  # a side index is 0 for buy, 1 for sell
MID = 10000  # 100.00 in ticks of 0.01
DEEP_MID = 100000  # 1000.00: room for tens of thousands of levels per side


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


@dataclass
class Flow:
    name: str
    title: str
    setup: list  # untimed events that build the starting book
    events: list  # the timed events
    resting: int = 0  # orders resting when the timed events start
    group: str = ""  # rows of one scaling series share a group
    notes: dict = field(default_factory=dict)


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
    """Emits events and keeps the reference book in step with them."""

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
# i ticks from the opposite best quote at rate 1.92 / i**0.52 (i = 1..DEPTH), market orders
# at 0.94 per side, and every resting order is cancelled at a rate that falls with its
# distance d (in ticks) from the opposite quote, 0.71 at d = 1. Event times are irrelevant
# here: only the sequence of events, drawn in proportion to their rates, is kept.
DEPTH = 10
ARRIVAL = [1.92 / i**0.52 for i in range(1, DEPTH + 1)]
MARKET_RATE = 0.94
SEED_BOOK = 10  # resting orders the mixed flow starts from


def cancel_rate(distance):
    return 0.71 * distance**-0.35


def zero_intelligence(seed, count):
    rng = random.Random(seed)
    b = Builder()
    book = b.book
    for k in range(SEED_BOOK // 2):
        b.limit(0, MID - 1 - k, size(rng))
        b.limit(1, MID + 1 + k, size(rng))
    b.start_timed()
    arrival_total = sum(ARRIVAL)
    cumulative = list(ARRIVAL)
    for i in range(1, DEPTH):
        cumulative[i] += cumulative[i - 1]
    rates = [cancel_rate(d) for d in range(1, 4096)]
    while len(b.events) < count:
        bid, ask = book.best(0), book.best(1)
        weights = []
        cancels = 0.0
        for side, reference in ((0, ask), (1, bid)):
            for ticks, level in book.levels[side].items():
                d = abs(reference - ticks)
                w = (rates[d - 1] if d <= len(rates) else cancel_rate(d)) * len(level)
                cancels += w
                weights.append((cancels, side, ticks))
        u = rng.random() * (2 * arrival_total + 2 * MARKET_RATE + cancels)
        if u < 2 * arrival_total:
            side = 0 if u < arrival_total else 1
            i = 1 + bisect.bisect_right(cumulative, rng.random() * arrival_total)
            i = min(i, DEPTH)
            b.limit(side, ask - i if side == 0 else bid + i, size(rng))
            continue
        u -= 2 * arrival_total
        if u < 2 * MARKET_RATE:
            side = 0 if u < MARKET_RATE else 1
            # Never empty the opposite side: the model needs both quotes, and the flow must
            # not reach the far-away orders of the scaling preloads.
            quantity = min(size(rng), book.depth[1 - side] - 1)
            if quantity >= 1:
                b.market(side, quantity)
            continue
        u -= 2 * MARKET_RATE
        j = bisect.bisect_right([w[0] for w in weights], u)
        _, side, ticks = weights[min(j, len(weights) - 1)]
        level = book.levels[side][ticks]
        if len(level) == 1 and len(book.levels[side]) == 1:
            continue  # would empty the side
        b.cancel(rng.choice(list(level)))
    return b


def with_preload(base, name, total):
    """The flow of base against a book holding total resting orders before it starts.

    The extra orders rest far below every bid and far above every ask the flow uses (ten per
    level), so the timed events and their effects are the same for every size.
    """
    rng = random.Random(total)
    extra = total - SEED_BOOK
    setup = list(base.setup[:SEED_BOOK])
    low, high = min(base.ticks) - 50, max(base.ticks) + 50
    per_level = 10
    for n in range(extra):
        side = n % 2
        step = n // 2 // per_level
        ticks = low - step if side == 0 else high + step
        assert ticks > 0
        setup.append((LIMIT, SIDES[side], size(rng), price_of(ticks)))
    events = []
    for event in base.events:
        if event[0] == CANCEL and event[1] >= SEED_BOOK:
            event = (CANCEL, event[1] + extra, None, None)
        events.append(event)
    return Flow(
        name,
        f"mixed, {total:,} resting".replace(",", " "),
        setup,
        events,
        resting=total,
        group="mixed",
    )


# --- targeted flows ----------------------------------------------------------------------


def adds_at_existing_levels(seed, count):
    rng = random.Random(seed)
    b = Builder()
    for k in range(20):
        b.limit(0, MID - 1 - k, size(rng))
        b.limit(1, MID + 1 + k, size(rng))
    b.start_timed()
    for _ in range(count):
        side = rng.randrange(2)
        k = rng.randrange(20)
        b.limit(side, MID - 1 - k if side == 0 else MID + 1 + k, size(rng))
    return b


def adds_opening_levels(seed, count):
    rng = random.Random(seed)
    b = Builder()
    b.limit(0, DEEP_MID - 1, size(rng))
    b.limit(1, DEEP_MID + 1, size(rng))
    b.start_timed()
    bids = [DEEP_MID - 2 - k for k in range(count // 2)]
    asks = [DEEP_MID + 2 + k for k in range(count - count // 2)]
    rng.shuffle(bids)
    rng.shuffle(asks)
    while bids or asks:
        side = rng.randrange(2) if bids and asks else (0 if bids else 1)
        b.limit(side, (bids if side == 0 else asks).pop(), size(rng))
    return b


def cancels_keeping_levels(seed, count, anywhere=False):
    """Cancellations that leave every level with at least one order.

    The set-up places the orders round-robin over 20 levels per side. By default they are
    cancelled oldest first, shuffled within runs of 64: the book's memory is walked roughly
    in order, so the figures show the engines' own work. With anywhere=True they are
    cancelled in random order, and most of an event's cost is cache misses on a large book.
    """
    rng = random.Random(seed)
    b = Builder()
    levels = 20
    per_level = math.ceil(count / (2 * levels)) + 1
    placed = []
    for _ in range(per_level):
        for k in range(levels):
            for side in (0, 1):
                ticks = MID - 1 - k if side == 0 else MID + 1 + k
                placed.append(b.limit(side, ticks, size(rng)))
    stays = set()  # one order per level stays, so the level stays
    for k in range(2 * levels):
        stays.add(placed[k + 2 * levels * rng.randrange(per_level)])
    victims = [index for index in placed if index not in stays][:count]
    if anywhere:
        rng.shuffle(victims)
    else:
        for start in range(0, len(victims), 64):
            run = victims[start : start + 64]
            rng.shuffle(run)
            victims[start : start + 64] = run
    b.start_timed()
    for index in victims:
        b.cancel(index)
    return b


def cancels_emptying_levels(seed, count):
    rng = random.Random(seed)
    b = Builder()
    placed = []
    for k in range(count // 2):
        placed.append(b.limit(0, DEEP_MID - 1 - k, size(rng)))
        placed.append(b.limit(1, DEEP_MID + 1 + k, size(rng)))
    rng.shuffle(placed)
    b.start_timed()
    for index in placed:
        b.cancel(index)
    return b


def deep_book(b, rng, levels):
    for k in range(levels):
        for side in (0, 1):
            ticks = DEEP_MID - 1 - k if side == 0 else DEEP_MID + 1 + k
            for _ in range(rng.randint(1, 3)):
                b.limit(side, ticks, size(rng))


def sweeping_limits(seed, count):
    """Crossing limit orders, each priced at the 2nd..5th opposite level and sized to end
    inside that level: it empties every level before it and never rests."""
    rng = random.Random(seed)
    b = Builder()
    book = b.book
    deep_book(b, rng, levels=count * 2 + 16)
    b.start_timed()
    for _ in range(count):
        side = rng.randrange(2)
        opposite = 1 - side
        reach = rng.randint(2, 5)
        ranks = [book.level_at(opposite, r) for r in range(reach)]
        assert ranks[-1] is not None, "deep book too shallow for the sweeps"
        before = sum(book.level_quantity(opposite, t) for t in ranks[:-1])
        last = book.level_quantity(opposite, ranks[-1])
        b.limit(side, ranks[-1], before + rng.randint(1, last))
    return b


def market_orders(seed, count):
    """Market orders sized to reach one to three levels of the opposite side."""
    rng = random.Random(seed)
    b = Builder()
    book = b.book
    deep_book(b, rng, levels=count + 16)
    b.start_timed()
    for _ in range(count):
        side = rng.randrange(2)
        opposite = 1 - side
        ranks = [book.level_at(opposite, r) for r in range(rng.randint(1, 3))]
        assert ranks[-1] is not None, "deep book too shallow for the market orders"
        reach = sum(book.level_quantity(opposite, t) for t in ranks)
        b.market(side, rng.randint(1, reach))
    return b


def _flow(name, title, built, group=""):
    return Flow(name, title, built.setup, built.events, built.book.resting(), group)


def build(quick=False):
    """All flows, in table order. quick shrinks every size for a smoke run."""
    scale = 0.05 if quick else 1.0

    def n(full):
        return max(200, int(full * scale))

    mixed = zero_intelligence(seed=20100101, count=n(100_000))
    sizes = (10, 1_000, 10_000) if quick else (10, 1_000, 100_000)
    flows = []
    for total in sizes:
        label = f"{total // 1000}k" if total >= 1000 else str(total)
        flows.append(with_preload(mixed, f"mixed-{label}", total))
    flows += [
        _flow("add-existing", "adds at existing levels", adds_at_existing_levels(11, n(100_000))),
        _flow("add-new-level", "adds opening new levels", adds_opening_levels(12, n(20_000))),
        _flow("cancel-keep", "cancels keeping the level", cancels_keeping_levels(13, n(100_000))),
        _flow(
            "cancel-random",
            "cancels keeping the level, random order",
            cancels_keeping_levels(17, n(100_000), anywhere=True),
        ),
        _flow("cancel-empty", "cancels emptying a level", cancels_emptying_levels(14, n(20_000))),
        _flow("sweep", "limit orders sweeping 2-5 levels", sweeping_limits(15, n(6_000))),
        _flow("market", "market orders, 1-3 levels", market_orders(16, n(10_000))),
    ]
    return flows
