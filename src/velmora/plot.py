"""Pictures of an exact book: its cumulative depth, and its trades over time.

Needs the optional extra ``velmora[plot]`` (matplotlib). Without an ``ax`` each function draws
on a new ``matplotlib.figure.Figure`` that pyplot does not track, so it works headless (Agg)
and leaves no open figure behind; save it with ``ax.figure.savefig(path)``. Prices are drawn
as floats.
"""

from __future__ import annotations

from itertools import accumulate
from typing import Any

try:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure
    from matplotlib.ticker import MaxNLocator
except ImportError as exc:
    raise ImportError(
        "velmora.plot needs matplotlib, which is not installed: pip install 'velmora[plot]'"
    ) from exc

from velmora import _levels, orderbook
from velmora.orderbook import OrderSide

__all__ = ["depth_chart", "trade_tape"]

BID_COLOUR = "#1a9850"
ASK_COLOUR = "#d73027"
_SIDES = {OrderSide.BID: ("bids", BID_COLOUR), OrderSide.ASK: ("asks", ASK_COLOUR)}


def _axes(ax: Axes | None) -> Axes:
    if ax is not None:
        return ax
    return Figure(figsize=(6.4, 4.0), layout="constrained").add_subplot()


def _say(ax: Axes, text: str) -> None:
    ax.text(0.5, 0.5, text, transform=ax.transAxes, ha="center", va="center", color="0.4")


def depth_chart(book: orderbook.OrderBook, ax: Axes | None = None) -> Axes:
    """Cumulative resting quantity against price: one stepped curve per side.

    Each curve starts at zero where the two sides meet (halfway across the spread, or at the
    side's own best price when the other side is empty) and rises by each level's total at
    that level's price, moving away from the spread. Its points are the meeting price, the
    side's prices best first, and a last point that carries the full total on beyond the
    deepest level (both curves reach equally far from the meeting price), against zero, the
    running totals and the full total again. Both curves are drawn, empty ones included (with
    no points), labelled "bids" and "asks".
    """
    _levels.check_book(book, "depth_chart")
    ax = _axes(ax)
    sides = [(side, [float(price) for price, _, _ in levels],
              list(accumulate(total for _, total, _ in levels)))
             for side, levels in _levels.book_sides(book)]
    bests = [prices[0] for _, prices, _ in sides if prices]
    meet = sum(bests) / len(bests) if bests else 0.0
    reach = 1.1 * max((abs(prices[-1] - meet) for _, prices, _ in sides if prices), default=0)
    reach = reach or abs(meet) / 100 or 1.0
    for side, prices, cumulative in sides:
        label, colour = _SIDES[side]
        xs: list[float] = []
        ys: list[int] = []
        if prices:
            edge = meet - reach if side == OrderSide.BID else meet + reach
            xs, ys = [meet, *prices, edge], [0, *cumulative, cumulative[-1]]
            ax.fill_between(xs, ys, step="post", color=colour, alpha=0.2, linewidth=0)
        ax.step(xs, ys, where="post", color=colour, label=label)
    if not bests:
        _say(ax, "no resting orders")
    ax.set_xlabel("price")
    ax.set_ylabel("cumulative quantity")
    ax.set_ylim(bottom=0)
    ax.legend(loc="upper center")
    return ax


def trade_tape(book: orderbook.OrderBook, ax: Axes | None = None, *,
               time: str = "sequence") -> Axes:
    """Trade prices in log order, coloured by the aggressor's side, over volume bars.

    ``time="sequence"`` numbers the trades 1, 2, ... along the x axis; ``time="timestamp"``
    places them at their timestamps instead (many trades of a fast session share one). The
    volume bars, one vertical line per trade as high as its quantity, are drawn on a twin axes
    whose scale keeps them in the lower quarter, below the prices; the price axes is
    returned.
    """
    _levels.check_book(book, "trade_tape")
    if time not in ("sequence", "timestamp"):
        raise ValueError(f"time must be 'sequence' or 'timestamp', not {time!r}")
    ax = _axes(ax)
    log = list(book.trade_log)
    xs: list[Any] = (list(range(1, len(log) + 1)) if time == "sequence"
                     else [trade.timestamp for trade in log])
    prices = [float(trade.price) for trade in log]
    quantities = [trade.quantity_filled for trade in log]
    bought = [trade.aggressor_side == OrderSide.BID for trade in log]

    volume = ax.twinx()
    volume.vlines(xs, 0, quantities, colors=[BID_COLOUR if b else ASK_COLOUR for b in bought],
                  alpha=0.45, linewidth=2)
    tallest = max(quantities, default=0) or 1
    volume.set_ylim(0, 4 * tallest)
    volume.set_yticks(MaxNLocator(nbins=3, integer=True).tick_values(0, tallest))
    volume.set_ylabel("quantity")
    # The price axes draws over the volume axes, with a transparent background.
    ax.set_zorder(volume.get_zorder() + 1)
    ax.patch.set_visible(False)

    ax.plot(xs, prices, color="0.55", linewidth=0.8, zorder=1, label="price")
    for wanted, label, colour in ((True, "buyer-initiated", BID_COLOUR),
                                  (False, "seller-initiated", ASK_COLOUR)):
        picked = [i for i, b in enumerate(bought) if b == wanted]
        ax.scatter([xs[i] for i in picked], [prices[i] for i in picked], s=14, color=colour,
                   zorder=2, label=label)
    if log:
        # Prices keep clear of the volume bars below and of the legend above.
        low, high = min(prices), max(prices)
        span = (high - low) or abs(high) / 100 or 1.0
        ax.set_ylim(low - 0.45 * span, high + 0.3 * span)
    else:
        _say(ax, "no trades")
    if time == "sequence":
        ax.xaxis.set_major_locator(MaxNLocator(integer=True))
    ax.set_xlabel("trade" if time == "sequence" else "time")
    ax.set_ylabel("price")
    ax.legend(loc="upper left", ncols=3, fontsize="small")
    return ax
