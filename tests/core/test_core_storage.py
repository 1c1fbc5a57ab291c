"""velmora.core's order and level storage grows a slab at a time and may move when it grows:
operations that need a new slot exactly when the slab is full, across several growths, keep
every order and level intact."""

import pytest

from velmora import core

BID, ASK = core.BID, core.ASK
CHUNK = 1024  # slots the storage adds at a time


def key(row):
    return row[0]


@pytest.mark.parametrize("levels", [CHUNK - 1, CHUNK, CHUNK + 1, 2 * CHUNK, 3 * CHUNK + 7])
def test_a_modify_that_needs_a_new_level_when_the_levels_are_full(levels):
    # One order per level fills the level storage to `levels` slots; moving an order of a
    # level of several to a new price takes one more level while the old one is still in use.
    book = core.Book()
    for k in range(levels):
        book.add_limit(k, BID, 10_000 - k, 1 + k % 4, k)
    book.add_limit(levels, BID, 10_000, 5, levels)  # a second order at the best level
    expected = {row[0]: row for row in book.orders()}
    for step, order_id in enumerate([levels, 0, levels // 2]):
        price = 10_001 + step if step < 2 else -(10**7)
        book.modify(order_id, price, 3, 100 + step)
        book._check()
        old = expected[order_id]
        expected[order_id] = (order_id, BID, price, 3, old[4], 100 + step, old[6])
        assert sorted(book.orders(), key=key) == sorted(expected.values(), key=key)


@pytest.mark.parametrize("rounds", [1, 3])
def test_orders_across_growths_while_trading(rounds):
    # Orders rest past several slabs' worth, trade away and come back: slots are reused from
    # the free list and the storage grows only past the most orders ever resting.
    book = core.Book()
    order_id = 0
    for r in range(rounds):
        first = order_id
        for k in range(2 * CHUNK + 5):
            book.add_limit(order_id, ASK, 500 + k % 300, 1, order_id)
            order_id += 1
        book._check()
        grown = book._native_bytes()
        fills = book.add_market(order_id, BID, 2 * CHUNK + 5)
        order_id += 1
        assert sum(f[2] for f in fills) == 2 * CHUNK + 5
        assert [f[0] for f in fills] == sorted(range(first, first + 2 * CHUNK + 5),
                                               key=lambda i: (500 + (i - first) % 300, i))
        assert len(book) == 0
        book._check()
        if r > 0:
            assert grown == previous
        previous = grown
