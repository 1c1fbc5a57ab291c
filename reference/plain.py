"""The order book written as plain Python: the benchmark's baseline and the reference the
model-based tests extend with their checks.

Same semantics as velmora.orderbook.OrderBook (same Trade class and enumerations, same
matching, resting, cancellation, 32-bit quantities and refusals), written the way a Python
programmer would: SortedDict sides, OrderedDict levels, no checking of argument types
beyond the refusals the native book makes.
"""

from collections import OrderedDict
from itertools import count

from sortedcontainers import SortedDict

from velmora.orderbook import OrderSide, OrderStatus, Trade, TradeType

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1

_ids = count(1)


def to_int32(value):
    """A quantity as the native book stores it: an int that fits in 32 bits."""
    value = int(value)
    if not INT32_MIN <= value <= INT32_MAX:
        raise OverflowError("value too large to convert to int")
    return value


class Order:
    __slots__ = ("side", "original_quantity", "price", "remaining_quantity", "order_id", "status")

    def __init__(self, side, original_quantity, price=None):
        self.side = side
        self.original_quantity = to_int32(original_quantity)
        self.price = price
        self.remaining_quantity = to_int32(original_quantity)
        self.order_id = str(next(_ids))
        self.status = OrderStatus.OPEN


class PriceLevel:
    """FIFO queue of resting orders at one price, with their total open quantity."""

    __slots__ = ("price", "queue", "total_quantity", "side")

    def __init__(self, price, side):
        self.price = price
        self.queue = OrderedDict()
        self.total_quantity = 0
        self.side = side

    def add_order(self, order):
        # All or nothing: the new total is computed and checked before the order queues.
        order_id = order.order_id
        total = to_int32(self.total_quantity + order.remaining_quantity)
        self.queue[order_id] = order
        self.total_quantity = total

    def remove_order(self, order_id):
        if order_id not in self.queue:
            return False
        item = self.queue[order_id]
        self.total_quantity = to_int32(self.total_quantity - item.remaining_quantity)
        del self.queue[order_id]
        return True

    def peek(self):
        if not self.queue:
            return None
        return next(iter(self.queue.values()))

    def pop(self):
        if not self.queue:
            return None
        _, item = self.queue.popitem(last=False)
        self.total_quantity = to_int32(self.total_quantity - item.remaining_quantity)
        return item


def _first_key_or_none(side):
    return next(iter(side.keys())) if side else None


def _check_limit_price(price):
    """None, a price unequal to itself (NaN) and one not ordered against itself (1j) are
    refused; so is one whose equality test says it cannot be compared (a signalling NaN
    raises InvalidOperation)."""
    if price is None:
        raise ValueError("limit order price must not be None")
    try:
        same = price == price
    except (TypeError, ValueError, ArithmeticError) as exc:
        raise ValueError("limit order price must be equal to itself") from exc
    if not same:
        raise ValueError("limit order price must be equal to itself")
    try:
        ordered = price <= price
    except (TypeError, ValueError, ArithmeticError) as exc:
        raise ValueError("limit order price cannot be ordered against itself") from exc
    if not ordered:
        raise ValueError("limit order price cannot be ordered against itself")


class OrderBook:
    """Both sides, the index of resting orders, the cached best prices, the trade log."""

    def __init__(self):
        self.bids = SortedDict(lambda x: -x)
        self.asks = SortedDict()
        self.orders = {}
        self._best_bid = None
        self._best_ask = None
        self.trade_log = []

    def best_bid(self):
        return self._best_bid

    def best_ask(self):
        return self._best_ask

    def _match(self, order):
        is_buy = order.side == OrderSide.BID
        opposite_side = self.asks if is_buy else self.bids
        best = self.best_ask() if is_buy else self.best_bid()
        price_level = opposite_side[best]
        while price_level.queue and order.remaining_quantity > 0:
            curr = price_level.peek()
            if curr.remaining_quantity >= order.remaining_quantity:
                quantity = order.remaining_quantity
            else:
                quantity = curr.remaining_quantity
            trade_type = TradeType.MARKET if order.price is None else TradeType.LIMIT
            self.trade_log.append(
                Trade(curr.price, quantity, order.side, order.order_id, curr.order_id, trade_type)
            )
            if curr.remaining_quantity > order.remaining_quantity:
                order.status = OrderStatus.FILLED
                curr.status = OrderStatus.PARTIALLY_FILLED
                price_level.total_quantity -= order.remaining_quantity
                curr.remaining_quantity -= order.remaining_quantity
                order.remaining_quantity = 0
            elif curr.remaining_quantity == order.remaining_quantity:
                order.status = OrderStatus.FILLED
                curr.status = OrderStatus.FILLED
                price_level.total_quantity -= curr.remaining_quantity
                curr.remaining_quantity = 0
                order.remaining_quantity = 0
                del self.orders[curr.order_id]
                price_level.pop()
            else:
                order.status = OrderStatus.PARTIALLY_FILLED
                curr.status = OrderStatus.FILLED
                price_level.total_quantity -= curr.remaining_quantity
                order.remaining_quantity -= curr.remaining_quantity
                curr.remaining_quantity = 0
                del self.orders[curr.order_id]
                price_level.pop()
        if not price_level.queue:
            del opposite_side[best]
            if is_buy:
                self._best_ask = _first_key_or_none(self.asks)
            else:
                self._best_bid = _first_key_or_none(self.bids)

    def add_limit_order(self, order):
        # Refused before anything changes: an identifier that already rests here, or a
        # price that cannot be a key of a sorted side.
        if order.order_id in self.orders:
            raise ValueError("an order with this identifier already rests in the book")
        price = order.price
        _check_limit_price(price)
        if order.side == OrderSide.BID:
            while self.asks and price >= self.best_ask() and order.remaining_quantity > 0:
                self._match(order)
        else:
            while self.bids and price <= self.best_bid() and order.remaining_quantity > 0:
                self._match(order)
        self._update_limit_order(order)

    def _update_limit_order(self, order):
        if not (order.remaining_quantity > 0 and order.status != OrderStatus.FILLED):
            return
        is_buy = order.side == OrderSide.BID
        side_dict = self.bids if is_buy else self.asks
        # Matching may have changed the order since it was checked: price and identifier
        # are checked again, read once and used for everything below.
        price = order.price
        _check_limit_price(price)
        order_id = order.order_id
        if order_id in self.orders:
            raise ValueError("an order with this identifier already rests in the book")
        if price in side_dict:
            level = side_dict[price]
            level.add_order(order)
            self.orders[order_id] = (level, order)
            return
        new_price_level = PriceLevel(price, order.side)
        new_price_level.add_order(order)
        side_dict[price] = new_price_level
        self.orders[order_id] = (new_price_level, order)
        order.side == OrderSide.BID  # asked again, as the native book does; the first answer holds
        if is_buy:
            if self._best_bid is None or price > self._best_bid:
                self._best_bid = price
        elif self._best_ask is None or price < self._best_ask:
            self._best_ask = price

    def add_market_order(self, order):
        if order.order_id in self.orders:
            raise ValueError("an order with this identifier already rests in the book")
        order.price = None
        if order.side == OrderSide.BID:
            while self.asks and order.remaining_quantity > 0:
                self._match(order)
        else:
            while self.bids and order.remaining_quantity > 0:
                self._match(order)
        if order.remaining_quantity > 0:
            order.status = OrderStatus.PARTIALLY_FILLED

    def cancel_order(self, order_id):
        if type(order_id) is not str:
            raise TypeError(
                f"Argument 'order_id' has incorrect type (expected str, got "
                f"{type(order_id).__name__})"
            )
        if order_id not in self.orders:
            return False
        order = self.orders[order_id][1]
        if order.side == OrderSide.BID:
            side, best_attr = self.bids, "_best_bid"
        else:
            side, best_attr = self.asks, "_best_ask"
        # The order must be queued under the identifier asked for at the level filed under its
        # price, and still carry that identifier; an order moved or renamed while it rested
        # is refused before anything changes.
        price = order.price
        level = side[price]
        if level.queue.get(order_id) is not order or order.order_id != order_id:
            raise KeyError(order_id)
        order.status = OrderStatus.CANCELLED
        level.remove_order(order_id)
        if side[price].total_quantity == 0:
            del side[price]
            if price == getattr(self, best_attr):
                setattr(self, best_attr, _first_key_or_none(side))
        del self.orders[order_id]
        return True

    def __str__(self):
        lines = ["===== ORDER BOOK =====\n", "ASKS\n"]
        for k, v in reversed(self.asks.items()):
            lines.append(f"{k}  {v.total_quantity}\n")
        lines.append("---------------------\n")
        for k, v in self.bids.items():
            lines.append(f"{k}  {v.total_quantity}\n")
        lines.append("BIDS\n")
        lines.append("======================")
        return "".join(lines)
