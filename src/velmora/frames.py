"""A book's trades and price levels as pandas DataFrames.

Needs the optional extra ``velmora[frames]`` (pandas). For an exact book, prices stay the
objects the book holds (``Decimal`` in practice); for a ``velmora.core`` book they are its
integer ticks, read straight from its arrays. Either way ``float_prices=True`` asks for a
float64 column instead (for the core, ticks times ``tick_size``).
"""

from __future__ import annotations

import dataclasses
import operator
from typing import Any

try:
    import pandas as pd
except ImportError as exc:
    raise ImportError(
        "velmora.frames needs pandas, which is not installed: pip install 'velmora[frames]'"
    ) from exc

import numpy as np

from velmora import _levels, core, orderbook
from velmora._core_bridge import _tick

__all__ = ["fills", "levels", "trade_log"]

# Column types by the annotation a Trade field carries; any other field is an object column.
# Timestamps come from datetime.now(), whose resolution is the microsecond.
_TRADE_DTYPES: dict[str, Any] = {"int": "int64", "str": str, "datetime": "datetime64[us]"}


def _price_column(prices: list[Any], float_prices: bool) -> pd.Series:
    if float_prices:
        return pd.Series([float(p) for p in prices], dtype="float64")
    return pd.Series(prices, dtype=object)


def trade_log(book: orderbook.OrderBook, *, float_prices: bool = False) -> pd.DataFrame:
    """One row per trade of ``book.trade_log``, oldest first, indexed by its log position.

    One column per field of ``Trade``, named and ordered as the record declares them.
    """
    if isinstance(book, core.Book):
        raise TypeError("trade_log(): a velmora.core.Book keeps no trade log; "
                        "fills(book.replay(events)) gives the fills of a replay")
    _levels.check_book(book, "trade_log")
    fields = dataclasses.fields(orderbook.Trade)
    # One pass over the log that reads all fields of a trade at once takes half the time of a
    # pass per field. An attrgetter of a single name returns the value itself, not a tuple.
    get = operator.attrgetter(*(f.name for f in fields))
    log = list(book.trade_log)
    rows = list(map(get, log)) if len(fields) > 1 else [(value,) for value in map(get, log)]
    columns = zip(*rows) if rows else [()] * len(fields)
    frame = {}
    for f, values in zip(fields, columns):
        if f.type == "Decimal":
            frame[f.name] = _price_column(list(values), float_prices)
        else:
            frame[f.name] = pd.Series(values, dtype=_TRADE_DTYPES.get(str(f.type), object))
    return pd.DataFrame(frame)


def levels(book: orderbook.OrderBook | core.Book, *, float_prices: bool = False,
           tick_size: Any = 1) -> pd.DataFrame:
    """One row per price level: bids from the highest price, then asks from the lowest.

    Columns: ``side`` (an ``OrderSide``), ``price``, ``total_quantity`` (the level's total
    resting quantity) and ``order_count`` (how many orders queue at that price).
    ``tick_size`` scales a core book's ticks when ``float_prices`` is set.
    """
    if isinstance(book, core.Book):
        return _core_levels(book, float_prices, tick_size)
    if isinstance(book, np.ndarray) and book.dtype == core.FILL_DTYPE:
        raise TypeError("levels() takes a book, not the fills of a replay: fills(array) "
                        "gives those as a table")
    _levels.check_book(book, "levels", "or a velmora.core.Book")
    if tick_size != 1:
        raise TypeError("levels(): tick_size applies to a velmora.core.Book only")
    rows = [(side, *level) for side, side_levels in _levels.book_sides(book)
            for level in side_levels]
    sides, prices, totals, counts = zip(*rows) if rows else ((), (), (), ())
    return pd.DataFrame({
        "side": pd.Series(sides, dtype=object),
        "price": _price_column(list(prices), float_prices),
        "total_quantity": pd.Series(totals, dtype="int64"),
        "order_count": pd.Series(counts, dtype="int64"),
    })


# The sides and kinds of a core book are small integers named as the exact book's enumeration
# members are; these tables turn a column of them into those members.
def _members(enum: Any) -> np.ndarray:
    table = np.empty(len(enum), dtype=object)
    for member in enum:
        table[getattr(core, member.name)] = member
    return table


_SIDES = _members(orderbook.OrderSide)
# A fill's kind is the kind of the event that made it. A MODIFY that crosses trades as a limit
# order; an EXECUTE names no aggressor, so its trade type is unknown (None). CANCEL and REDUCE
# never fill.
_KINDS = np.empty(core.MODIFY + 1, dtype=object)
_KINDS[[core.LIMIT, core.MARKET, core.MODIFY]] = [orderbook.TradeType.LIMIT,
                                                  orderbook.TradeType.MARKET,
                                                  orderbook.TradeType.LIMIT]
_FILL_KINDS = {core.LIMIT: "LIMIT", core.MARKET: "MARKET", core.EXECUTE: "EXECUTE",
               core.MODIFY: "MODIFY"}


def _member_column(codes: np.ndarray, table: np.ndarray, what: str) -> np.ndarray:
    if codes.size and not (0 <= codes.min() and codes.max() < len(table)):
        raise ValueError(f"{what} must be {' or '.join(m.name for m in table)}, "
                         f"found {codes.min() if codes.min() < 0 else codes.max()}")
    return table[codes]  # references to the members: no object per row


def _kind_column(codes: np.ndarray) -> np.ndarray:
    wrong = ~np.isin(codes, list(_FILL_KINDS))
    if wrong.any():
        raise ValueError(f"kind must be {', '.join(_FILL_KINDS.values())}, "
                         f"found {codes[wrong][0]}")
    return _KINDS[codes]


def _tick_column(ticks: np.ndarray, float_prices: bool, tick_size: Any) -> np.ndarray:
    if not float_prices:
        return ticks.astype(np.int64)
    numerator, denominator = _tick(tick_size).as_integer_ratio()
    # One rounding: a tick such as 0.01 is 1/100, and 10001 / 100 is the float nearest 100.01,
    # where 10001 * 0.01 is not.
    return ticks.astype(np.float64) * numerator / denominator


def fills(array: Any, *, float_prices: bool = False, tick_size: Any = 1) -> pd.DataFrame:
    """The fills that ``velmora.core.Book.replay`` returned, one row per fill, in order.

    The columns carry the names of the exact trade log's where the meaning is the same:
    ``price`` (ticks), ``quantity_filled``, ``aggressor_side`` (an ``OrderSide``),
    ``aggressor_id``, ``filler_id``, ``trade_type`` (a ``TradeType``: LIMIT for the fills of
    a limit order or of a modify that crosses, MARKET for a market order's, None for an
    execution the feed reported, which names no aggressor), then ``seq``, the position of the
    event in the replayed array, and ``time``, the event's time (int64, the units the events
    carried). Takes the ``Replay`` itself or its ``fills``. Built column by column from the
    array, without a Python object per fill.
    """
    if isinstance(array, (core.Book, orderbook.OrderBook)):
        raise TypeError("fills() takes what velmora.core.Book.replay(events) returns, "
                        "not a book: levels(book) gives a book's price levels, "
                        "trade_log(book) an exact book's trades")
    if isinstance(array, core.Replay):
        array = array.fills
    array = np.asarray(array)
    if array.dtype != core.FILL_DTYPE:
        raise TypeError(f"fills() expects the array of velmora.core.FILL_DTYPE that "
                        f"Book.replay returns, got dtype {array.dtype}")
    array = array.reshape(-1)
    return pd.DataFrame({
        "price": _tick_column(array["price"], float_prices, tick_size),
        "quantity_filled": array["quantity"].astype(np.int64),
        "aggressor_side": _member_column(array["side"], _SIDES, "side"),
        "aggressor_id": array["aggressor_id"].astype(np.int64),
        "filler_id": array["resting_id"].astype(np.int64),
        "trade_type": _kind_column(array["kind"]),
        "seq": array["seq"].astype(np.int64),
        "time": array["time"].astype(np.int64),
    })


def _core_levels(book: core.Book, float_prices: bool, tick_size: Any) -> pd.DataFrame:
    # depth() gives one (ticks, total, count) tuple per level; the core keeps no array of its
    # levels. A book of n orders has at most n levels on a side.
    everything = len(book)
    sides = [getattr(core, side.name) for side in orderbook.OrderSide]
    rows = [(side, *level) for side in sides for level in book.depth(side, everything)]
    table = np.array(rows, dtype=np.int64).reshape(-1, 4)
    return pd.DataFrame({
        "side": _SIDES[table[:, 0]],
        "price": _tick_column(table[:, 1], float_prices, tick_size),
        "total_quantity": table[:, 2],
        "order_count": table[:, 3],
    })
