"""velmora.core's id index: ids that share a home position and a tag, the extremes of the id
range, and memory that stays put over a long stream at a steady size, for increasing, strided
and random ids."""

import random

import pytest

from velmora import core

BID, ASK = core.BID, core.ASK
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
MASK64 = 2**64 - 1


def index_hash(order_id):
    """The index's 32-bit hash of an id: the high half of its Fibonacci product."""
    return ((order_id & MASK64) * 0x9E3779B97F4A7C15 & MASK64) >> 32


def colliding_ids(count):
    """Ids whose hashes share their top 8 bits (one home position in any table of up to 256
    positions, neighbouring ones beyond) and their low 3 bits (the tag)."""
    out, order_id = [], 0
    while len(out) < count:
        h = index_hash(order_id)
        if h >> 24 == 0x5A and h & 7 == 3:
            out.append(order_id)
        order_id += 1
    return out


def resting(book):
    return sorted(row[0] for row in book.orders())


@pytest.mark.parametrize("leave", ["oldest first", "newest first", "middle out", "shuffled"])
def test_ids_sharing_home_and_tag(leave):
    ids = colliding_ids(60)
    book = core.Book()
    for k, order_id in enumerate(ids):
        book.add_limit(order_id, k % 2, 100 if k % 2 == BID else 200, 1 + k % 3)
        book._check()
    with pytest.raises(ValueError):
        book.add_limit(ids[17], BID, 100, 1)
    order = {"oldest first": ids, "newest first": ids[::-1],
             "middle out": ids[30:] + ids[:30][::-1],
             "shuffled": random.Random(5).sample(ids, len(ids))}[leave]
    for k, order_id in enumerate(order):
        assert book.order(order_id) is not None
        assert book.cancel(order_id)
        assert not book.cancel(order_id)
        book._check()
        assert resting(book) == sorted(order[k + 1:])
        # Every id still resting is found behind the one that left.
        assert all(book.order(i) is not None for i in order[k + 1:k + 6])


@pytest.mark.parametrize("ids", [[INT64_MIN, INT64_MAX, 0, -1, 1],
                                 [INT64_MIN + k for k in range(40)],
                                 [INT64_MAX - k for k in range(40)],
                                 [k << 32 for k in range(-20, 20)]],
                         ids=["extremes", "from the minimum", "to the maximum", "high bits only"])
def test_ids_across_the_whole_range(ids):
    book = core.Book()
    for k, order_id in enumerate(ids):
        book.add_limit(order_id, BID, 100 - k % 7, 1)
    book._check()
    assert resting(book) == sorted(ids)
    for order_id in ids[::2]:
        assert book.cancel(order_id)
    book._check()
    assert resting(book) == sorted(ids[1::2])
    assert [book.order(i) is None for i in ids] == [k % 2 == 0 for k in range(len(ids))]


@pytest.mark.parametrize("pattern", ["increasing", "strided", "random"])
def test_memory_stays_put_over_a_long_stream_at_a_steady_size(pattern):
    rng = random.Random(3)
    make = {"increasing": lambda k: k, "strided": lambda k: k * 4096,
            "random": lambda k: rng.getrandbits(64) - 2**63}[pattern]
    book, live = core.Book(), []
    for k in range(2_000):
        live.append(make(k))
        book.add_limit(live[-1], k % 2, 1000 - k % 50 if k % 2 == BID else 1100 + k % 50, 1)
    settled = book._native_bytes()
    for k in range(2_000, 40_000):
        assert book.cancel(live.pop(rng.randrange(len(live))))
        live.append(make(k))
        book.add_limit(live[-1], k % 2, 1000 - k % 50 if k % 2 == BID else 1100 + k % 50, 1)
        if k % 9_500 == 0:
            book._check()
    assert len(book) == 2_000
    assert book._native_bytes() == settled
    assert resting(book) == sorted(live)


@pytest.mark.parametrize("resting_first", [11, 12, 13, 24, 25, 51])
def test_adds_that_trade_then_rest_among_colliding_ids(resting_first):
    # An add that trades removes index entries (shifting its own run) before it rests, so it
    # cannot go where its duplicate check found room; an add that trades nothing does. The
    # counts sit around the index's growth points (12, 25, 51 entries).
    ids = colliding_ids(resting_first + 40)
    book = core.Book()
    for k, order_id in enumerate(ids[:resting_first]):
        book.add_limit(order_id, ASK, 200 + k % 3, 1)
    book._check()
    live = set(ids[:resting_first])
    for k, order_id in enumerate(ids[resting_first:]):
        # Crosses the ask side for a unit more than its best level holds (its other levels
        # are in reach too), or rests apart.
        crossing = k % 2 == 0 and len(book.depth(ASK, 1)) == 1
        quantity = book.depth(ASK, 1)[0][1] + 1 if crossing else 1
        fills = book.add_limit(order_id, BID, 202 if crossing else 100 - k, quantity)
        live -= {f[0] for f in fills if book.order(f[0]) is None}
        if quantity > sum(f[2] for f in fills):
            live.add(order_id)
        book._check()
        assert set(resting(book)) == live
        assert all(book.order(i) is not None for i in live)
        if order_id in live:
            with pytest.raises(ValueError):
                book.add_limit(order_id, ASK, 300, 1)
