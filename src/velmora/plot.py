"""Pictures of a session: a book's cumulative depth, and its trades over time.

Needs the optional extra ``velmora[plot]`` (matplotlib). Both functions draw an exact book
(``velmora.orderbook.OrderBook``) and the integer-tick engine's data too: ``depth_chart`` a
``velmora.core.Book`` from its levels, ``trade_tape`` the fills that ``velmora.core.Book.replay``
returns; ``tick_size`` turns their ticks into prices. Without an ``ax`` each function draws on a
new ``matplotlib.figure.Figure`` that pyplot does not track, so it works headless (Agg) and
leaves no open figure behind; save it with ``ax.figure.savefig(path)``. Prices are drawn as
floats; a price without a finite float value (an infinite one, say) is refused rather than
drawn wrongly.
"""

from __future__ import annotations

import math
from datetime import date, datetime, timedelta, timezone
from decimal import Decimal
from itertools import accumulate
from typing import Any

try:
    import matplotlib.dates as mdates
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure
    from matplotlib.ticker import MaxNLocator
except ImportError as exc:
    raise ImportError(
        "velmora.plot needs matplotlib, which is not installed: pip install 'velmora[plot]'"
    ) from exc

import numpy as np

from velmora import _levels, core, orderbook
from velmora._core_bridge import _context, _tick
from velmora.orderbook import OrderSide

__all__ = ["ASK_COLOUR", "AUTO_BUCKETS", "BID_COLOUR", "MARKED_TRADES", "TIME_UNITS", "depth_chart",
           "trade_tape"]

BID_COLOUR = "#1a9850"
ASK_COLOUR = "#d73027"
_SIDES = {OrderSide.BID: ("bids", BID_COLOUR), OrderSide.ASK: ("asks", ASK_COLOUR)}
# Up to this many trades the tape marks each one; beyond it, it draws AUTO_BUCKETS volume bars.
MARKED_TRADES = 400
AUTO_BUCKETS = 100


def _axes(ax: Axes | None) -> Axes:
    if ax is not None:
        return ax
    return Figure(figsize=(6.4, 4.0), layout="constrained").add_subplot()


def _say(ax: Axes, text: str) -> None:
    ax.text(0.5, 0.5, text, transform=ax.transAxes, ha="center", va="center", color="0.4")


def _float(price: Any, caller: str, what: str) -> float:
    try:
        value = float(price)
    except (TypeError, ValueError, ArithmeticError):
        raise TypeError(f"{caller}() draws prices as numbers; {what} price {price!r} "
                        f"has no float value") from None
    if not math.isfinite(value):
        raise ValueError(f"{caller}() cannot draw {what} price {price!r}: it has no finite "
                         f"float value")
    return value


def _exact_only(caller: str, tick_size: Any) -> None:
    if not (isinstance(tick_size, int) and tick_size == 1):
        raise TypeError(f"{caller}(): tick_size applies to velmora.core data only; an exact "
                        f"book's prices are drawn as they are")


def _scaled(ticks: np.ndarray, tick: Decimal, caller: str) -> np.ndarray:
    # One rounding, as float(Decimal) of the same price: a tick such as 0.01 is 1/100.
    numerator, denominator = tick.as_integer_ratio()
    with np.errstate(over="ignore"):
        try:
            prices = ticks.astype(np.float64) * numerator / denominator
        except OverflowError:  # a numerator or denominator beyond floats: an absurd tick
            prices = np.full(ticks.shape, np.inf)
    if not np.isfinite(prices).all():
        raise ValueError(f"{caller}(): ticks times tick_size {tick} have no finite float value")
    return prices


def _price_text(price: Any) -> str:
    return f"{price:g}" if isinstance(price, float) else str(price)


def _spread_text(best_bid: Any, best_ask: Any) -> str:
    try:
        return _price_text(best_ask - best_bid)
    except Exception:  # prices that order but do not subtract: say it in floats
        return f"{float(best_ask) - float(best_bid):g}"


def _depth_sides(book: Any, tick_size: Any) -> list[tuple[OrderSide, list[Any], list[int]]]:
    """(side, the book's own prices best first, the levels' totals) for bids, then asks. A core
    book's prices are its ticks times the tick size, as Decimals."""
    if isinstance(book, core.Book):
        tick = _tick(tick_size)
        context = _context(tick)
        everything = len(book)
        return [(side, [context.multiply(Decimal(ticks), tick) for ticks, _, _ in levels],
                 [total for _, total, _ in levels])
                for side in OrderSide
                for levels in [book.depth(getattr(core, side.name), everything)]]
    if isinstance(book, np.ndarray) and book.dtype == core.FILL_DTYPE:
        raise TypeError("depth_chart() draws a book's resting orders, not the fills of a "
                        "replay: give it the velmora.core.Book, or the fills to trade_tape()")
    _levels.check_book(book, "depth_chart", "or a velmora.core.Book")
    _exact_only("depth_chart", tick_size)
    return [(side, [price for price, _, _ in levels], [total for _, total, _ in levels])
            for side, levels in _levels.book_sides(book)]


def depth_chart(book: orderbook.OrderBook | core.Book, ax: Axes | None = None, *,
                tick_size: Any = 1) -> Axes:
    """Cumulative resting quantity against price: one stepped curve per side, with the best
    prices marked and the spread between them shaded.

    Each curve starts at zero where the two sides meet (halfway across the spread, or at the
    side's own best price when the other side is empty) and rises by each level's total at
    that level's price, moving away from the spread. Its points are the meeting price, the
    side's prices best first, and a last point that carries the full total on beyond the
    deepest level (both curves reach equally far from the meeting price), against zero, the
    running totals and the full total again. A side without orders draws nothing. The legend
    lists what was drawn: "bids", "asks", "best bid <price>", "best ask <price>" and
    "spread <ask - bid>", prices as the book holds them. ``book`` is an exact book or a
    ``velmora.core.Book``, whose ticks are drawn times ``tick_size``.
    """
    sides = _depth_sides(book, tick_size)
    ax = _axes(ax)
    drawn = [(side, held, [_float(p, "depth_chart", side.name.lower()) for p in held],
              list(accumulate(totals)))
             for side, held, totals in sides if held]
    bests = [prices[0] for _, _, prices, _ in drawn]
    meet = sum(bests) / len(bests) if bests else 0.0
    reach = 1.1 * max((abs(prices[-1] - meet) for _, _, prices, _ in drawn), default=0)
    reach = reach or abs(meet) / 100 or 1.0
    for side, _, prices, cumulative in drawn:
        label, colour = _SIDES[side]
        edge = meet - reach if side == OrderSide.BID else meet + reach
        xs, ys = [meet, *prices, edge], [0, *cumulative, cumulative[-1]]
        ax.fill_between(xs, ys, step="post", color=colour, alpha=0.2, linewidth=0)
        ax.step(xs, ys, where="post", color=colour, label=label)
    for side, held, prices, _ in drawn:
        ax.axvline(prices[0], color=_SIDES[side][1], linestyle="--", linewidth=1,
                   label=f"best {side.name.lower()} {_price_text(held[0])}")
    if len(drawn) == 2:
        (_, bid, bid_prices, _), (_, ask, ask_prices, _) = drawn
        ax.axvspan(bid_prices[0], ask_prices[0], color="0.5", alpha=0.25, linewidth=0,
                   label=f"spread {_spread_text(bid[0], ask[0])}")
    if drawn:
        ax.legend(loc="upper center", fontsize="small", ncols=2)
    else:
        _say(ax, "no resting orders")
    ax.set_xlabel("price (ticks)" if isinstance(book, core.Book) and _tick(tick_size) == 1
                  else "price")
    ax.set_ylabel("cumulative quantity")
    ax.set_ylim(bottom=0)
    return ax


# The units a fill's integer time may count, as NumPy names them.
TIME_UNITS = ("s", "ms", "us", "ns")


def _fill_times(times: np.ndarray, epoch: Any, unit: str) -> np.ndarray:
    """Fill times (int64 counts of `unit` after `epoch`) as datetime64 for matplotlib: the
    epoch a datetime or date (an aware one in UTC, drawn without its zone), by default the
    Unix epoch; LOBSTER's times count nanoseconds after midnight of the file's day."""
    if unit not in TIME_UNITS:
        raise ValueError(f"trade_tape(): unit must be one of {', '.join(TIME_UNITS)}, "
                         f"not {unit!r}")
    if epoch is None:
        start = np.datetime64(0, "ns")
    elif isinstance(epoch, (datetime, date)):
        if isinstance(epoch, datetime) and epoch.tzinfo is not None:
            epoch = epoch.astimezone(timezone.utc).replace(tzinfo=None)
        start = np.datetime64(epoch, "ns")
    else:
        raise TypeError(f"trade_tape(): epoch must be a datetime or date, not "
                        f"{type(epoch).__name__}")
    return start + times.astype(np.int64).astype(f"timedelta64[{unit}]")


class _Trades:
    """The columns a tape draws: prices as floats, quantities, whether the buyer aggressed,
    and the timestamps when the source has them."""

    def __init__(self, source: Any, time: str, tick_size: Any, epoch: Any, unit: str) -> None:
        self.in_ticks = False
        if isinstance(source, core.Replay):
            source = source.fills
        self.times: Any = None
        if isinstance(source, np.ndarray) and source.dtype == core.FILL_DTYPE:
            fills = source.reshape(-1)
            tick = _tick(tick_size)
            self.in_ticks = tick == 1
            self.prices = _scaled(fills["price"], tick, "trade_tape")
            self.quantities = fills["quantity"].astype(np.int64)
            self.bought = fills["side"] == core.BID
            if time == "timestamp":
                self.times = _fill_times(fills["time"], epoch, unit)
            return
        if epoch is not None or unit != "ns":
            raise TypeError("trade_tape(): epoch and unit apply to the fills of a "
                            "velmora.core replay; an exact book's trades carry datetimes")
        if isinstance(source, core.Book):
            raise TypeError("trade_tape(): a velmora.core.Book keeps no trade log; draw the "
                            "fills of a replay instead: trade_tape(book.replay(events))")
        _levels.check_book(source, "trade_tape",
                           "or the fills array that velmora.core.Book.replay returns")
        _exact_only("trade_tape", tick_size)
        log = list(source.trade_log)
        self.prices = np.array([_float(trade.price, "trade_tape", f"trade {i}")
                                for i, trade in enumerate(log, 1)], dtype=np.float64)
        self.quantities = np.array([trade.quantity_filled for trade in log], dtype=np.int64)
        self.bought = np.array([trade.aggressor_side == OrderSide.BID for trade in log],
                               dtype=bool)
        self.times = [trade.timestamp for trade in log]


def _duration(days: float) -> str:
    seconds = days * 86400
    for unit, size in (("h", 3600), ("min", 60), ("s", 1), ("ms", 1e-3)):
        if seconds >= size:
            return f"{seconds / size:.3g} {unit}"
    return f"{seconds * 1e6:.3g} µs"


def _buckets(xs: np.ndarray, count: int, sequence: bool) -> tuple[np.ndarray, np.ndarray, str]:
    """Each trade's bucket, the bucket edges, and what one bucket spans. Trade numbers go in
    whole runs of trades per bucket; times in equal spans."""
    if sequence:
        width = -(-len(xs) // count)
        edges = np.arange(0, len(xs) + width, width, dtype=np.float64) + 0.5
        edges[-1] = min(edges[-1], len(xs) + 0.5)
        return (xs.astype(np.int64) - 1) // width, edges, f"{width} trades"
    low, high = float(xs.min()), float(xs.max())
    span = (high - low) or 1 / 86400_000  # one millisecond
    edges = np.linspace(low, low + span, count + 1)
    which = np.minimum(((xs - low) / span * count).astype(np.int64), count - 1)
    return which, edges, _duration(span / count)


def trade_tape(trades: orderbook.OrderBook | np.ndarray | core.Replay, ax: Axes | None = None,
               *, time: str = "sequence", buckets: int | None = None,
               tick_size: Any = 1, epoch: datetime | date | None = None,
               unit: str = "ns") -> Axes:
    """Trade prices in order, over the traded volume.

    ``trades`` is an exact book (its trade log) or the fills that ``velmora.core.Book.replay``
    returned (``tick_size`` scales their ticks). ``time="sequence"`` numbers the trades 1, 2, ...
    along the x axis; ``time="timestamp"`` places the trades at their times, labelled as
    times of day: an exact book's timestamps, or the fills' ``time`` field, an integer count
    of ``unit`` ("s", "ms", "us" or "ns", the default) after ``epoch`` (a datetime or date;
    the Unix epoch by default; for a LOBSTER replay, midnight of the file's day).

    Up to ``MARKED_TRADES`` trades (or with ``buckets=0``), each trade is a point coloured by
    its aggressor's side ("buyer-initiated", "seller-initiated") on a grey price line, over one
    volume bar per trade. More trades (or ``buckets=n``) are summed into at most n buckets of equal length
    (``AUTO_BUCKETS`` by default; whole runs of trades, or equal spans of time): the price line alone, over one stacked bar per bucket of the
    volume each side initiated. Volume sits on a twin axes whose scale keeps it in the lower
    quarter, below the prices; the price axes is returned. The legend lists only what was
    drawn.
    """
    if time not in ("sequence", "timestamp"):
        raise ValueError(f"time must be 'sequence' or 'timestamp', not {time!r}")
    if buckets is not None and (not isinstance(buckets, int) or buckets < 0):
        raise ValueError(f"buckets must be a whole number, 0 for one bar per trade, "
                         f"not {buckets!r}")
    data = _Trades(trades, time, tick_size, epoch, unit)
    ax = _axes(ax)
    if time == "timestamp":
        ax.xaxis_date()
    n = len(data.prices)
    sequence = time == "sequence"
    xs = (np.arange(1, n + 1, dtype=np.float64) if sequence
          else np.asarray(mdates.date2num(data.times), dtype=np.float64))
    if buckets is None:
        buckets = AUTO_BUCKETS if n > MARKED_TRADES else 0

    volume = ax.twinx()
    # The price axes draws over the volume axes, with a transparent background.
    ax.set_zorder(volume.get_zorder() + 1)
    ax.patch.set_visible(False)
    if n and buckets:
        which, edges, per = _buckets(xs, min(buckets, n), sequence)
        bought = np.bincount(which, np.where(data.bought, data.quantities, 0),
                             len(edges) - 1).astype(np.int64)
        sold = np.bincount(which, np.where(data.bought, 0, data.quantities),
                           len(edges) - 1).astype(np.int64)
        widths, lefts = np.diff(edges), edges[:-1]
        for heights, bottoms, label, colour in ((bought, 0, "buyer-initiated", BID_COLOUR),
                                                (sold, bought, "seller-initiated", ASK_COLOUR)):
            if heights.any():
                volume.bar(lefts, heights, widths, bottoms, align="edge", color=colour,
                           alpha=0.5, linewidth=0, label=label)
        tallest = int((bought + sold).max())
        volume.set_ylabel(f"quantity\nper {per}", loc="bottom")
        ax.plot(xs, data.prices, color="0.2", linewidth=0.8, label="price")
    elif n:
        volume.vlines(xs, 0, data.quantities, alpha=0.45, linewidth=2,
                      colors=np.where(data.bought, BID_COLOUR, ASK_COLOUR).tolist())
        tallest = int(data.quantities.max())
        volume.set_ylabel("quantity", loc="bottom")
        if n > 1:  # a line through one point would draw nothing
            ax.plot(xs, data.prices, color="0.55", linewidth=0.8, zorder=1, label="price")
        for wanted, label, colour in ((True, "buyer-initiated", BID_COLOUR),
                                      (False, "seller-initiated", ASK_COLOUR)):
            picked = data.bought == wanted
            if picked.any():
                ax.scatter(xs[picked], data.prices[picked], s=14, color=colour, zorder=2,
                           label=label)
    else:
        tallest = 0
        volume.set_yticks([])
        _say(ax, "no trades")
    if n:
        volume.set_ylim(0, 4 * (tallest or 1))
        volume.set_yticks(MaxNLocator(nbins=3, integer=True).tick_values(0, tallest or 1))
        # Prices keep clear of the volume bars below and of the legend above.
        low, high = float(data.prices.min()), float(data.prices.max())
        span = (high - low) or abs(high) / 100 or 1.0
        ax.set_ylim(low - 0.45 * span, high + 0.3 * span)
        handles = ax.get_legend_handles_labels()[0] + volume.get_legend_handles_labels()[0]
        ax.legend(handles=handles, loc="upper left", ncols=3, fontsize="small")

    if sequence:
        ax.set_xlim(0.5, max(n, 1) + 0.5)
        ax.xaxis.set_major_locator(MaxNLocator(integer=True, min_n_ticks=1))
        ax.set_xlabel("trade")
    else:
        locator = mdates.AutoDateLocator(minticks=3, maxticks=7)
        ax.xaxis.set_major_locator(locator)
        ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))
        if n and xs.min() == xs.max():  # one instant: a second either side of it
            second = timedelta(seconds=1) / timedelta(days=1)
            ax.set_xlim(xs[0] - second, xs[0] + second)
        ax.set_xlabel("time")
    ax.set_ylabel("price (ticks)" if data.in_ticks else "price")
    return ax
