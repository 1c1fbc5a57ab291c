"""Reads an exact book's price levels as plain tuples, best price first on each side.

Shared by velmora.frames and velmora.plot, so that neither needs the other's extra.
"""

from __future__ import annotations

from typing import Any

from velmora.orderbook import OrderBook, OrderSide

Level = tuple[Any, int, int]  # price, total quantity, number of queued orders


def check_book(book: object, caller: str, alternative: str = "") -> OrderBook:
    if not isinstance(book, OrderBook):
        raise TypeError(f"{caller}() expects a velmora.orderbook.OrderBook"
                        f"{' ' + alternative if alternative else ''}, got {type(book).__name__}")
    return book


def book_sides(book: OrderBook) -> tuple[tuple[OrderSide, list[Level]], ...]:
    """Both sides as (side, levels): bids from the highest price, asks from the lowest.

    A level is keyed by its price in the side's mapping; that key is the price reported, as
    in the book's text ladder. Each side is read into a list before anything else is done
    with it, so a caller never iterates a live mapping.
    """
    return tuple(
        (side, [(price, level.total_quantity, len(level.queue))
                for price, level in list(mapping.items())])
        for side, mapping in ((OrderSide.BID, book.bids), (OrderSide.ASK, book.asks)))
