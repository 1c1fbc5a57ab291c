"""The benchmark's flows: the realistic mixed flow at several book depths, and targeted flows.

Events, the reference book, the realistic generator and the replay loop come from
``velmora.flows`` (see its docstring for the event format); this module adds the targeted
flows, the table of flows the benchmark runs (``build``) and a count of what a flow's events
do on a book (``profile``).
"""

import math
import random
from dataclasses import dataclass, field

# The realistic flow and the helpers every flow is built from live in the package, shared
# with the examples and importable on worker processes; they are re-exported here under
# their old names.
from velmora.flows import (  # noqa: F401
    CANCEL,
    LIMIT,
    MARKET,
    MID,
    SEED_BOOK,
    SIDES,
    Builder,
    RefBook,
    price_of,
    replay,
    size,
    zero_intelligence,
)

DEEP_MID = 100000  # 1000.00: room for tens of thousands of levels per side


@dataclass
class Flow:
    name: str
    title: str
    setup: list  # untimed events that build the starting book
    events: list  # the timed events
    resting: int = 0  # orders resting when the timed events start
    group: str = ""  # rows of one scaling series share a group
    notes: dict = field(default_factory=dict)


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


def profile(book, order_type, flow, orders):
    """Replays flow on book one event at a time and counts what its timed events do: events of
    each kind, price levels opened and closed, fills. orders collects the orders built.

    Works on any book with the module's interface (its sides, orders index and trade log), so
    every engine's count can be compared with the plain book's.
    """
    replay(book, order_type, flow.setup, orders)
    sides = {SIDES[0]: book.bids, SIDES[1]: book.asks}
    levels, fills = len(book.bids) + len(book.asks), len(book.trade_log)
    counts = dict.fromkeys(("limit", "market", "cancel", "opened"), 0)
    kinds = ("limit", "market", "cancel")
    for event in flow.events:
        # A limit order opens a level when it rests at a price its side did not have; its
        # own side is untouched by its matching.
        new_price = event[0] == LIMIT and event[3] not in sides[event[1]]
        replay(book, order_type, (event,), orders)
        counts[kinds[event[0]]] += 1
        counts["opened"] += new_price and orders[-1].order_id in book.orders
    # Every level closed was there at the start or opened since.
    counts["closed"] = counts["opened"] + levels - len(book.bids) - len(book.asks)
    counts["fills"] = len(book.trade_log) - fills
    return counts


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
