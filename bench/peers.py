"""Other integer-price engines for bench/core.py --peers, driven through their documented
Python APIs on the same events as the core (make bench-peers installs them).

Each peer replays a flow's events of (kind, order_id, side, price, quantity) tuples, where
order ids number the flow's orders; before timing, its fills (aggressor, resting order, price,
quantity) must equal the core's on the flow.
"""

import gc
from importlib.metadata import version
from time import perf_counter_ns

LIMIT, MARKET, CANCEL = 0, 1, 2


def timed(fn):
    gc.collect()
    gc.disable()
    try:
        start = perf_counter_ns()
        fn()
        return perf_counter_ns() - start
    finally:
        gc.enable()


class Bourse:
    """bourse (Rust): ids are issued in creation order, so they equal the flow's order
    numbers; fills are read from its trade log. Every order gets its own time, since orders
    placed at equal times are not queued in arrival order."""

    name = "bourse"

    def __init__(self):
        import bourse.core

        self.make = lambda: bourse.core.OrderBook(0, True)

    def describe(self):
        return f"bourse {version('bourse')}"

    @staticmethod
    def replay(book, events, clock):
        place = book.place_order
        cancel = book.cancel_order
        set_time = book.set_time
        for kind, order_id, side, price, quantity in events:
            if kind == LIMIT:
                clock += 1
                set_time(clock)
                place(side == 0, quantity, 0, price)
            elif kind == CANCEL:
                cancel(order_id)
            else:
                clock += 1
                set_time(clock)
                place(side == 0, quantity, 0)
        return clock

    def check(self, cf, expected):
        book = self.make()
        self.replay(book, cf.setup, 0)
        before = len(book.get_trades())
        self.replay(book, cf.events, len(cf.setup))
        fills = [(a, p, price, vol) for _, _, price, vol, a, p in book.get_trades()[before:]]
        if fills != expected:
            raise SystemExit(f"BENCHMARK ABORTED: {cf.flow.name}: bourse's fills differ")

    def timed(self, cf):
        book = self.make()
        clock = self.replay(book, cf.setup, 0)
        return timed(lambda: self.replay(book, cf.events, clock))


class Liquibook:
    """liquibook (C++ through SWIG): an order object per order and a Python callback per
    fill, which records it; a market order is an order with price 0."""

    name = "liquibook"

    def __init__(self):
        import liquibook

        self.lib = liquibook

        class Listener(liquibook.OrderListener):
            def __init__(self):
                liquibook.OrderListener.__init__(self)
                self.fills = []

            def on_fill(self, order, matched_order, quantity, price):
                self.fills.append((order, matched_order, price, quantity))

            def on_accept(self, order):
                pass

            def on_reject(self, order, reason):
                pass

            def on_cancel(self, order):
                pass

            def on_cancel_reject(self, order, reason):
                pass

            def on_replace(self, order, size_delta, new_price):
                pass

            def on_replace_reject(self, order, reason):
                pass

            def on_trigger_stop(self, order):
                pass

        self.Listener = Listener

    def describe(self):
        return f"liquibook {version('liquibook')}"

    def make(self):
        book = self.lib.DepthOrderBook()
        listener = self.Listener()
        book.set_order_listener(listener)
        return book, listener

    def replay(self, book, events, orders):
        order_type = self.lib.SimpleOrder
        add = book.add
        cancel = book.cancel
        keep = orders.append
        for kind, order_id, side, price, quantity in events:
            if kind == LIMIT:
                order = order_type(side == 0, price, quantity)
                keep(order)
                add(order)
            elif kind == CANCEL:
                cancel(orders[order_id])
            else:
                order = order_type(side == 0, 0, quantity)
                keep(order)
                add(order)

    def check(self, cf, expected):
        (book, listener), orders = self.make(), []
        self.replay(book, cf.setup, orders)
        listener.fills.clear()
        self.replay(book, cf.events, orders)
        number = {order.order_id_: k for k, order in enumerate(orders)}
        fills = [(number[a.order_id_], number[r.order_id_], price, quantity)
                 for a, r, price, quantity in listener.fills]
        if fills != expected:
            raise SystemExit(f"BENCHMARK ABORTED: {cf.flow.name}: liquibook's fills differ")

    def timed(self, cf):
        (book, listener), orders = self.make(), []
        self.replay(book, cf.setup, orders)
        return timed(lambda: self.replay(book, cf.events, orders))


def available():
    peers = []
    for peer in (Bourse, Liquibook):
        try:
            peers.append(peer())
        except ImportError:
            pass
    return peers
