"""The two reports byte for byte: str(book), the price ladder, and print_trade_log()."""

import builtins
import traceback
from decimal import Decimal as D

import pytest

from velmora.orderbook import Order, OrderBook, OrderSide, Trade, TradeType

BID, ASK = OrderSide.BID, OrderSide.ASK
HEAD, DIVIDER, FOOT = "===== ORDER BOOK =====\nASKS\n", "---------------------\n", "BIDS\n" + "=" * 22


def book_of(*orders):
    book = OrderBook()
    for side, qty, price in orders:
        book.add_limit_order(Order(side, qty, price))
    return book


@pytest.mark.parametrize("orders, ladder", [
    ([], ""),
    ([(ASK, 5, 101), (ASK, 7, 102), (BID, 4, 99), (BID, 10, 98)], "102  7\n101  5\n|99  4\n98  10\n"),
    ([(ASK, 5, 101), (ASK, 7, 102)], "102  7\n101  5\n|"),
    ([(BID, 4, 99), (BID, 10, 98), (BID, 1, 98)], "|99  4\n98  11\n"),
    ([(ASK, 1, D("100.50")), (BID, 123456, D("7E+1"))], "100.50  1\n|7E+1  123456\n"),
    ([(ASK, 2, 100.5), (BID, 3, 100)], "100.5  2\n|100  3\n"),
], ids=["empty", "example", "asks-only", "bids-only", "decimal-digits", "float-and-int"])
def test_ladder(orders, ladder):
    asks, _, bids = ladder.partition("|")
    assert str(book_of(*orders)) == HEAD + asks + DIVIDER + bids + FOOT


def test_ladder_shows_the_key_and_any_total():
    book = book_of((ASK, 5, D("101")))
    book.asks[D("101")].total_quantity = 0
    book.asks[D("101")].price = "elsewhere"
    assert str(book) == HEAD + "101  0\n" + DIVIDER + FOOT
    assert f"{book}" == format(book) == str(book)


def test_ladder_errors_propagate():
    book = OrderBook()
    book.bids = None
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'") as info:
        str(book)
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == (
        "velmora.orderbook.OrderBook.__str__")
    book.bids = {1: (2, 3)}
    with pytest.raises(AttributeError, match="'tuple' object has no attribute 'total_quantity'"):
        str(book)
    book.bids = type("Side", (), {"items": lambda self: [(1, 2, 3)]})()
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        str(book)


def trade(price, qty, side, aggressor, filler, kind):
    return Trade(price, qty, side, aggressor, filler, kind)


def test_trade_log_example(capsys):
    book = OrderBook()
    book.trade_log.append(trade(100, 5, BID, "7", "3", TradeType.LIMIT))
    assert book.print_trade_log() is None
    assert capsys.readouterr().out == (
        "===== TRADE LOG =====\n"
        "1. LIMIT | BID | Price: 100 | Qty: 5 | aggressor_id: 7 | filler_id: 3\n"
        "Total trades: 1\n"
        "=====================\n")


def test_empty_trade_log(capsys):
    assert OrderBook().print_trade_log() is None
    assert capsys.readouterr().out == "No trades executed.\n"


def test_trade_log_of_a_session(capsys):
    book = OrderBook()
    b1, b2, sell = Order(BID, 4, D("100.50")), Order(BID, 6, D("99")), Order(ASK, 7)
    book.add_limit_order(b1)
    book.add_limit_order(b2)
    book.add_market_order(sell)
    book.print_trade_log()
    lines = capsys.readouterr().out.splitlines()
    assert lines[1:3] == [
        f"1. MARKET | ASK | Price: 100.50 | Qty: 4 | aggressor_id: {sell.order_id} | "
        f"filler_id: {b1.order_id}",
        f"2. MARKET | ASK | Price: 99 | Qty: 3 | aggressor_id: {sell.order_id} | "
        f"filler_id: {b2.order_id}"]
    assert lines[3:] == ["Total trades: 2", "====================="] and len(lines) == 5


def test_trade_log_uses_print_as_it_was_at_import(capsys, monkeypatch):
    printed = []
    monkeypatch.setattr(builtins, "print", lambda *a: printed.append(a))
    OrderBook().print_trade_log()
    assert printed == [] and capsys.readouterr().out == "No trades executed.\n"


def test_trade_log_count_is_read_after_the_lines(capsys):
    class Growing(list):
        def __iter__(self):
            yield from list.__iter__(self)
            self.append(trade(1, 1, BID, "a", "b", TradeType.LIMIT))

    book = OrderBook()
    book.trade_log = Growing([trade(1, 1, ASK, "x", "y", TradeType.MARKET)])
    book.print_trade_log()
    assert capsys.readouterr().out.splitlines()[-2] == "Total trades: 2"
