"""A short trading session with velmora: rest orders on both sides, cross the book with a
limit order and a market order, cancel one order, then show the book and the trades."""

from decimal import Decimal

from velmora.orderbook import Order, OrderBook, OrderSide

book = OrderBook()

# Resting liquidity on both sides.
asks = [Order(OrderSide.ASK, 5, Decimal("101.00")),
        Order(OrderSide.ASK, 3, Decimal("101.50")),
        Order(OrderSide.ASK, 8, Decimal("102.25"))]
bids = [Order(OrderSide.BID, 4, Decimal("100.00")),
        Order(OrderSide.BID, 6, Decimal("99.50")),
        Order(OrderSide.BID, 10, Decimal("99.00"))]
for order in asks + bids:
    book.add_limit_order(order)
print(book)
print(f"best bid {book.best_bid()}, best ask {book.best_ask()}\n")

# A buy limited at 101.50 sweeps the asks at 101.00 and 101.50 and rests the rest.
sweep = Order(OrderSide.BID, 10, Decimal("101.50"))
book.add_limit_order(sweep)
print(f"limit buy {sweep.order_id}: {sweep.status.name}, "
      f"{sweep.remaining_quantity} of {sweep.original_quantity} resting at {sweep.price}")

# A market sell takes the bids from the highest price down.
market = Order(OrderSide.ASK, 10)
book.add_market_order(market)
print(f"market sell {market.order_id}: {market.status.name}, "
      f"{market.remaining_quantity} left unfilled")

# Withdraw the deepest bid.
print(f"cancel {bids[2].order_id}: {book.cancel_order(bids[2].order_id)}, "
      f"status {bids[2].status.name}; again: {book.cancel_order(bids[2].order_id)}\n")

print(book)
print()
book.print_trade_log()
