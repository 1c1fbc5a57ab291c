"""Typed use of velmora: a quote and a fill summary written against the type stub.

The test run checks this file with `mypy --strict --warn-unreachable` and then runs it. The
best prices are `Decimal | None` (None while a side is empty), so code must test for None
before doing arithmetic with them; were the stub to promise a plain Decimal, the None
branches below would be unreachable and the check would fail.
"""

from decimal import Decimal

from velmora.orderbook import Order, OrderBook, OrderSide, OrderStatus, Trade


def quote(book: OrderBook) -> tuple[Decimal, Decimal] | None:
    """The best bid and ask, or None unless both sides hold orders."""
    bid = book.best_bid()
    ask = book.best_ask()
    if bid is None or ask is None:
        return None
    return bid, ask


def spread(book: OrderBook) -> Decimal | None:
    both = quote(book)
    return None if both is None else both[1] - both[0]


def filled(trades: list[Trade], order: Order) -> int:
    """The quantity that trades show for an order, aggressor or resting."""
    return sum(t.quantity_filled for t in trades if order.order_id in (t.aggressor_id, t.filler_id))


def main() -> None:
    book = OrderBook()
    assert quote(book) is None and spread(book) is None

    bid = Order(OrderSide.BID, 5, Decimal("99.50"))
    ask = Order(OrderSide.ASK, 5, Decimal("100.50"))
    book.add_limit_order(bid)
    assert quote(book) is None  # one side only
    book.add_limit_order(ask)
    assert spread(book) == Decimal("1.00")

    taker = Order(OrderSide.BID, 3)
    book.add_market_order(taker)
    assert taker.status is OrderStatus.FILLED
    assert filled(book.trade_log, taker) == filled(book.trade_log, ask) == 3

    assert ask.order_id is not None  # Optional in the stub: a field callers may set to None
    assert book.cancel_order(ask.order_id)
    assert book.best_ask() is None and spread(book) is None
    print(f"quote {quote(book)}; {len(book.trade_log)} trade(s); typed example ok")


if __name__ == "__main__":
    main()
