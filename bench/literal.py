"""The literal floor: every operation the book's semantics perform on caller-visible objects
for a flow, replayed at their cheapest, behind the same replay loop and Order() construction
that every engine is measured with.

The operations are those recording.record notes from the plain engine: SortedDict inserts,
deletes, first-key reads and look-ups on the sides; OrderedDict inserts, peeks, pops,
deletions and look-ups (`in`, `[]`, get) on the levels' queues; reads, writes and deletions
of the `orders` index; the price comparisons; one velmora PriceLevel per new level; one Trade
per fill, appended to a list. Left out, as plain stores any engine makes on its own records:
the orders' status and quantity fields and the levels' totals.

"At their cheapest" means compiled straight-line Python: events that perform the same
operations on different operands share one function of that shape, with every operand a
constant position in a tuple of ready objects (the flow's own price objects, the numbers of
levels and orders made during the replay). The replay loop's calls go to a generator's
send(), which runs the next event's shape: one resume and one call per event, about 40
instructions, against the thousands of the operations. The first key of a side is read
with peekitem(0), the cheapest public way.
"""


import operator

from sortedcontainers import SortedDict

import flows
from recording import (
    COMPARE,
    INDEX_CONTAINS,
    INDEX_DELETE,
    INDEX_GET,
    INDEX_SET,
    NEW_LEVEL,
    QUEUE_CONTAINS,
    QUEUE_DELETE,
    QUEUE_GET,
    QUEUE_INSERT,
    QUEUE_LOOKUP,
    QUEUE_PEEK,
    QUEUE_POP,
    SIDE_CONTAINS,
    SIDE_DELETE,
    SIDE_FIRST,
    SIDE_GET,
    SIDE_INSERT,
    TRADE,
    prices,
)
from velmora.orderbook import OrderSide, PriceLevel, Trade, TradeType

SIDE_NAME = {0: "B", 1: "A"}
CONSTANT_NAME = {
    OrderSide.BID: "BID",
    OrderSide.ASK: "ASK",
    TradeType.LIMIT: "LIMIT",
    TradeType.MARKET: "MARKET",
}


def _event_shape(kind, own, ops, flow_prices):
    """One event as (lines, operands): the operations in recorded order, written against the
    event's argument x (the order, or for a cancellation its identifier) and the operand
    tuple a, whose items are prices and the numbers of levels and orders."""
    cancel = kind == flows.CANCEL
    operands = []
    own_id_read = []

    def operand(value):
        operands.append(value)
        return f"a[{len(operands) - 1}]"

    def price(number):
        return "None" if number is None else operand(flow_prices[number])

    def order(number):
        return "x" if number == own and not cancel else f"O[{operand(number)}]"

    def order_id(number):
        if number != own:
            return f"O[{operand(number)}].order_id"
        if cancel:
            return "x"
        own_id_read.append(True)
        return "i"

    def queue(level):
        return f"Q[{operand(level)}]"

    lines = []
    for op in ops:
        code = op[0]
        if code == COMPARE:
            lines.append(f"{price(op[2])} {op[1]} {price(op[3])}")
        elif code == SIDE_INSERT:
            lines.append(f"{SIDE_NAME[op[1]]}[{price(op[2])}] = L[{operand(op[3])}]")
        elif code == SIDE_DELETE:
            lines.append(f"del {SIDE_NAME[op[1]]}[{price(op[2])}]")
        elif code == SIDE_FIRST:
            lines.append(f"{SIDE_NAME[op[1]]}.peekitem(0)")
        elif code == SIDE_CONTAINS:
            lines.append(f"{price(op[2])} in {SIDE_NAME[op[1]]}")
        elif code == SIDE_GET:
            lines.append(f"{SIDE_NAME[op[1]]}[{price(op[2])}]")
        elif code == QUEUE_INSERT:
            lines.append(f"{queue(op[1])}[{order_id(op[2])}] = {order(op[3])}")
        elif code == QUEUE_PEEK:
            lines.append(f"next(iter({queue(op[1])}.values()))")
        elif code == QUEUE_POP:
            lines.append(f"{queue(op[1])}.popitem(False)")
        elif code == QUEUE_DELETE:
            lines.append(f"del {queue(op[1])}[{order_id(op[2])}]")
        elif code == QUEUE_CONTAINS:
            lines.append(f"{order_id(op[2])} in {queue(op[1])}")
        elif code == QUEUE_GET:
            lines.append(f"{queue(op[1])}[{order_id(op[2])}]")
        elif code == QUEUE_LOOKUP:
            lines.append(f"{queue(op[1])}.get({order_id(op[2])})")
        elif code == INDEX_CONTAINS:
            lines.append(f"{order_id(op[1])} in X")
        elif code == INDEX_GET:
            lines.append(f"X[{order_id(op[1])}]")
        elif code == INDEX_SET:
            lines.append(f"X[{order_id(op[1])}] = (L[{operand(op[2])}], {order(op[3])})")
        elif code == INDEX_DELETE:
            lines.append(f"del X[{order_id(op[1])}]")
        elif code == NEW_LEVEL:
            lines.append(f"level = PL({price(op[2])}, {CONSTANT_NAME[op[3]]})")
            lines.append("L.append(level)")
            lines.append("Q.append(level.queue)")
        elif code == TRADE:
            lines.append(
                f"keep(T({price(op[1])}, {operand(op[2])}, {CONSTANT_NAME[op[3]]},"
                f" {order_id(op[4])}, {order_id(op[5])}, {CONSTANT_NAME[op[6]]}))"
            )
        else:
            raise ValueError(f"unknown operation {op!r}")
    if own_id_read:
        lines.insert(0, "i = x.order_id")
    return tuple(lines), tuple(operands)


class Plan:
    """A flow's recorded operations as a few compiled functions, one per shape of event
    (the same operations on different operands), and per event its shape and operands."""

    def __init__(self, flow, recording):
        flow_prices = prices(flow)
        shapes = {}  # lines -> shape number
        self.steps = []  # (shape number, operands) per event, set-up first
        for kind, own, ops in list(recording.setup) + list(recording.events):
            lines, operands = _event_shape(kind, own, ops, flow_prices)
            self.steps.append((shapes.setdefault(lines, len(shapes)), operands))
        source = ["def make(O, B, A, X, keep, PL, T, BID, ASK, LIMIT, MARKET):",
                  "    L = []", "    Q = []"]
        for lines, number in shapes.items():
            source.append(f"    def shape{number}(x, a):")
            source.extend("        " + line for line in lines or ("pass",))
        source.append("    return (" + "".join(f"shape{n}, " for n in range(len(shapes))) + ")")
        namespace = {}
        exec(compile("\n".join(source) + "\n", "<literal floor>", "exec"), namespace)
        self.make = namespace["make"]
        self.shapes = len(shapes)


def _steps(steps):
    """The book's methods: each send runs the next event's shape on its operands."""
    for shape, operands in steps:
        x = yield
        shape(x, operands)
    yield


class Book:
    """Takes the replay loop's calls: each one runs the next event's operations."""

    def __init__(self, plan, orders):
        self.bids, self.asks = SortedDict(operator.neg), SortedDict()
        self.orders, self.trade_log = {}, []
        functions = plan.make(orders, self.bids, self.asks, self.orders, self.trade_log.append,
                              PriceLevel, Trade, OrderSide.BID, OrderSide.ASK, TradeType.LIMIT,
                              TradeType.MARKET)
        steps = [(functions[shape], operands) for shape, operands in plan.steps]
        gen = _steps(steps)
        next(gen)
        self.add_limit_order = self.add_market_order = self.cancel_order = gen.send


def checked_plan(flow, recorded, order_type):
    """The flow's plan, after one untimed replay of it that must leave what the plain engine
    left; returns (plan, the book of that replay)."""
    plan = Plan(flow, recorded)
    orders = []
    book = Book(plan, orders)
    flows.replay(book, order_type, flow.setup, orders)
    flows.replay(book, order_type, flow.events, orders)
    check(book, recorded.book)
    return plan, book


def check(book, plain_book):
    """The replay left the containers as the plain engine left its own."""
    same = (
        list(book.bids) == list(plain_book.bids)
        and list(book.asks) == list(plain_book.asks)
        and len(book.orders) == len(plain_book.orders)
        and len(book.trade_log) == len(plain_book.trade_log)
    )
    if not same:
        raise SystemExit("BENCHMARK ABORTED: the literal floor's replay does not leave the "
                         "plain engine's sides, index and trade log")
