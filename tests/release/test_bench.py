"""The benchmark's record of a flow: which operations each kind of event makes the book
perform on caller-visible objects, and the literal floor's replay of them."""

import os
import sys
from decimal import Decimal

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:0] = [os.path.join(ROOT, "bench"), os.path.join(ROOT, "reference")]

import flows  # noqa: E402
import literal  # noqa: E402
import recording as r  # noqa: E402
from velmora.orderbook import Order, OrderSide, TradeType  # noqa: E402

BID, ASK = OrderSide.BID, OrderSide.ASK
LIMIT, MARKET, CANCEL = flows.LIMIT, flows.MARKET, flows.CANCEL


def limit(side, quantity, price):
    return (LIMIT, side, quantity, Decimal(price))


# What every order entry does first: the refusal of an identifier already resting.
ID_CHECK = [r.INDEX_CONTAINS]
# The refusal of a limit price that is not equal to, or not ordered against, itself.
PRICE_CHECK = [r.COMPARE, r.COMPARE]
# What resting a limit order does first: both checks again, as matching may have changed it.
REST_CHECKS = PRICE_CHECK + ID_CHECK

# setup events, one timed event, the operation codes it records in order
EVENTS = {
    "rest-opening-a-level": (
        [], limit(ASK, 5, "101"),
        ID_CHECK + PRICE_CHECK + REST_CHECKS
        + [r.SIDE_CONTAINS, r.NEW_LEVEL, r.QUEUE_INSERT, r.SIDE_INSERT, r.INDEX_SET],
    ),
    "rest-opening-a-worse-level": (
        [limit(ASK, 5, "101")], limit(ASK, 5, "102"),
        ID_CHECK + PRICE_CHECK + REST_CHECKS
        + [r.SIDE_CONTAINS, r.NEW_LEVEL, r.QUEUE_INSERT, r.SIDE_INSERT, r.INDEX_SET, r.COMPARE],
    ),
    "rest-joining-a-level": (
        [limit(ASK, 5, "101")], limit(ASK, 2, "101"),
        ID_CHECK + PRICE_CHECK + REST_CHECKS
        + [r.SIDE_CONTAINS, r.SIDE_GET, r.QUEUE_INSERT, r.INDEX_SET],
    ),
    "fill-emptying-the-only-level": (
        [limit(ASK, 5, "101")], limit(BID, 5, "101"),
        ID_CHECK + PRICE_CHECK
        + [r.COMPARE, r.SIDE_GET, r.QUEUE_PEEK, r.TRADE, r.INDEX_DELETE, r.QUEUE_POP,
           r.SIDE_DELETE],
    ),
    "market-order-reaching-the-next-level": (
        [limit(BID, 1, "99"), limit(BID, 4, "98")], (MARKET, ASK, 2, None),
        ID_CHECK
        + [r.SIDE_GET, r.QUEUE_PEEK, r.TRADE, r.INDEX_DELETE, r.QUEUE_POP, r.SIDE_DELETE,
           r.SIDE_FIRST, r.SIDE_GET, r.QUEUE_PEEK, r.TRADE],
    ),
    "cancel-keeping-the-level": (
        [limit(BID, 1, "99"), limit(BID, 4, "99")], (CANCEL, 0, None, None),
        [r.INDEX_CONTAINS, r.INDEX_GET, r.SIDE_GET, r.QUEUE_LOOKUP, r.QUEUE_CONTAINS,
         r.QUEUE_GET, r.QUEUE_DELETE, r.SIDE_GET, r.INDEX_DELETE],
    ),
    "cancel-of-an-order-that-is-gone": (
        [limit(BID, 1, "99"), (MARKET, ASK, 1, None)], (CANCEL, 0, None, None),
        [r.INDEX_CONTAINS],
    ),
}


@pytest.mark.parametrize("setup, event, expected", EVENTS.values(), ids=EVENTS.keys())
def test_each_event_records_the_operations_the_semantics_perform(setup, event, expected):
    recorded = r.record(flows.Flow("case", "case", setup, [event]))
    ((kind, _, ops),) = recorded.events
    assert kind == event[0]
    assert [op[0] for op in ops] == expected


def test_operands_name_the_flow_objects():
    flow = flows.Flow("case", "case", [limit(ASK, 5, "101")], [limit(BID, 3, "102")])
    recorded = r.record(flow)
    ((_, own, ops),) = recorded.events
    assert own == 1
    # the buy's own identifier looked up, its price compared with itself
    assert ops[:3] == [(r.INDEX_CONTAINS, 1), (r.COMPARE, "==", 1, 1), (r.COMPARE, "<=", 1, 1)]
    compare, _, peek, trade = ops[3:7]
    assert compare == (r.COMPARE, ">=", 1, 0)  # the buy's price against the best ask's
    assert peek == (r.QUEUE_PEEK, 0)  # the first level made
    assert trade[:6] == (r.TRADE, 0, 3, BID, 1, 0) and trade[6] is TradeType.LIMIT
    assert r.prices(flow) == [Decimal("101"), Decimal("102")]


def test_the_literal_floor_leaves_what_the_plain_engine_leaves():
    built = flows.zero_intelligence(5, 400)
    flow = flows.Flow("mixed", "mixed", built.setup, built.events)
    recorded = r.record(flow)
    plan, book = literal.checked_plan(flow, recorded, Order)
    assert [t.quantity_filled for t in book.trade_log] == [
        t.quantity_filled for t in recorded.book.trade_log]
    assert plan.shapes < len(recorded.events) // 4  # events share their compiled shapes
