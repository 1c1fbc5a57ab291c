"""Hypothesis profiles for the property tests, and helpers shared by test modules.

HYPOTHESIS_PROFILE picks one by name; otherwise "ci" when the CI variable is set (as the CI
runner does) and "default" on a developer's machine.
  ci      derandomised, a fixed budget that keeps the stateful test to a couple of minutes
  asan    the same, smaller: the whole suite also runs under AddressSanitizer
  default local runs: random, a moderate budget
  long    a long exploratory run: many examples, long programs, no deadline
"""

import os
import subprocess
import sys
import textwrap
from decimal import Decimal

from hypothesis import HealthCheck, settings

from velmora import flows
from velmora.orderbook import Order, OrderBook, OrderSide

_ci = settings.get_profile("ci")
settings.register_profile("ci", settings(_ci, max_examples=1000, stateful_step_count=100))
settings.register_profile("asan", settings(_ci, max_examples=500, stateful_step_count=80))
settings.register_profile(
    "default",
    settings(max_examples=300, stateful_step_count=80, deadline=None),
)
settings.register_profile(
    "long",
    settings(
        max_examples=50_000,
        stateful_step_count=200,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow],
    ),
)
settings.load_profile(
    os.environ.get("HYPOTHESIS_PROFILE", "ci" if "CI" in os.environ else "default")
)


def run_python(code):
    """Runs code in a fresh interpreter with the same import path; returns stdout."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)),
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def book_of(*orders):
    """A book after limit orders given as (side, quantity, price), in that order."""
    book = OrderBook()
    for side, quantity, price in orders:
        book.add_limit_order(Order(side, quantity, price))
    return book


def seeded_session(seed, events=1000):
    """An exact book after the realistic mixed flow of the given seed: partial fills, queues of
    several orders, market orders that sweep, cancellations."""
    built, book, orders = flows.zero_intelligence(seed, events), OrderBook(), []
    flows.replay(book, Order, built.setup, orders)
    flows.replay(book, Order, built.events, orders)
    return book


# Books for the frames and the pictures: a busy one, one side only, nothing at all.
BOOKS = {
    "session": lambda: seeded_session(8),
    "bids-only": lambda: book_of((OrderSide.BID, 4, Decimal("99.50")),
                                 (OrderSide.BID, 6, Decimal("99.50")),
                                 (OrderSide.BID, 1, Decimal("98"))),
    "asks-only": lambda: book_of((OrderSide.ASK, 7, Decimal("100.25"))),
    "empty": OrderBook,
}


def resting_by_side(book):
    """{side: [(price, total open quantity, number of orders)], best price first}, worked out
    from the resting orders in the book's index rather than from its levels."""
    sums = {OrderSide.BID: {}, OrderSide.ASK: {}}
    for _, order in book.orders.values():
        total, count = sums[order.side].get(order.price, (0, 0))
        sums[order.side][order.price] = (total + order.remaining_quantity, count + 1)
    return {side: sorted(((price, *tc) for price, tc in by_price.items()),
                         key=lambda row: row[0], reverse=side is OrderSide.BID)
            for side, by_price in sums.items()}
