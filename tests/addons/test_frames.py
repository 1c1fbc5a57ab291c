"""The trade log and the price levels as DataFrames, checked against the book they come from;
and how the two optional modules stay apart from the exact one."""

import dataclasses

import numpy as np
import pandas as pd
import pytest

from conftest import BOOKS, core_twin, resting_by_side, run_python, seeded_session
from velmora import core, frames, plot
from velmora.orderbook import OrderBook, Trade

TRADE_FIELDS = [f.name for f in dataclasses.fields(Trade)]


@pytest.mark.parametrize("seed", [1, 2])
def test_trade_log_has_every_trade_and_field(seed):
    book = seeded_session(seed)
    log = book.trade_log
    frame, floats = frames.trade_log(book), frames.trade_log(book, float_prices=True)
    assert len(log) > 50
    assert list(frame.columns) == TRADE_FIELDS
    assert list(frame.index) == list(range(len(log)))
    for i, trade in enumerate(log):
        assert frame.at[i, "price"] is trade.price  # the very object: exact, digits kept
        assert floats.at[i, "price"] == float(trade.price)
        for name in TRADE_FIELDS[1:]:
            assert frame.at[i, name] == getattr(trade, name), (i, name)
    assert floats.price.dtype == "float64"


@pytest.mark.parametrize("name", BOOKS)
def test_levels_match_the_resting_orders(name):
    book = BOOKS[name]()
    frame, floats = frames.levels(book), frames.levels(book, float_prices=True)
    expected = [(side, *row) for side, rows in resting_by_side(book).items() for row in rows]
    assert list(frame.columns) == ["side", "price", "total_quantity", "order_count"]
    assert list(frame.itertuples(index=False, name=None)) == expected
    assert floats.price.tolist() == [float(price) for _, price, _, _ in expected]
    assert [type(price) for price in frame.price] == [type(row[1]) for row in expected]


@pytest.mark.parametrize("make, busy, idle", [
    (frames.trade_log, lambda: seeded_session(3), OrderBook),
    (frames.levels, lambda: seeded_session(3), OrderBook),
    (frames.levels, lambda: core_twin(3, events=300)[1], core.Book),
    (frames.fills, lambda: core_twin(3, events=300)[2],
     lambda: np.empty(0, dtype=core.FILL_DTYPE)),
], ids=["trade_log", "levels", "core-levels", "fills"])
def test_an_empty_book_gives_the_same_columns_and_types(make, busy, idle):
    full, empty = make(busy()), make(idle())
    assert len(empty) == 0 and len(full) > 0
    pd.testing.assert_series_equal(empty.dtypes, full.dtypes)


@pytest.mark.parametrize("call", [frames.trade_log, frames.levels, plot.depth_chart],
                         ids=lambda f: f.__name__)
def test_anything_but_a_book_is_refused(call):
    for thing in (None, [], OrderBook):
        with pytest.raises(TypeError, match=rf"^{call.__name__}\(\) expects a "
                                            r"velmora\.orderbook\.OrderBook(| or a velmora"
                                            r"\.core\.Book), got "):
            call(thing)


@pytest.mark.parametrize("seed", [1, 2])
def test_core_frames_equal_the_exact_ones(seed):
    exact, book, fills = core_twin(seed)
    ours = frames.fills(fills, float_prices=True, tick_size="0.01")
    theirs = frames.trade_log(exact, float_prices=True)
    shared = TRADE_FIELDS[:-1]  # all but the timestamp, for which the core has seq
    assert list(ours.columns) == [*shared, "seq", "time"] and len(ours) > 50
    ids = {"aggressor_id": "int64", "filler_id": "int64"}
    pd.testing.assert_frame_equal(ours[shared], theirs[shared].astype(ids), check_exact=True)
    assert frames.fills(fills).price.tolist() == [int(p.scaleb(2)) for p in
                                                  frames.trade_log(exact).price]
    pd.testing.assert_frame_equal(frames.levels(book, float_prices=True, tick_size="0.01"),
                                  frames.levels(exact, float_prices=True), check_exact=True)


def test_core_input_is_checked():
    fills = core_twin(3, events=300)[2]
    with pytest.raises(TypeError, match=r"^fills\(\) expects the array of velmora.core.FILL"):
        frames.fills(fills.astype([(name, "i8") for name in fills.dtype.names]))
    fills[len(fills) // 2]["side"] = 7
    with pytest.raises(ValueError, match="^side must be BID or ASK, found 7$"):
        frames.fills(fills)
    with pytest.raises(TypeError, match=r"^trade_log\(\): a velmora.core.Book keeps no trade"):
        frames.trade_log(core.Book())
    with pytest.raises(TypeError, match=r"^levels\(\): tick_size applies to a velmora.core"):
        frames.levels(OrderBook(), tick_size="0.01")
    with pytest.raises(TypeError, match=r"^levels\(\) takes a book, not the fills .* fills\("):
        frames.levels(fills)
    for book in (core.Book(), OrderBook()):
        with pytest.raises(TypeError, match=r"^fills\(\) takes what velmora.core.Book"
                                            r".replay\(events\) returns, not a book: levels"):
            frames.fills(book)


def test_the_exact_module_stays_apart():
    # A fresh interpreter: this process has long imported everything.
    out = run_python("""
        import sys
        import velmora.orderbook as ob
        before = set(vars(ob)), set(vars(ob.OrderBook))
        print(sorted(m for m in ("pandas", "matplotlib", "velmora.frames", "velmora.plot")
                     if m in sys.modules))
        import velmora.frames, velmora.plot
        print(before == (set(vars(ob)), set(vars(ob.OrderBook))))
        print("matplotlib.pyplot" in sys.modules)
    """)
    assert out.split("\n")[:3] == ["[]", "True", "False"]


@pytest.mark.parametrize("module, needs", [("frames", "pandas"), ("plot", "matplotlib")])
def test_a_missing_extra_is_named(module, needs):
    out = run_python(f"""
        import sys
        sys.modules[{needs!r}] = None  # what an uninstalled package looks like to import
        try:
            import velmora.{module}
        except ImportError as exc:
            print(type(exc).__name__, exc, sep=": ")
    """)
    assert out == (f"ImportError: velmora.{module} needs {needs}, which is not installed: "
                   f"pip install 'velmora[{module}]'\n")
