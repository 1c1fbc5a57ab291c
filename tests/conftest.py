"""Helpers shared by the test modules, and the hypothesis profiles.

Test modules import the helpers with ``from conftest import ...``; so do the hostile
scenarios' own interpreters, which is why hypothesis is loaded in pytest_configure (inside
pytest only) rather than at the top.

The folders say what their tests prove: behaviour/ (the exact book's rules), compatibility/
(messages, signatures, reports, pickles), robustness/ (hostile input, refusals, leaks),
equivalence/ (against the reference model, the general build, the exact book, per event
against batch), core/ (velmora.core), addons/ (flows, frames, pictures, sessions), reference/
(the benchmark's flows), release/.
``pytest --smoke`` runs only the SMOKE folders: what a freshly installed wheel is tried with
(`make dist` and cibuildwheel both run it).

HYPOTHESIS_PROFILE picks a profile by name; otherwise "ci" when the CI variable is set (as the
CI runner does) and "default" on a developer's machine.
  ci      derandomised, a fixed budget that keeps the stateful test to a couple of minutes
  asan    the same, smaller: the whole suite also runs under AddressSanitizer
  default local runs: random, a moderate budget
  long    a long exploratory run: many examples, long programs, no deadline
"""

import gc
import os
import subprocess
import sys
import textwrap
import traceback
from decimal import Decimal

from velmora import flows
from velmora.orderbook import Order, OrderBook, OrderSide


# The exact module's own behaviour and contract, which need nothing beyond the wheel, pytest and
# hypothesis.
SMOKE = ("behaviour", "compatibility")
TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def pytest_addoption(parser):
    parser.addoption("--smoke", action="store_true",
                     help="only the tests a freshly installed wheel is tried with: " + ", ".join(SMOKE))


def pytest_ignore_collect(collection_path, config):
    if not config.getoption("smoke"):
        return None
    path = str(collection_path)
    if os.path.dirname(path) == TESTS_DIR and os.path.isdir(path):
        return os.path.basename(path) not in SMOKE or None
    return None


def pytest_configure(config):
    from hypothesis import HealthCheck, settings

    ci = settings.get_profile("ci")
    settings.register_profile("ci", settings(ci, max_examples=1000, stateful_step_count=100))
    settings.register_profile("asan", settings(ci, max_examples=500, stateful_step_count=80))
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


# The layout checksums the pickles carry, and the bounds of a 32-bit quantity.
ORDER_CHECKSUM = 0x39270C3
LEVEL_CHECKSUM = 0x414B38A
INT32_MAX = 2**31 - 1
INT32_MIN = -(2**31)


def rest(book, side, qty, price):
    """Submits a limit order at price (a Decimal, or text or an int made into one) and returns
    the order."""
    order = Order(side, qty, price if isinstance(price, Decimal) else Decimal(price))
    book.add_limit_order(order)
    return order


def snapshot(book):
    """Everything about the book's state a test compares before and after an operation:
    each side's levels (price, total, queued ids), the index's ids, the cached best prices."""

    def side(levels):
        return [(price, level.total_quantity, list(level.queue)) for price, level in levels.items()]

    return side(book.bids), side(book.asks), list(book.orders), book._best_bid, book._best_ask


def trades(book):
    """The trade log without the timestamps."""
    return [
        (t.price, t.quantity_filled, t.aggressor_side, t.aggressor_id, t.filler_id, t.trade_type)
        for t in book.trade_log
    ]


def names_in_traceback(exc):
    """The function names of exc's traceback entries, outermost first."""
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]


# Stand-ins for the exact types the module insists on.


class StrSub(str):
    pass


class TupleSub(tuple):
    pass


class IntLike:
    """Not an int, but converts to one through __int__ (or raises, given an exception)."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


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


def core_twin(seed, events=1000):
    """The seeded flow on an exact book and, as one array, on a core book whose order ids are
    the exact orders' identifiers read as integers; returns both books and the core's fills."""
    import numpy as np  # only here: a freshly installed wheel is tried without NumPy

    from velmora import core

    built = flows.zero_intelligence(seed, events)
    exact, orders = OrderBook(), []
    flows.replay(exact, Order, built.setup + built.events, orders)
    ids, rows = iter(orders), []
    for kind, a, b, c in built.setup + built.events:
        if kind == flows.CANCEL:
            rows.append((core.CANCEL, 0, int(orders[a].order_id), 0, 0, 0))
        else:
            kind = core.LIMIT if kind == flows.LIMIT else core.MARKET
            ticks = 0 if c is None else int(c.scaleb(2))
            rows.append((kind, getattr(core, a.name), int(next(ids).order_id), ticks, b, 0))
    book = core.Book()
    return exact, book, book.replay(np.array(rows, dtype=core.EVENT_DTYPE)).fills


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


# --- reference leaks -------------------------------------------------------------------------

LEAK_REPEATS = 1000


def _collect():
    gc.collect()
    sys._clear_type_cache()


def assert_no_leak(fn, n=LEAK_REPEATS, rounds=3):
    """fn() n times per round: a leak of one block per call shows as about n blocks in
    every round; a clean operation leaves a few at most."""
    if sys.getallocatedblocks() == 0:
        import pytest

        pytest.skip("block counts need pymalloc (PYTHONMALLOC=malloc is set)")
    for _ in range(2 * n):
        fn()
    deltas = []
    for _ in range(rounds):
        _collect()
        before = sys.getallocatedblocks()
        for _ in range(n):
            fn()
        _collect()
        deltas.append(sys.getallocatedblocks() - before)
    assert min(deltas) < n // 10, f"blocks left per round of {n} calls: {deltas}"


def raises(exc_type, fn, *args, **kwargs):
    """A call that must fail with exc_type; the exception is dropped at once."""
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{fn!r} did not raise {exc_type.__name__}")
