"""Bridges between velmora.core.Book (integer ticks) and velmora.orderbook.OrderBook
(Decimal prices), and the core's ladder with decimal prices.

The functions named in BOOK_METHODS become methods of velmora.core.Book when that module is
imported (``book.to_orderbook()``, ``Book.from_orderbook(orderbook)``, ``book.ladder()``). A price is
ticks times the tick size, computed exactly; a price that is not a whole number of ticks is
refused rather than rounded.
"""

from decimal import Context, Decimal, Inexact

_INT32_MAX = 2**31 - 1


def _tick(tick_size):
    if isinstance(tick_size, float):
        raise TypeError("tick_size must be a Decimal, int or str, not float (a float is inexact)")
    if not isinstance(tick_size, (Decimal, int, str)):
        raise TypeError(f"tick_size must be a Decimal, int or str, not {type(tick_size).__name__}")
    tick = Decimal(tick_size)
    if not tick.is_finite() or tick <= 0:
        raise ValueError(f"tick_size must be positive and finite, got {tick_size!r}")
    return tick


def _context(tick):
    # Enough digits for any 64-bit tick count times the tick size, so nothing rounds; a
    # division that would round raises Inexact instead.
    context = Context(prec=24 + len(tick.as_tuple().digits), Emax=999_999, Emin=-999_999)
    context.traps[Inexact] = True
    return context


def _price(ticks, tick, context):
    return context.multiply(Decimal(ticks), tick)


def _ticks(price, tick, context):
    try:
        quotient = context.divide(Decimal(price), tick)
    except Inexact:
        quotient = None
    if quotient is None or quotient != quotient.to_integral_value():
        raise ValueError(f"price {price} is not a whole number of ticks of {tick}")
    return int(quotient)


def _core_id(order_id):
    if isinstance(order_id, str):
        try:
            number = int(order_id)
        except ValueError:
            number = None
        if number is not None and str(number) == order_id:
            return number
    raise ValueError(f"order id {order_id!r} is not the decimal text of an integer id")


def to_orderbook(self, tick_size=1):
    """A new velmora.orderbook.OrderBook holding this book's resting orders, in the same
    queue order, as new Order objects: price ticks x tick_size, order_id the core id as a
    string, status PARTIALLY_FILLED for an order that has traded (else OPEN); both quantities
    are the open quantity. Its trade log is empty. The exact book keeps no time stamps and
    no seeded flags: they do not cross."""
    from velmora.orderbook import Order, OrderBook, OrderSide, OrderStatus

    if self.crossed:
        # The exact book matches every order it is given: a crossed feed book's resting
        # orders would trade against each other there instead of crossing.
        raise ValueError(
            f"a crossed book (best bid {self.best_bid()} at or above best ask "
            f"{self.best_ask()}) has no exact book: it would match its orders"
        )
    tick = _tick(tick_size)
    context = _context(tick)
    rows = self.orders()
    for order_id, _, _, quantity, *_ in rows:
        if quantity > _INT32_MAX:
            raise OverflowError(
                f"order {order_id} has quantity {quantity}; the exact book holds at most "
                f"{_INT32_MAX}"
            )
    book = OrderBook()
    sides = (OrderSide.BID, OrderSide.ASK)
    statuses = (OrderStatus.OPEN, OrderStatus.PARTIALLY_FILLED)
    prices = {}
    for order_id, side, ticks, quantity, traded, *_ in rows:
        price = prices.get((side, ticks))
        if price is None:
            price = prices[side, ticks] = _price(ticks, tick, context)
        order = Order.__new__(Order)  # no identifier drawn: it carries the core's
        order.side = sides[side]
        order.original_quantity = quantity
        order.price = price
        order.remaining_quantity = quantity
        order.order_id = str(order_id)
        order.status = statuses[traded]
        book.add_limit_order(order)  # an uncrossed book's orders never trade here
    return book


def from_orderbook(cls, orderbook, tick_size=1):
    """A new core book holding the resting orders of a velmora.orderbook.OrderBook, in the
    same queue order: prices / tick_size as ticks (each must be a whole number of ticks),
    order ids parsed from their decimal text, open quantities; an order counts as traded when
    its status is PARTIALLY_FILLED or its open quantity is below its original one."""
    from velmora.orderbook import OrderStatus

    tick = _tick(tick_size)
    context = _context(tick)
    partially_filled = OrderStatus.PARTIALLY_FILLED
    rows = []
    for side, mapping in ((0, orderbook.bids), (1, orderbook.asks)):
        for price, level in mapping.items():
            ticks = _ticks(price, tick, context)
            for order in level.queue.values():
                traded = (
                    order.status == partially_filled
                    or order.remaining_quantity < order.original_quantity
                )
                rows.append(
                    (_core_id(order.order_id), side, ticks, order.remaining_quantity, traded)
                )
    return cls.from_orders(rows)


def ladder(self, tick_size=1):
    """The price ladder in the exact book's str(book) format, prices as ticks x tick_size."""
    tick = _tick(tick_size)
    context = _context(tick)
    everything = len(self)
    lines = ["===== ORDER BOOK =====\n", "ASKS\n"]
    for ticks, total, _ in reversed(self.depth(1, everything)):
        lines.append(f"{_price(ticks, tick, context)}  {total}\n")
    lines.append("---------------------\n")
    for ticks, total, _ in self.depth(0, everything):
        lines.append(f"{_price(ticks, tick, context)}  {total}\n")
    lines.append("BIDS\n")
    lines.append("======================")
    return "".join(lines)


# What velmora.core installs into Book's namespace at import, name for name: the whole list of
# the type's methods written in Python.
BOOK_METHODS = {
    "to_orderbook": to_orderbook,
    "from_orderbook": classmethod(from_orderbook),
    "ladder": ladder,
}
