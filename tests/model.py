"""The model the native engine is checked against: the plain reference book (reference/plain.py),
with orders that take their identifier from the native twin, the book's invariant check and
the texts the book prints.
"""

import io
import os
import sys
import types
from contextlib import redirect_stdout

from velmora.orderbook import OrderSide
from velmora.orderbook import PriceLevel as PriceLevelType

# The reference book lives at the top of the repository: the benchmark runs it as its baseline.
sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "reference"))

import plain  # noqa: E402
from plain import INT32_MAX, INT32_MIN, OrderBook, PriceLevel, to_int32  # noqa: E402, F401


class Order(plain.Order):
    """One model order; its identifier is handed in (taken from the native twin)."""

    __slots__ = ()

    def __init__(self, side, original_quantity, price=None, *, order_id):
        super().__init__(side, original_quantity, price)
        self.order_id = order_id

    def __repr__(self):
        return (
            f"Order(id={self.order_id}, {self.side.name}, {self.remaining_quantity}/"
            f"{self.original_quantity} @ {self.price!r}, {self.status.name})"
        )


def _check(book):
    """The book invariants: levels non-empty and filed right, index exact, caches right,
    totals equal to the sum of the open quantities."""
    seen = set()
    for side, bid_side in ((book.bids, True), (book.asks, False)):
        for key, level in side.items():
            assert isinstance(level, PriceLevelType)
            assert level.queue, f"empty level left at {key!r}"
            assert level.price == key
            assert (level.side == OrderSide.BID) == bid_side  # any other side is a sell
            total = 0
            for oid, order in level.queue.items():
                assert oid == order.order_id
                assert oid not in seen, f"order {oid} queued twice"
                seen.add(oid)
                assert (order.side == OrderSide.BID) == bid_side
                assert order.price == key
                level_and_order = book.orders[oid]
                assert type(level_and_order) is tuple and len(level_and_order) == 2
                assert level_and_order[0] is level and level_and_order[1] is order
                assert order.remaining_quantity > 0
                total += order.remaining_quantity
            assert level.total_quantity == total
    assert seen == set(book.orders)
    assert book._best_bid is (next(iter(book.bids)) if book.bids else None)
    assert book._best_ask is (next(iter(book.asks)) if book.asks else None)
    prices_in_bids = list(book.bids)
    assert prices_in_bids == sorted(prices_in_bids, reverse=True)
    prices_in_asks = list(book.asks)
    assert prices_in_asks == sorted(prices_in_asks)


def render(book):
    """The text of str(book): asks from the highest down, a divider, bids from the highest."""
    return plain.OrderBook.__str__(book)


def print_trade_log(book):
    """Prints the trade log line by line, as the book does (a failure leaves the lines
    printed before it)."""
    if not book.trade_log:
        print("No trades executed.")
        return
    print("===== TRADE LOG =====")
    for i, trade in enumerate(book.trade_log, 1):
        print(
            f"{i}. {trade.trade_type.name} | {trade.aggressor_side.name} | Price: {trade.price}"
            f" | Qty: {trade.quantity_filled} | aggressor_id: {trade.aggressor_id}"
            f" | filler_id: {trade.filler_id}"
        )
    print(f"Total trades: {len(book.trade_log)}")
    print("=====================")


def render_trade_log(trades):
    """The text print_trade_log() writes for this list of trades."""
    out = io.StringIO()
    with redirect_stdout(out):
        print_trade_log(types.SimpleNamespace(trade_log=trades))
    return out.getvalue()


def trade_fields(trade):
    """A trade's fields without its timestamp, for comparing two logs."""
    return (
        repr(trade.price),
        trade.quantity_filled,
        trade.aggressor_side,
        trade.aggressor_id,
        trade.filler_id,
        trade.trade_type,
    )
