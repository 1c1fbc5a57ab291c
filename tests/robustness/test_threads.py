"""Threads that share one OrderBook: each public operation runs whole before another thread's
call into the same book; that thread waits, with the interpreter lock released; a wait that
could never end raises instead of hanging."""

import os
import random
import signal
import sys
import threading
import time
import warnings
from collections import Counter
from decimal import Decimal

import pytest

from model import _check
from velmora.orderbook import Order, OrderBook, OrderSide, OrderStatus

BID, ASK = OrderSide.BID, OrderSide.ASK


def trader(book, seed, operations, orders, cancelled):
    """Seeded: limit orders around a mid (some crossing), market orders, cancellations of
    its own orders, and the book's text."""
    rng = random.Random(seed)
    for _ in range(operations):
        draw, side = rng.random(), rng.choice((BID, ASK))
        if draw < 0.55:
            ticks = rng.randint(95, 105) if rng.random() < 0.3 else (
                rng.randint(90, 99) if side is BID else rng.randint(101, 110))
            orders.append(Order(side, rng.randint(1, 9), Decimal(ticks)))
            book.add_limit_order(orders[-1])
        elif draw < 0.65:
            orders.append(Order(side, rng.randint(1, 15)))
            book.add_market_order(orders[-1])
        elif draw < 0.95 and orders:
            order = rng.choice(orders)
            if book.cancel_order(order.order_id):
                cancelled.append(order.order_id)
        else:
            assert str(book).startswith("===== ORDER BOOK =====")


def run_threads(target, count):
    failures = []

    def run(k):
        try:
            target(k)
        except BaseException as exc:  # reported below, with its thread
            failures.append((k, exc))

    workers = [threading.Thread(target=run, args=(k,), daemon=True) for k in range(count)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(120)
    assert not any(w.is_alive() for w in workers), "a thread never finished"
    return failures


@pytest.mark.parametrize("threads, operations", [(2, 6000), (6, 2000)])
def test_shared_book_accounts_for_every_operation_once(threads, operations):
    book = OrderBook()
    orders, cancelled = [[] for _ in range(threads)], [[] for _ in range(threads)]
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        failures = run_threads(
            lambda k: trader(book, 1000 + k, operations, orders[k], cancelled[k]), threads)
    finally:
        sys.setswitchinterval(saved)
    assert not failures

    _check(book)
    by_id = {o.order_id: o for placed in orders for o in placed}
    traded = Counter()
    for t in book.trade_log:
        aggressor, filler = by_id[t.aggressor_id], by_id[t.filler_id]
        assert filler.price == t.price and t.aggressor_side == aggressor.side != filler.side
        traded[t.aggressor_id] += t.quantity_filled
        traded[t.filler_id] += t.quantity_filled
    cancels = Counter(order_id for c in cancelled for order_id in c)
    for order_id, o in by_id.items():
        assert o.original_quantity - o.remaining_quantity == traded[order_id], o
        if order_id in book.orders:
            state = "resting", o.status in (OrderStatus.OPEN, OrderStatus.PARTIALLY_FILLED)
        elif cancels[order_id]:  # by the one call that said so
            state = "cancelled", o.status is OrderStatus.CANCELLED and cancels[order_id] == 1
        elif o.remaining_quantity:  # only a market order ends with quantity left
            state = "market", o.price is None and o.status is OrderStatus.PARTIALLY_FILLED
        else:
            state = "filled", o.status is OrderStatus.FILLED
        assert state[1], (state[0], o)


class Pausing(Decimal):
    """A buy price that stops inside its second crossing test, half-way through a sweep,
    until it is told to go on."""

    inside, go, tests = threading.Event(), threading.Event(), 0

    def __ge__(self, other):
        Pausing.tests += 1
        if Pausing.tests == 2:
            Pausing.inside.set()
            assert Pausing.go.wait(30)
        return Decimal.__ge__(self, other)


# What a second thread calls in the middle of the sweep, and what it must see: the book after.
CALLS = {
    "best_ask": (lambda book, asks: book.best_ask(), lambda book: Decimal(101)),
    "str": (lambda book, asks: str(book), str),
    "cancel_order": (lambda book, asks: book.cancel_order(asks[1].order_id), lambda book: True),
}


@pytest.mark.parametrize("call", CALLS)
def test_second_thread_waits_for_the_operation_in_flight(call):
    book, asks = OrderBook(), [Order(ASK, 5, Decimal(p)) for p in ("100", "101", "102")]
    for o in asks:
        book.add_limit_order(o)
    Pausing.tests, seen = 0, []
    Pausing.inside.clear(), Pausing.go.clear()
    first = threading.Thread(target=book.add_limit_order, args=(Order(BID, 8, Pausing(101)),))
    first.start()
    assert Pausing.inside.wait(30)  # 5 traded at 100; 3 are left to trade at 101
    second = threading.Thread(target=lambda: seen.append(CALLS[call][0](book, asks)))
    second.start()
    second.join(0.3)  # this thread runs meanwhile: the waiting one holds no lock
    waited = second.is_alive() and not seen
    Pausing.go.set()
    first.join(30), second.join(30)
    assert waited, f"{call} did not wait for the sweep in flight"
    assert seen == [CALLS[call][1](book)] and len(book.trade_log) == 2
    _check(book)


class CallingAcross(Decimal):
    """A price whose first equality test, inside an operation on one book, calls `reach`."""

    reach = None

    def __eq__(self, other):
        reach, self.reach = self.reach, None
        if reach:
            reach()
        return Decimal.__eq__(self, other)

    __hash__ = Decimal.__hash__


def test_threads_inside_each_others_book_get_an_error_not_a_deadlock():
    books, inside, outcomes = [OrderBook(), OrderBook()], threading.Barrier(2, timeout=30), {}

    def enter(k):
        price = CallingAcross(100)
        price.reach = lambda: (inside.wait(), time.sleep(0.05 * k), books[1 - k].best_bid())
        books[k].add_limit_order(Order(BID, 1, price))
        outcomes[k] = "done"

    # The one that comes second to wait gets the error (the later one, unless the machine
    # stalls the other); the first then goes on.
    failures = run_threads(enter, 2)
    assert [(type(e), str(e)) for _, e in failures] == [(RuntimeError, (
        "deadlock: the thread inside an operation on this OrderBook waits for a book that "
        "this thread is inside an operation on"))]
    assert list(outcomes) == [1 - failures[0][0]]
    for book in books:
        _check(book)


def forked(child, timeout=20):
    """Runs `child` in a forked process and returns its exit status; a child still running
    after `timeout` seconds is killed and reported as hung (None)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads running
        pid = os.fork()
    if pid == 0:
        status = 1
        try:
            status = 0 if child() else 3
        finally:
            os._exit(status)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return None


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_child_of_a_fork_uses_a_book_another_thread_was_inside():
    book, asks = OrderBook(), [Order(ASK, 5, Decimal(p)) for p in ("100", "101", "102")]
    for o in asks:
        book.add_limit_order(o)
    Pausing.tests = 0
    Pausing.inside.clear(), Pausing.go.clear()
    first = threading.Thread(target=book.add_limit_order, args=(Order(BID, 8, Pausing(101)),))
    first.start()
    assert Pausing.inside.wait(30)  # this process's other thread is inside the sweep

    def child():
        # The sweep stopped where the fork caught it, after its first fill.
        seen = book.best_ask(), len(book.trade_log)
        book.add_limit_order(Order(ASK, 4, Decimal("103")))
        return seen == (Decimal(101), 1) and book.cancel_order(asks[2].order_id)

    try:
        status = forked(child)
    finally:
        Pausing.go.set()
        first.join(30)
    assert status == 0, "the child hung on the book" if status is None else status
    assert len(book.trade_log) == 2 and book.best_ask() == Decimal(101)  # the parent's is whole
    _check(book)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_thread_that_forks_inside_an_operation_keeps_its_hold_in_the_child():
    book, outcome = OrderBook(), []
    book.add_limit_order(Order(ASK, 5, Decimal(100)))

    class Forking(Decimal):
        def __ge__(self, other):
            if not outcome:
                # Inside add_limit_order: the child's thread is the one inside the book, so it
                # calls in again without waiting, and another thread waits for it.
                def child():
                    waiter = threading.Thread(target=book.best_ask)
                    waiter.start()
                    waiter.join(0.3)
                    held = waiter.is_alive()
                    return held and book.best_bid() is None
                outcome.append(forked(child))
            return Decimal.__ge__(self, other)

    book.add_limit_order(Order(BID, 2, Forking(100)))
    assert outcome == [0] and len(book.trade_log) == 1
