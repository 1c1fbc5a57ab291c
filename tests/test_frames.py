"""The trade log and the price levels as DataFrames, checked against the book they come from;
and how the two optional modules stay apart from the exact one."""

import dataclasses

import pandas as pd
import pytest

from conftest import BOOKS, resting_by_side, run_python, seeded_session
from velmora import frames, plot
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


@pytest.mark.parametrize("make", [frames.trade_log, frames.levels], ids=["trade_log", "levels"])
def test_an_empty_book_gives_the_same_columns_and_types(make):
    full, empty = make(seeded_session(3)), make(OrderBook())
    assert len(empty) == 0 and len(full) > 0
    pd.testing.assert_series_equal(empty.dtypes, full.dtypes)


@pytest.mark.parametrize("call", [frames.trade_log, frames.levels, plot.depth_chart,
                                  plot.trade_tape], ids=lambda f: f.__name__)
def test_anything_but_a_book_is_refused(call):
    for thing in (None, [], OrderBook):
        with pytest.raises(TypeError, match=rf"^{call.__name__}\(\) expects a "
                                            r"velmora\.orderbook\.OrderBook, got "):
            call(thing)


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
