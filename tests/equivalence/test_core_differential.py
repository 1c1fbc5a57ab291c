"""velmora.core against the exact book: the same random flows on both, prices as Decimal
ticks, must give the same fills, the same resting orders in the same queues and the same
ladder text; and the batch replay must give exactly what the per-event calls give.
"""

import random
from decimal import Decimal

import numpy as np
import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from velmora import core
from velmora import orderbook as ob

TICK = Decimal("0.01")
SIDES = (ob.OrderSide.BID, ob.OrderSide.ASK)


def exact_rows(book):
    """The exact book's resting orders in the rows format of core.Book.orders() (the exact
    book keeps no time stamps and seeds nothing)."""
    rows = []
    for side, mapping in ((0, book.bids), (1, book.asks)):
        for price, level in mapping.items():
            for order in level.queue.values():
                traded = order.status == ob.OrderStatus.PARTIALLY_FILLED
                rows.append((int(order.order_id), side, int(price / TICK),
                             order.remaining_quantity, traded, 0, False))
    return rows


class Twins:
    """One exact book and one core book, driven with the same orders. The core's ids are the
    exact orders' identifiers read as integers."""

    def __init__(self):
        self.exact = ob.OrderBook()
        self.core = core.Book()
        self.ids = []

    def _exact_fills(self, before):
        return [(int(t.filler_id), int(t.price / TICK), t.quantity_filled)
                for t in self.exact.trade_log[before:]]

    def limit(self, side, ticks, quantity):
        order = ob.Order(SIDES[side], quantity, Decimal(ticks) * TICK)
        order_id = int(order.order_id)
        before = len(self.exact.trade_log)
        self.exact.add_limit_order(order)
        fills = self.core.add_limit(order_id, side, ticks, quantity)
        assert list(fills) == self._exact_fills(before)
        self.ids.append(order_id)
        return fills

    def market(self, side, quantity):
        order = ob.Order(SIDES[side], quantity)
        before = len(self.exact.trade_log)
        self.exact.add_market_order(order)
        fills = self.core.add_market(int(order.order_id), side, quantity)
        assert list(fills) == self._exact_fills(before)
        return fills

    def cancel(self, order_id):
        assert self.core.cancel(order_id) == self.exact.cancel_order(str(order_id))

    def compare(self):
        self.core._check()
        assert self.core.orders() == exact_rows(self.exact)
        assert self.core.ladder(TICK) == str(self.exact)
        bid, ask = self.exact.best_bid(), self.exact.best_ask()
        assert self.core.best_bid() == (None if bid is None else int(bid / TICK))
        assert self.core.best_ask() == (None if ask is None else int(ask / TICK))
        assert len(self.core) == len(self.exact.orders)


class CoreVsExact(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.twins = Twins()

    @rule(side=st.integers(0, 1), ticks=st.integers(9990, 10010), quantity=st.integers(1, 12))
    def limit(self, side, ticks, quantity):
        self.twins.limit(side, ticks, quantity)

    @rule(side=st.integers(0, 1), quantity=st.integers(1, 40))
    def market(self, side, quantity):
        self.twins.market(side, quantity)

    @precondition(lambda self: self.twins.ids)
    @rule(data=st.data())
    def cancel(self, data):
        self.twins.cancel(data.draw(st.sampled_from(self.twins.ids)))

    @rule(order_id=st.integers(-5, 5))
    def cancel_unknown(self, order_id):
        self.twins.cancel(order_id)

    @rule()
    def round_trip_through_the_bridges(self):
        # Both ways keep every order, its queue place and whether it traded.
        twins = self.twins
        exact = twins.core.to_orderbook(TICK)
        assert exact_rows(exact) == twins.core.orders()
        assert core.Book.from_orderbook(exact, TICK).orders() == twins.core.orders()
        assert core.Book.from_orderbook(twins.exact, TICK).orders() == exact_rows(twins.exact)

    @invariant()
    def same_books(self):
        self.twins.compare()


TestCoreVsExact = CoreVsExact.TestCase
# The exact book is the slow half of each step: a fifth of the profile's budget of programs.
TestCoreVsExact.settings = settings(
    settings.default, max_examples=max(20, settings.default.max_examples // 5)
)


def random_flow(seed, count, spread=12):
    """A seeded flow of (kind, side, ticks, quantity, k) tuples; a cancel names the k-th
    order issued so far (it may be gone already)."""
    rng = random.Random(seed)
    flow = []
    issued = 0
    for _ in range(count):
        u = rng.random()
        if u < 0.6 or issued == 0:
            flow.append((core.LIMIT, rng.randrange(2), 10000 + rng.randint(-spread, spread),
                         rng.randint(1, 9), None))
            issued += 1
        elif u < 0.75:
            flow.append((core.MARKET, rng.randrange(2), 0, rng.randint(1, 25), None))
            issued += 1
        else:
            flow.append((core.CANCEL, 0, 0, 0, rng.randrange(issued)))
    return flow


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_seeded_flow_matches_the_exact_book(seed):
    twins = Twins()
    issued = []
    for kind, side, ticks, quantity, k in random_flow(seed, 3000):
        if kind == core.LIMIT:
            twins.limit(side, ticks, quantity)
            issued.append(twins.ids[-1])
        elif kind == core.MARKET:
            twins.market(side, quantity)
            issued.append(None)
        elif issued[k] is not None:
            twins.cancel(issued[k])
    twins.compare()


def events_of(flow):
    events = np.zeros(len(flow), core.EVENT_DTYPE)
    for i, (kind, side, ticks, quantity, k) in enumerate(flow):
        events[i] = (kind, side, k if kind == core.CANCEL else i, ticks, quantity, 0)
    return events


@pytest.mark.parametrize("seed", [4, 5])
def test_batch_replay_equals_the_per_event_calls(seed):
    flow = random_flow(seed, 5000)
    events = events_of(flow)
    one_by_one = core.Book()
    expected = []
    for i, (kind, side, ticks, quantity, k) in enumerate(flow):
        if kind == core.LIMIT:
            fills = one_by_one.add_limit(i, side, ticks, quantity)
        elif kind == core.MARKET:
            fills = one_by_one.add_market(i, side, quantity)
        else:
            one_by_one.cancel(k)
            continue
        expected += [(i, i, resting, price, qty, side, kind, 0) for resting, price, qty in fills]
    batch = core.Book()
    fills = batch.replay(events).fills
    assert fills.dtype == core.FILL_DTYPE
    assert fills.tolist() == expected
    assert batch.orders() == one_by_one.orders()
    batch._check()


def test_batch_is_resumable_in_pieces():
    events = events_of(random_flow(6, 2000))
    whole, pieces = core.Book(), core.Book()
    expected = whole.replay(events).fills
    got = [pieces.replay(events[start:start + 333]).fills
           for start in range(0, len(events), 333)]
    # Sequence numbers count from the start of each call's array.
    for chunk, offset in zip(got, range(0, len(events), 333)):
        chunk["seq"] += offset
    assert np.concatenate(got).tolist() == expected.tolist()
    assert pieces.orders() == whole.orders()
