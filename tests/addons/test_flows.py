"""The shared seeded order flow: reproducible from its seed, and consistent with the book it
is replayed on (the generator's reference book and velmora's agree after every flow)."""

import pytest

from model import _check
from velmora import flows
from velmora.orderbook import Order, OrderBook


def test_same_seed_same_events_other_seed_other_events():
    first, again, other = (flows.zero_intelligence(seed, 2_000) for seed in (5, 5, 6))
    assert (first.setup, first.events) == (again.setup, again.events)
    assert len(first.events) == 2_000
    assert first.events != other.events


@pytest.mark.parametrize("seed", [1, 7, 20100101], ids=lambda s: f"seed-{s}")
def test_replay_leaves_the_generators_reference_book(seed):
    built = flows.zero_intelligence(seed, 3_000)
    book, orders = OrderBook(), []
    flows.replay(book, Order, built.setup, orders)
    flows.replay(book, Order, built.events, orders)
    ref = built.book
    kinds = {kind for kind, *_ in built.events}
    assert kinds == {flows.LIMIT, flows.MARKET, flows.CANCEL}
    assert book.best_bid() == flows.price_of(ref.best(0))
    assert book.best_ask() == flows.price_of(ref.best(1))
    assert len(book.orders) == ref.resting()
    for index, (side, ticks) in ref.where.items():
        order = orders[index]
        assert book.orders[order.order_id][1] is order
        assert order.side is flows.SIDES[side]
        assert order.price == flows.price_of(ticks)
        assert order.remaining_quantity == ref.levels[side][ticks][index]
    _check(book)
