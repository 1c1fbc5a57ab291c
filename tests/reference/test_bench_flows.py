"""The benchmark's flows (reference/flows.py): each does what the benchmark says it does, and
velmora and the plain book count the same for it."""

import math
import os
import sys

import pytest

from velmora.orderbook import Order, OrderBook

sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "reference"))

import flows  # noqa: E402
import plain  # noqa: E402

FLOWS = {flow.name: flow for flow in flows.build(quick=True)}


@pytest.fixture(scope="module")
def counted():
    """The plain book's count of every flow, checked equal to velmora's with the same final
    book."""
    out = {}
    for name, flow in FLOWS.items():
        books = plain.OrderBook(), OrderBook()
        got = [flows.profile(book, order_type, flow, [])
               for book, order_type in zip(books, (plain.Order, Order))]
        assert got[0] == got[1], name
        assert str(books[0]) == str(books[1]), name
        out[name] = got[0]
    return out


# What each targeted flow's n timed events must do: their kind, levels opened, and levels
# closed and fills as (at least, at most), all in multiples of n.
TARGETED = {
    "add-existing": ("limit", 0, (0, 0), (0, 0)),
    "add-new-level": ("limit", 1, (0, 0), (0, 0)),
    "cancel-keep": ("cancel", 0, (0, 0), (0, 0)),
    "cancel-random": ("cancel", 0, (0, 0), (0, 0)),
    "cancel-empty": ("cancel", 0, (1, 1), (0, 0)),
    # priced at the 2nd-5th opposite level, emptying every level before it, never resting
    "sweep": ("limit", 0, (1, 5), (1, math.inf)),
    "market": ("market", 0, (0, 3), (1, math.inf)),
}


@pytest.mark.parametrize("name", TARGETED)
def test_targeted_flow_does_what_its_name_says(counted, name):
    kind, opened, closed, fills = TARGETED[name]
    got, n = counted[name], len(FLOWS[name].events)
    assert n and got[kind] == n
    assert got["opened"] == opened * n
    assert closed[0] * n <= got["closed"] <= closed[1] * n
    assert fills[0] * n <= got["fills"] <= fills[1] * n


def test_mixed_flow_does_the_same_whatever_the_books_depth(counted):
    mixed = [name for name, flow in FLOWS.items() if flow.group == "mixed"]
    assert len({FLOWS[name].resting for name in mixed}) == len(mixed) > 1
    first = counted[mixed[0]]
    assert all(first[kind] for kind in ("limit", "market", "cancel", "opened", "closed", "fills"))
    assert all(counted[name] == first for name in mixed)
