"""The depth chart and the trade tape, checked on what they draw (points, bars, labels), and
as PNG files."""

from datetime import datetime, timedelta, timezone
from decimal import Decimal as D
from itertools import accumulate

import matplotlib.dates as mdates
import matplotlib.image
import numpy as np
import pytest
from matplotlib.collections import LineCollection, PathCollection
from matplotlib.figure import Figure

from conftest import BOOKS, book_of, core_twin, resting_by_side, seeded_session
from velmora import core, plot
from velmora.orderbook import Order, OrderBook, OrderSide

BID, ASK = OrderSide.BID, OrderSide.ASK


def lines_of(ax):
    return {line.get_label(): line for line in ax.get_lines()}


def legend_of(ax):
    legend = ax.get_legend()
    return [] if legend is None else [text.get_text() for text in legend.get_texts()]


@pytest.mark.parametrize("name", BOOKS)
def test_depth_steps_are_the_cumulative_totals_with_best_prices_and_spread(name):
    resting = resting_by_side(book := BOOKS[name]())
    ax = plot.depth_chart(book)
    lines = lines_of(ax)
    bests = {side: rows[0][0] for side, rows in resting.items() if rows}
    meet = sum(map(float, bests.values())) / len(bests) if bests else None
    ends, drawn = [], []
    for side, label in ((BID, "bids"), (ASK, "asks")):
        if not (rows := resting[side]):
            assert label not in lines
            continue
        xs, ys = list(lines[label].get_xdata()), list(lines[label].get_ydata())
        assert lines[label].get_drawstyle() == "steps-post"
        totals = list(accumulate(total for _, total, _ in rows))
        assert xs[0] == pytest.approx(meet)  # where the sides meet
        assert xs[1:-1] == [float(price) for price, _, _ in rows]
        assert ys == [0, *totals, totals[-1]]
        assert (xs[-1] < xs[-2]) if side is BID else (xs[-1] > xs[-2])  # a shelf past the end
        ends.append(abs(xs[-1] - xs[0]))
        marker = lines[f"best {side.name.lower()} {rows[0][0]}"]
        assert list(marker.get_xdata()) == [float(rows[0][0])] * 2
        drawn += [label, marker.get_label()]
    assert ends == pytest.approx([max(ends, default=0)] * len(ends))
    spans = [p for p in ax.patches if p.get_label().startswith("spread")]
    assert len(spans) == (len(bests) == 2)
    for span in spans:
        xs = span.get_path().transformed(span.get_patch_transform()).vertices[:, 0]
        assert (xs.min(), xs.max()) == (float(bests[BID]), float(bests[ASK]))
        drawn.append(f"spread {bests[ASK] - bests[BID]}")
    assert sorted(legend_of(ax)) == sorted(drawn)
    assert [t.get_text() for t in ax.texts] == ([] if bests else ["no resting orders"])


def tape_of(ax):
    """The price line's points, the scattered points by label, the volume bars (one line per
    trade, or stacked rectangles as (label, left, right, bottom, top)) and the volume axes."""
    (volume,) = [other for other in ax.figure.axes if other is not ax]
    lines = [[tuple(p) for p in segment] for c in volume.collections
             if isinstance(c, LineCollection) for segment in c.get_segments()]
    boxes = [(bars.get_label(), r.get_x(), r.get_x() + r.get_width(), r.get_y(),
              r.get_y() + r.get_height()) for bars in volume.containers for r in bars]
    points = {c.get_label(): [tuple(xy) for xy in c.get_offsets()]
              for c in ax.collections if isinstance(c, PathCollection)}
    line = [list(zip(line.get_xdata(), line.get_ydata())) for line in ax.get_lines()]
    return line, points, lines or boxes, volume


def trades_at(*sides, price=None):
    """A book whose trades are one unit each, aggressed by the given sides in order, at 100,
    101, ... for buys and 99, 98, ... for sells, or all at the given price."""
    book = book_of(*[(ASK, 1, price or D(100 + i)) for i, s in enumerate(sides) if s is BID],
                   *[(BID, 1, price or D(99 - i)) for i, s in enumerate(sides) if s is ASK])
    for side in sides:
        book.add_market_order(Order(side, 1))
    return book


@pytest.mark.parametrize("time", ["sequence", "timestamp"])
def test_tape_marks_each_trade_up_to_the_limit(time):
    log = (book := seeded_session(9)).trade_log
    line, points, bars, _ = tape_of(plot.trade_tape(book, time=time))
    assert 50 < len(log) <= plot.MARKED_TRADES
    xs = (list(range(1, len(log) + 1)) if time == "sequence"
          else list(mdates.date2num([trade.timestamp for trade in log])))
    assert line == [[(x, float(trade.price)) for x, trade in zip(xs, log)]]
    for label, side in (("buyer-initiated", BID), ("seller-initiated", ASK)):
        assert points[label] == [(x, float(trade.price)) for x, trade in zip(xs, log)
                                 if trade.aggressor_side is side]
    assert bars == [[(x, 0), (x, trade.quantity_filled)] for x, trade in zip(xs, log)]


@pytest.mark.parametrize("buckets, runs", [(7, 7), (None, plot.AUTO_BUCKETS)])
def test_many_trades_become_volume_per_bucket_under_a_plain_price_line(monkeypatch, buckets,
                                                                       runs):
    monkeypatch.setattr(plot, "MARKED_TRADES", 50)  # what a session of many trades does
    log = (book := seeded_session(9, events=3000)).trade_log
    line, points, boxes, volume = tape_of(plot.trade_tape(book, buckets=buckets))
    n, width = len(log), -(-len(log) // runs)
    assert n > 2 * runs and points == {}
    assert line == [[(i, float(t.price)) for i, t in enumerate(log, 1)]]
    expected = []
    for start in range(0, n, width):
        run = log[start:start + width]
        bought = sum(t.quantity_filled for t in run if t.aggressor_side is BID)
        sold = sum(t.quantity_filled for t in run if t.aggressor_side is ASK)
        edges = (start + 0.5, min(start + width, n) + 0.5)
        expected += [("buyer-initiated", *edges, 0, bought), ("seller-initiated", *edges,
                                                              bought, bought + sold)]
    assert sorted(boxes) == sorted(expected)
    assert volume.get_ylabel() == f"quantity\nper {width} trades"


@pytest.mark.parametrize("sides, buckets, legend, ticks", [
    ([BID], None, ["buyer-initiated"], [1]),
    ([ASK, ASK], None, ["price", "seller-initiated"], [1, 2]),
    ([BID, ASK, BID], 2, ["price", "buyer-initiated", "seller-initiated"], [1, 2, 3]),
    ([ASK] * 3, 2, ["price", "seller-initiated"], [1, 2, 3]),
    ([], None, [], [1]),
], ids=["one-trade", "sells", "buckets", "sold-buckets", "no-trades"])
def test_tape_lists_what_it_drew_on_whole_trade_numbers(sides, buckets, legend, ticks):
    ax = plot.trade_tape(trades_at(*sides), buckets=buckets)
    ax.figure.draw_without_rendering()
    low, high = ax.get_xlim()
    assert legend_of(ax) == legend
    assert [tick for tick in ax.get_xticks() if low <= tick <= high] == ticks
    assert [t.get_text() for t in ax.texts] == ([] if sides else ["no trades"])


def test_tape_times_are_times_of_day_and_volume_is_labelled_beside_its_bars():
    book = trades_at(BID, ASK, BID, BID)
    start = datetime(2026, 3, 2, 9, 30)
    for i, trade in enumerate(book.trade_log):
        trade.timestamp = start + timedelta(seconds=1.5 * i)
    ax = plot.trade_tape(book, time="timestamp")
    ax.figure.draw_without_rendering()
    assert [t.get_text() for t in ax.get_xticklabels()] == ["09:30", "01", "02", "03", "04"]
    assert ax.xaxis.get_offset_text().get_text() == "2026-Mar-02 09:30"
    volume = tape_of(ax)[3]
    bottom, top = volume.transAxes.inverted().transform(
        volume.yaxis.label.get_window_extent().get_points())[:, 1]
    assert volume.get_ylim() == (0, 4) and bottom == pytest.approx(0, abs=0.01) and top < 0.25


@pytest.mark.parametrize("buckets", [0, 5])
def test_core_data_draws_as_its_exact_twin(buckets):
    exact, book, fills = core_twin(4)
    for ours, theirs in ((plot.depth_chart(book, tick_size="0.01"), plot.depth_chart(exact)),
                         (plot.trade_tape(fills, tick_size="0.01", buckets=buckets),
                          plot.trade_tape(exact, buckets=buckets))):
        assert legend_of(ours) == legend_of(theirs) and len(legend_of(ours)) >= 3
        assert ([line.get_xydata().tolist() for line in ours.get_lines()]
                == [line.get_xydata().tolist() for line in theirs.get_lines()])
        assert ours.get_xlabel() == theirs.get_xlabel()
    assert tape_of(ours)[1:3] == tape_of(theirs)[1:3]
    assert plot.trade_tape(fills).get_ylabel() == plot.depth_chart(book).get_xlabel() == \
        "price (ticks)"


def core_fill_at(ticks):
    book = core.Book()
    book.add_limit(1, core.ASK, ticks, 2)
    return book, book.replay(np.array([(core.MARKET, core.BID, 2, 0, 1, 0)], core.EVENT_DTYPE))


@pytest.mark.parametrize("call, error, message", [
    (lambda: plot.depth_chart(book_of((ASK, 1, D("Infinity")))), ValueError,
     r"^depth_chart\(\) cannot draw ask price Decimal\('Infinity'\): it has no finite float"),
    (lambda: plot.depth_chart(book_of((ASK, 1, "abc"))), TypeError, "ask price 'abc' has no"),
    (lambda: plot.trade_tape(trades_at(BID, price=D("Infinity"))), ValueError,
     r"^trade_tape\(\) cannot draw trade 1 price Decimal\('Infinity'\)"),
    (lambda: plot.trade_tape(core_fill_at(10**18)[1], tick_size="1e300"), ValueError,
     "ticks times tick_size 1E[+]300 have no finite float value"),
    (lambda: plot.trade_tape(core.Book()), TypeError,
     r"a velmora.core.Book keeps no trade log; draw the fills of a replay instead: "
     r"trade_tape\(book.replay\(events\)\)"),
    (lambda: plot.depth_chart(np.empty(0, core.FILL_DTYPE)), TypeError,
     r"not the fills of a replay: give it the velmora.core.Book, or the fills to trade_tape"),
    (lambda: plot.trade_tape(np.empty(0, core.FILL_DTYPE), time="timestamp", unit="min"),
     ValueError, "unit must be one of s, ms, us, ns, not 'min'"),
    (lambda: plot.trade_tape(OrderBook(), time="timestamp", epoch=datetime(2026, 1, 1)),
     TypeError, "epoch and unit apply to the fills of a velmora.core replay"),
    (lambda: plot.trade_tape(OrderBook(), time="wall"), ValueError,
     "^time must be 'sequence' or 'timestamp', not 'wall'$"),
    (lambda: plot.trade_tape([]), TypeError, r"^trade_tape\(\) expects a velmora.orderbook."
     r"OrderBook or the fills array that velmora.core.Book.replay returns, got list$"),
], ids=["infinite-ask", "text", "infinite-trade", "core-beyond-float", "core-book-tape",
        "fills-depth", "fills-unit", "exact-epoch", "time", "list"])
def test_refusals_say_what_to_do(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("draw", [plot.depth_chart, plot.trade_tape], ids=lambda f: f.__name__)
@pytest.mark.parametrize("name", ["session", "bids-only", "empty"])
def test_png_written_and_read_back(draw, name, tmp_path):
    book = BOOKS[name]()
    draw(book).figure.savefig(tmp_path / "own.png", dpi=50)  # a 6.4 x 4 inch figure
    assert matplotlib.image.imread(tmp_path / "own.png").shape == (200, 320, 4)

    given = Figure(figsize=(3, 2)).add_subplot()
    assert draw(book, given) is given
    given.figure.savefig(tmp_path / "given.png", dpi=100)
    assert matplotlib.image.imread(tmp_path / "given.png").shape == (200, 300, 4)


@pytest.mark.parametrize("epoch, unit, scale", [
    pytest.param(datetime(2026, 3, 2), "ns", 10**9, id="lobster-nanoseconds-after-midnight"),
    pytest.param(datetime(2026, 3, 1, 23, tzinfo=timezone(timedelta(hours=-1))), "ms",
                 10**3, id="aware-epoch-milliseconds"),
])
def test_core_fills_draw_at_their_times(epoch, unit, scale):
    # Three fills at 09:30:00, 09:30:01.5 and 09:30:03 of the epoch's day.
    book = core.Book()
    book.add_limit(1, core.ASK, 10_100, 10)
    seconds = [34_200, 34_201.5, 34_203]
    events = np.array([(core.MARKET, core.BID, 2 + k, 0, 1, int(t * scale))
                       for k, t in enumerate(seconds)], core.EVENT_DTYPE)
    ax = plot.trade_tape(book.replay(events), time="timestamp", epoch=epoch, unit=unit)
    day = datetime(2026, 3, 2)
    expected = mdates.date2num([day + timedelta(seconds=t) for t in seconds])
    assert tape_of(ax)[0][0] == [(x, 10_100.0) for x in expected]
    ax.figure.draw_without_rendering()
    assert ax.xaxis.get_offset_text().get_text().startswith("2026-Mar-02 09:30")
