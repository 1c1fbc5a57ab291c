"""An exact book's trade log and price levels as pandas DataFrames.

Needs the optional extra ``velmora[frames]`` (pandas). Prices stay the exact objects the book
holds (``Decimal`` in practice) unless ``float_prices=True`` asks for a float64 column.
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

from velmora import _levels, orderbook

__all__ = ["levels", "trade_log"]

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


def levels(book: orderbook.OrderBook, *, float_prices: bool = False) -> pd.DataFrame:
    """One row per price level: bids from the highest price, then asks from the lowest.

    Columns: ``side`` (an ``OrderSide``), ``price``, ``total_quantity`` (the level's total
    resting quantity) and ``order_count`` (how many orders queue at that price).
    """
    _levels.check_book(book, "levels")
    rows = [(side, *level) for side, side_levels in _levels.book_sides(book)
            for level in side_levels]
    sides, prices, totals, counts = zip(*rows) if rows else ((), (), (), ())
    return pd.DataFrame({
        "side": pd.Series(sides, dtype=object),
        "price": _price_column(list(prices), float_prices),
        "total_quantity": pd.Series(totals, dtype="int64"),
        "order_count": pd.Series(counts, dtype="int64"),
    })
