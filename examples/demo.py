"""A short session with velmora: build orders and show their fields."""

from decimal import Decimal

from velmora.orderbook import Order, OrderSide

orders = [
    Order(OrderSide.BID, 10, Decimal("100.50")),
    Order(OrderSide.ASK, 4, Decimal("101.00")),
    Order(side=OrderSide.ASK, original_quantity=7),
]
for o in orders:
    print(f"order {o.order_id}: {o.side.name} {o.original_quantity} @ {o.price} "
          f"remaining {o.remaining_quantity} {o.status.name}")
