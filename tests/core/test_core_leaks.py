"""velmora.core: no Python blocks left behind by repeated calls, on success and refusal
paths, and native storage that returns to its size when the same orders come and go."""

import numpy as np
import pytest
from conftest import assert_no_leak, raises

from velmora import core

BID, ASK = core.BID, core.ASK
BIG = 10**15  # ids and prices outside the small-int cache, so every call makes new ints


def crossing_round(book):
    book.add_limit(BIG, ASK, BIG, 3)
    book.add_limit(BIG + 1, BID, BIG, 2)
    book.add_market(BIG + 2, BID, 5)


def refusals(book):
    raises(ValueError, book.add_limit, BIG + 7, BID, 1, 0)
    raises(ValueError, book.add_limit, 100, BID, 1, 1)
    raises(OverflowError, book.add_limit, 2**63, BID, 1, 1)
    raises(TypeError, book.add_market, BIG, BID, 1.5)


EVENTS = np.array([(core.LIMIT, ASK, BIG, BIG, 3, BIG), (core.MARKET, BID, BIG + 1, 0, 5, BIG),
                   (core.LIMIT, BID, 5, 2, 1, 0), (core.LIMIT, BID, 5, 2, 1, 0)],
                  dtype=core.EVENT_DTYPE)


def refused_batch(book):
    raises(ValueError, book.replay, EVENTS)
    book.cancel(5)


@pytest.mark.parametrize(
    "operation",
    [
        pytest.param(crossing_round, id="trading-calls"),
        pytest.param(refusals, id="refusals"),
        pytest.param(lambda b: (b.depth(BID), b.orders(), str(b), b.best_bid()), id="queries"),
        pytest.param(lambda b: b.replay(EVENTS[:2]), id="replay"),
        pytest.param(refused_batch, id="refused-replay"),
        pytest.param(lambda b: b.__setstate__(b.__reduce__()[2]), id="pickle-state"),
    ],
)
def test_no_blocks_left_behind(operation):
    book = core.Book()
    for k in range(20):  # bids only: the operations trade among their own orders
        book.add_limit(100 + k, BID, 1000 + k // 2, 1 + k)
    assert_no_leak(lambda: operation(book), n=300)
    book._check()


def test_native_storage_is_reused():
    book = core.Book()
    sizes = []
    for _ in range(3):
        for k in range(5000):
            book.add_limit(k, k % 2, 10_000 + k if k % 2 else 9_000 - k, 1)
        sizes.append(book._native_bytes())
        for k in range(5000):
            book.cancel(k)
        assert len(book) == 0
    assert sizes[1] == sizes[2] <= sizes[0] * 1.01
