"""The depth chart and the trade tape, checked on the data they draw, and as PNG files."""

from decimal import Decimal as D
from itertools import accumulate

import matplotlib.dates as mdates
import matplotlib.image
import pytest
from matplotlib.collections import LineCollection, PathCollection
from matplotlib.figure import Figure

from conftest import BOOKS, book_of, resting_by_side, seeded_session
from velmora import plot
from velmora.orderbook import OrderSide

BID, ASK = OrderSide.BID, OrderSide.ASK


def lines_of(ax):
    return {line.get_label(): line for line in ax.get_lines()}


@pytest.mark.parametrize("name", BOOKS)
def test_depth_steps_are_the_cumulative_totals(name):
    resting = resting_by_side(book := BOOKS[name]())
    lines = lines_of(plot.depth_chart(book))
    bests = [float(rows[0][0]) for rows in resting.values() if rows]
    ends = []
    for side, label in ((BID, "bids"), (ASK, "asks")):
        xs, ys = list(lines[label].get_xdata()), list(lines[label].get_ydata())
        assert lines[label].get_drawstyle() == "steps-post"
        if not (rows := resting[side]):
            assert xs == ys == []
            continue
        totals = list(accumulate(total for _, total, _ in rows))
        assert xs[0] == pytest.approx(sum(bests) / len(bests))  # where the sides meet
        assert xs[1:-1] == [float(price) for price, _, _ in rows]
        assert ys == [0, *totals, totals[-1]]
        assert (xs[-1] < xs[-2]) if side is BID else (xs[-1] > xs[-2])  # a shelf past the end
        ends.append(abs(xs[-1] - xs[0]))
    assert len(set(lines)) == 2 and ends == pytest.approx([max(ends, default=0)] * len(ends))


def tape_of(ax):
    """The price line's points, the scattered points by label, and the volume bars."""
    (volume,) = [other for other in ax.figure.axes if other is not ax]
    (bars,) = [c for c in volume.collections if isinstance(c, LineCollection)]
    (line,) = ax.get_lines()
    points = {c.get_label(): [tuple(xy) for xy in c.get_offsets()]
              for c in ax.collections if isinstance(c, PathCollection)}
    return (list(zip(line.get_xdata(), line.get_ydata())), points,
            [[tuple(point) for point in segment] for segment in bars.get_segments()])


@pytest.mark.parametrize("time", ["sequence", "timestamp"])
def test_tape_points_are_the_trades(time):
    log = (book := seeded_session(9)).trade_log
    line, points, bars = tape_of(plot.trade_tape(book, time=time))
    assert len(log) > 50
    if time == "sequence":
        xs = list(range(1, len(log) + 1))
    else:
        xs = list(mdates.date2num([trade.timestamp for trade in log]))
        line = [(mdates.date2num(x), y) for x, y in line]
    assert line == [(x, float(trade.price)) for x, trade in zip(xs, log)]
    for label, side in (("buyer-initiated", BID), ("seller-initiated", ASK)):
        assert points[label] == [(x, float(trade.price)) for x, trade in zip(xs, log)
                                 if trade.aggressor_side is side]
    assert bars == [[(x, 0), (x, trade.quantity_filled)] for x, trade in zip(xs, log)]


def test_tape_of_a_book_without_trades():
    ax = plot.trade_tape(book_of((BID, 4, D("99.50"))))
    assert [t.get_text() for t in ax.texts] == ["no trades"]
    assert tape_of(ax) == ([], {"buyer-initiated": [], "seller-initiated": []}, [])
    with pytest.raises(ValueError, match="^time must be 'sequence' or 'timestamp', not 'wall'$"):
        plot.trade_tape(book_of(), time="wall")


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
