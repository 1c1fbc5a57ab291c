"""A short trading session with velmora: rest orders on both sides, cross the book with a
limit order and a market order, cancel one order, then show the book and the trades.

Then a busier seeded session, looked at as tables (velmora.frames, pandas) and pictures
(velmora.plot, matplotlib):

    python examples/demo.py [FOLDER] [--events N]

The pictures go to FOLDER, by default build/demo in the source tree; the busier session has
N events (20 000 by default)."""

import argparse
from decimal import Decimal
from pathlib import Path

from velmora import flows, frames, plot
from velmora.orderbook import Order, OrderBook, OrderSide

parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
parser.add_argument("folder", nargs="?", type=Path,
                    default=Path(__file__).resolve().parent.parent / "build" / "demo")
parser.add_argument("--events", type=int, default=20_000)
options = parser.parse_args()

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

# A busier session: the realistic mixed flow (limit orders, market orders, cancellations
# around 100.00) from a fixed seed, so every run draws the same pictures.
book, built = OrderBook(), flows.zero_intelligence(seed=15, count=options.events)
flows.replay(book, Order, built.setup + built.events, [])

trades = frames.trade_log(book)
volume = trades.quantity_filled.sum()
vwap = (trades.price * trades.quantity_filled).sum() / volume  # exact: Decimal arithmetic
print(f"\nbusier session of {len(built.events)} events: {len(trades)} trades, {volume} traded, VWAP {vwap:.4f}")
print(trades.groupby(trades.aggressor_side.map(lambda side: side.name))
      .quantity_filled.agg(["count", "sum"]).rename_axis("aggressor"))
levels = frames.levels(book)
print(f"\n{len(levels)} price levels; the five best on each side:")
print(levels.groupby("side", sort=False).head(5).assign(side=levels.side.map(lambda s: s.name))
      .to_string(index=False))

out = options.folder
out.mkdir(parents=True, exist_ok=True)
for name, draw in (("depth.png", plot.depth_chart), ("tape.png", plot.trade_tape)):
    ax = draw(book)
    ax.set_title(f"{name[:-4]} after {len(built.events):,} events, {len(trades):,} trades")
    ax.figure.savefig(out / name, dpi=150)
    print(f"wrote {out / name}")
