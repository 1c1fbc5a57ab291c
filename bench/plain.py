"""The order book written as plain Python, the baseline the native engine is measured against.

Same semantics as velmora.orderbook.OrderBook (same Trade class and enumerations, same
matching, resting, cancellation and rendering), written the way a Python programmer would:
SortedDict sides, OrderedDict levels, no argument checking.
"""

from collections import OrderedDict
from itertools import count

from sortedcontainers import SortedDict

from velmora.orderbook import OrderSide, OrderStatus, Trade, TradeType

_ids = count(1)


class Order:
    __slots__ = ("side", "original_quantity", "price", "remaining_quantity", "order_id", "status")

    def __init__(self, side, original_quantity, price=None):
        self.side = side
        self.original_quantity = original_quantity
        self.price = price
        self.remaining_quantity = original_quantity
        self.order_id = str(next(_ids))
        self.status = OrderStatus.OPEN


class PriceLevel:
    __slots__ = ("price", "queue", "total_quantity", "side")

    def __init__(self, price, side):
        self.price = price
        self.queue = OrderedDict()
        self.total_quantity = 0
        self.side = side

    def add_order(self, order):
        self.queue[order.order_id] = order
        self.total_quantity += order.remaining_quantity

    def remove_order(self, order_id):
        if order_id not in self.queue:
            return False
        item = self.queue[order_id]
        self.total_quantity -= item.remaining_quantity
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
        self.total_quantity -= item.remaining_quantity
        return item


class OrderBook:
    def __init__(self):
        self.bids = SortedDict(lambda x: -x)
        self.asks = SortedDict()
        self.orders = {}
        self._best_bid = None
        self._best_ask = None
        self.trade_log = []

    def _match(self, order):
        if order.side == OrderSide.BID:
            opposite_side = self.asks
            best = self.best_ask()
        else:
            opposite_side = self.bids
            best = self.best_bid()
        price_level = opposite_side[best]
        trade_type = TradeType.MARKET if order.price is None else TradeType.LIMIT
        while price_level.queue and order.remaining_quantity > 0:
            curr = price_level.peek()
            if curr.remaining_quantity >= order.remaining_quantity:
                quantity = order.remaining_quantity
            else:
                quantity = curr.remaining_quantity
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
            if order.side == OrderSide.BID:
                self._best_ask = next(iter(self.asks.keys())) if self.asks else None
            else:
                self._best_bid = next(iter(self.bids.keys())) if self.bids else None

    def _update_limit_order(self, order):
        if order.remaining_quantity <= 0 or order.status == OrderStatus.FILLED:
            return
        side_dict = self.bids if order.side == OrderSide.BID else self.asks
        if order.price in side_dict:
            level = side_dict[order.price]
            level.add_order(order)
            self.orders[order.order_id] = (level, order)
            return
        new_price_level = PriceLevel(order.price, order.side)
        new_price_level.add_order(order)
        side_dict[order.price] = new_price_level
        self.orders[order.order_id] = (new_price_level, order)
        if order.side == OrderSide.BID:
            if self._best_bid is None or order.price > self._best_bid:
                self._best_bid = order.price
        elif self._best_ask is None or order.price < self._best_ask:
            self._best_ask = order.price

    def add_limit_order(self, order):
        price = order.price
        if order.side == OrderSide.BID:
            while self.asks and price >= self.best_ask() and order.remaining_quantity > 0:
                self._match(order)
        else:
            while self.bids and price <= self.best_bid() and order.remaining_quantity > 0:
                self._match(order)
        self._update_limit_order(order)

    def add_market_order(self, order):
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
        if order_id not in self.orders:
            return False
        order = self.orders[order_id][1]
        order.status = OrderStatus.CANCELLED
        if order.side == OrderSide.BID:
            self.bids[order.price].remove_order(order.order_id)
            if self.bids[order.price].total_quantity == 0:
                del self.bids[order.price]
                if order.price == self._best_bid:
                    self._best_bid = next(iter(self.bids.keys())) if self.bids else None
        else:
            self.asks[order.price].remove_order(order.order_id)
            if self.asks[order.price].total_quantity == 0:
                del self.asks[order.price]
                if order.price == self._best_ask:
                    self._best_ask = next(iter(self.asks.keys())) if self.asks else None
        del self.orders[order.order_id]
        return True

    def best_bid(self):
        return self._best_bid

    def best_ask(self):
        return self._best_ask

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
