"""Threads that share one OrderBook: each public operation runs whole before another thread's
call on the same book does; the second thread waits with the interpreter lock released; a
wait that could never end (two threads each inside one book and calling into the other's)
raises instead of hanging."""

import random
import sys
import threading
import time
from collections import Counter
from decimal import Decimal

import pytest

from model import _check
from velmora.orderbook import Order, OrderBook, OrderSide, OrderStatus

BID, ASK = OrderSide.BID, OrderSide.ASK
RESTING = (OrderStatus.OPEN, OrderStatus.PARTIALLY_FILLED)


@pytest.fixture
def fast_switching():
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(saved)


def trader(book, seed, operations, record):
    """Limit orders around a fixed mid (a third of them crossing), market orders,
    cancellations of its own earlier orders, and the reports, in a seeded mix."""
    rng = random.Random(seed)
    orders, cancelled = record["orders"], record["cancelled"]
    for _ in range(operations):
        draw = rng.random()
        if draw < 0.55:
            side = rng.choice((BID, ASK))
            ticks = rng.randint(95, 105) if rng.random() < 0.3 else (
                rng.randint(90, 99) if side is BID else rng.randint(101, 110))
            orders.append(Order(side, rng.randint(1, 9), Decimal(ticks)))
            book.add_limit_order(orders[-1])
        elif draw < 0.65:
            orders.append(Order(rng.choice((BID, ASK)), rng.randint(1, 15)))
            book.add_market_order(orders[-1])
        elif draw < 0.95 and orders:
            order = rng.choice(orders)
            if book.cancel_order(order.order_id):
                cancelled.append(order.order_id)
        else:
            text = str(book)
            assert text.startswith("===== ORDER BOOK =====") and text.endswith("=" * 22)


def run_threads(target, count):
    failures = []

    def guarded(k):
        try:
            target(k)
        except BaseException as exc:  # reported below, with its thread
            failures.append((k, exc))

    threads = [threading.Thread(target=guarded, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures


@pytest.mark.parametrize("threads, operations", [(2, 6000), (6, 2000)])
def test_shared_book_accounts_for_every_operation_once(fast_switching, threads, operations):
    book = OrderBook()
    records = [{"orders": [], "cancelled": []} for _ in range(threads)]
    run_threads(lambda k: trader(book, 1000 + k, operations, records[k]), threads)

    _check(book)
    orders = {o.order_id: o for r in records for o in r["orders"]}
    cancelled = Counter(i for r in records for i in r["cancelled"])
    assert len(orders) == sum(len(r["orders"]) for r in records)
    assert set(cancelled.values()) <= {1}, "an order cancelled twice"
    assert len({id(t) for t in book.trade_log}) == len(book.trade_log)

    traded = Counter()
    for t in book.trade_log:
        aggressor, filler = orders[t.aggressor_id], orders[t.filler_id]
        assert filler.price == t.price and filler.side != aggressor.side
        assert t.aggressor_side == aggressor.side
        traded[t.aggressor_id] += t.quantity_filled
        traded[t.filler_id] += t.quantity_filled
    for order_id, o in orders.items():
        assert o.original_quantity - o.remaining_quantity == traded[order_id], o
        resting = book.orders.get(order_id)
        if resting is not None:
            assert resting[1] is o and o.status in RESTING and not cancelled[order_id]
        elif cancelled[order_id]:
            assert o.status is OrderStatus.CANCELLED and o.remaining_quantity > 0
        elif o.price is None:  # a market order never rests
            assert o.status is (OrderStatus.FILLED if o.remaining_quantity == 0
                                else OrderStatus.PARTIALLY_FILLED)
        else:
            assert o.status is OrderStatus.FILLED and o.remaining_quantity == 0, o
    assert sum(traded.values()) == 2 * sum(t.quantity_filled for t in book.trade_log)


class Pausing(Decimal):
    """A buy price that stops inside its second crossing test, half-way through the sweep,
    until it is told to go on."""

    inside, go = threading.Event(), threading.Event()
    tests = 0

    def __ge__(self, other):
        Pausing.tests += 1
        if Pausing.tests == 2:
            Pausing.inside.set()
            assert Pausing.go.wait(30)
        return Decimal.__ge__(self, other)


@pytest.mark.parametrize("call", ["best_ask", "str", "cancel_order", "add_limit_order"])
def test_second_thread_waits_for_the_operation_in_flight(call):
    book = OrderBook()
    asks = [Order(ASK, 5, Decimal(p)) for p in ("100", "101", "102")]
    for o in asks:
        book.add_limit_order(o)
    Pausing.tests = 0
    Pausing.inside.clear(), Pausing.go.clear()
    sweep = Order(BID, 8, Pausing(101))
    first = threading.Thread(target=book.add_limit_order, args=(sweep,))
    first.start()
    assert Pausing.inside.wait(30)  # the level at 100 is gone; 3 of 8 are left to trade at 101

    seen = []
    second_calls = {
        "best_ask": lambda: seen.append(book.best_ask()),
        "str": lambda: seen.append(str(book)),
        "cancel_order": lambda: seen.append(book.cancel_order(asks[1].order_id)),
        "add_limit_order": lambda: seen.append(book.add_limit_order(Order(ASK, 1, Decimal(99)))),
    }
    second = threading.Thread(target=second_calls[call])
    second.start()
    second.join(0.3)
    waited = second.is_alive() and not seen  # and this thread ran meanwhile: no lock held
    Pausing.go.set()
    first.join(30)
    second.join(30)
    assert waited, f"{call} did not wait for the sweep in flight"
    assert sweep.remaining_quantity == 0 and [t.filler_id for t in book.trade_log[:2]] == [
        asks[0].order_id, asks[1].order_id]
    after = {"best_ask": Decimal(101), "str": str(book), "cancel_order": True, "add_limit_order": None}
    assert seen == [after[call]]
    _check(book)


class CallingAcross(Decimal):
    """A price whose equality test, inside one book's operation, calls into another book."""

    def __eq__(self, other):
        if self.reach is not None:
            reach, self.reach = self.reach, None
            reach()
        return Decimal.__eq__(self, other)

    __hash__ = Decimal.__hash__


def test_two_threads_calling_into_each_others_book_do_not_deadlock():
    books = [OrderBook(), OrderBook()]
    both_inside = threading.Barrier(2, timeout=30)
    outcomes = [None, None]

    def enter(k):
        price = CallingAcross(100)
        price.reach = lambda: (both_inside.wait(), time.sleep(0.05 * k),
                               books[1 - k].best_bid())
        try:
            books[k].add_limit_order(Order(BID, 1, price))
            outcomes[k] = "done"
        except RuntimeError as exc:
            outcomes[k] = str(exc)

    threads = [threading.Thread(target=enter, args=(k,), daemon=True) for k in (0, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not any(t.is_alive() for t in threads), "deadlocked"
    assert sorted(outcomes) == [
        "deadlock: the thread inside an operation on this OrderBook waits for a book that this "
        "thread is inside an operation on", "done"]
    for book in books:
        _check(book)
