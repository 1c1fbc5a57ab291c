"""Records what the book's semantics do to caller-visible objects while the plain engine
replays a flow: both floors are replays of this record.

The plain engine runs with recording stand-ins for the objects a caller can see: the two
sides (SortedDict), each level's queue (OrderedDict), the `orders` index (dict), the
levels, the prices (Decimal) and the Trade class. Each stand-in notes the operation and
what it was applied to, by number (a price or an order by its flow order number, a level by
the order of creation, a side as 0 for bids and 1 for asks), then does the real work.
Operations a container performs inside another operation (the comparisons of a SortedDict
insertion, the lookups inside OrderedDict.popitem) are part of that operation's cost and
are not noted on their own.
"""

from collections import OrderedDict
from decimal import Decimal

from sortedcontainers import SortedDict

import flows
import plain
from velmora.orderbook import Trade

# What an operation is; each record is (code, operands...).
(
    COMPARE,  # (COMPARE, symbol, price, price or None): a price comparison, e.g. ">="
    SIDE_INSERT,  # (SIDE_INSERT, side, price, level): a new key in a side
    SIDE_DELETE,  # (SIDE_DELETE, side, price)
    SIDE_FIRST,  # (SIDE_FIRST, side): the side's first key read
    SIDE_CONTAINS,  # (SIDE_CONTAINS, side, price)
    SIDE_GET,  # (SIDE_GET, side, price)
    QUEUE_INSERT,  # (QUEUE_INSERT, level, order id, order)
    QUEUE_PEEK,  # (QUEUE_PEEK, level): the oldest queued order read
    QUEUE_POP,  # (QUEUE_POP, level): the oldest queued order taken off
    QUEUE_DELETE,  # (QUEUE_DELETE, level, order id)
    QUEUE_CONTAINS,  # (QUEUE_CONTAINS, level, order id)
    QUEUE_GET,  # (QUEUE_GET, level, order id)
    QUEUE_LOOKUP,  # (QUEUE_LOOKUP, level, order id): the queued order or None, by get()
    INDEX_CONTAINS,  # (INDEX_CONTAINS, order id)
    INDEX_GET,  # (INDEX_GET, order id)
    INDEX_SET,  # (INDEX_SET, order id, level, order)
    INDEX_DELETE,  # (INDEX_DELETE, order id)
    NEW_LEVEL,  # (NEW_LEVEL, level, price, side value): a PriceLevel made
    TRADE,  # (TRADE, price, quantity, side value, aggressor id, filler id, trade type)
) = range(19)

NAMES = {
    COMPARE: "price comparisons",
    SIDE_INSERT: "side inserts",
    SIDE_DELETE: "side deletes",
    SIDE_FIRST: "first-key reads",
    SIDE_CONTAINS: "side look-ups (in)",
    SIDE_GET: "side look-ups ([])",
    QUEUE_INSERT: "queue inserts",
    QUEUE_PEEK: "queue peeks",
    QUEUE_POP: "queue pops",
    QUEUE_DELETE: "queue deletes",
    QUEUE_CONTAINS: "queue look-ups (in)",
    QUEUE_GET: "queue look-ups ([])",
    QUEUE_LOOKUP: "queue look-ups (get)",
    INDEX_CONTAINS: "index look-ups (in)",
    INDEX_GET: "index reads",
    INDEX_SET: "index writes",
    INDEX_DELETE: "index deletes",
    NEW_LEVEL: "PriceLevels made",
    TRADE: "trades",
}


class Recording:
    """The record of one flow: for the set-up and for the timed events, one entry per event,
    (kind, order number, operations); plus the plain book and orders it left behind."""

    def __init__(self):
        self.log = None  # operations of the current event, or None when not recording
        self.busy = 0  # > 0 inside a recorded operation
        self.side_of = {}  # id(side) -> 0 bids, 1 asks
        self.level_of = {}  # id(level or its queue) -> level number
        self.order_of = {}  # id(order) -> order number
        self.number_of_id = {}  # order id -> order number
        self.levels = 0
        self.setup = []
        self.events = []
        self.book = None
        self.orders = None

    def on(self):
        """True while recording, outside the recorded operations' own work."""
        return self.log is not None and not self.busy


_recording = Recording()  # the Recording being made; an idle one between records


def _run(method, self, args):
    _recording.busy += 1
    try:
        return method(self, *args)
    finally:
        _recording.busy -= 1


def _price(value):
    if value is None:
        return None
    number = getattr(value, "number", None)
    if number is None:
        raise TypeError(f"unrecorded price {value!r}")
    return number


class _Price(Decimal):
    """A flow price that notes the comparisons made on it outside the containers."""

    __slots__ = ("number",)
    __hash__ = Decimal.__hash__


def _comparison(symbol, compare):
    def method(self, other):
        if _recording.on():
            _recording.log.append((COMPARE, symbol, self.number, _price(other)))
        return _run(compare, self, (other,))

    return method


for _name, _symbol in [("lt", "<"), ("le", "<="), ("gt", ">"), ("ge", ">="), ("eq", "==")]:
    setattr(_Price, f"__{_name}__", _comparison(_symbol, getattr(Decimal, f"__{_name}__")))
_Price.__ne__ = _comparison("!=", Decimal.__ne__)


class _Side(SortedDict):
    def __setitem__(self, key, value):
        if dict.__contains__(self, key):
            raise AssertionError("the book never replaces a level in place")
        r = _recording
        if r.on():
            r.log.append((SIDE_INSERT, r.side_of[id(self)], _price(key), r.level_of[id(value)]))
        return _run(SortedDict.__setitem__, self, (key, value))

    def __delitem__(self, key):
        if _recording.on():
            _recording.log.append((SIDE_DELETE, _recording.side_of[id(self)], _price(key)))
        return _run(SortedDict.__delitem__, self, (key,))

    def __contains__(self, key):
        if _recording.on():
            _recording.log.append((SIDE_CONTAINS, _recording.side_of[id(self)], _price(key)))
        return _run(SortedDict.__contains__, self, (key,))

    def __getitem__(self, key):
        if _recording.on():
            _recording.log.append((SIDE_GET, _recording.side_of[id(self)], _price(key)))
        return _run(SortedDict.__getitem__, self, (key,))

    def keys(self):
        if _recording.on():
            _recording.log.append((SIDE_FIRST, _recording.side_of[id(self)]))
        return _run(SortedDict.keys, self, ())


class _Queue(OrderedDict):
    def __setitem__(self, key, value):
        r = _recording
        if r.on():
            r.log.append((QUEUE_INSERT, r.level_of[id(self)], r.number_of_id[key],
                          r.order_of[id(value)]))
        return _run(OrderedDict.__setitem__, self, (key, value))

    def __delitem__(self, key):
        r = _recording
        if r.on():
            r.log.append((QUEUE_DELETE, r.level_of[id(self)], r.number_of_id[key]))
        return _run(OrderedDict.__delitem__, self, (key,))

    def __contains__(self, key):
        r = _recording
        if r.on():
            r.log.append((QUEUE_CONTAINS, r.level_of[id(self)], r.number_of_id[key]))
        return _run(OrderedDict.__contains__, self, (key,))

    def __getitem__(self, key):
        r = _recording
        if r.on():
            r.log.append((QUEUE_GET, r.level_of[id(self)], r.number_of_id[key]))
        return _run(OrderedDict.__getitem__, self, (key,))

    def get(self, key, default=None):
        r = _recording
        if r.on():
            r.log.append((QUEUE_LOOKUP, r.level_of[id(self)], r.number_of_id[key]))
        return _run(OrderedDict.get, self, (key, default))

    def values(self):
        if _recording.on():
            _recording.log.append((QUEUE_PEEK, _recording.level_of[id(self)]))
        return _run(OrderedDict.values, self, ())

    def popitem(self, last=True):
        if _recording.on():
            _recording.log.append((QUEUE_POP, _recording.level_of[id(self)]))
        return _run(OrderedDict.popitem, self, (last,))


class _Index(dict):
    def __contains__(self, key):
        if _recording.on():
            _recording.log.append((INDEX_CONTAINS, _recording.number_of_id[key]))
        return _run(dict.__contains__, self, (key,))

    def __getitem__(self, key):
        if _recording.on():
            _recording.log.append((INDEX_GET, _recording.number_of_id[key]))
        return _run(dict.__getitem__, self, (key,))

    def __setitem__(self, key, value):
        r = _recording
        level, order = value
        if r.on():
            r.log.append((INDEX_SET, r.number_of_id[key], r.level_of[id(level)],
                          r.order_of[id(order)]))
        return _run(dict.__setitem__, self, (key, value))

    def __delitem__(self, key):
        if _recording.on():
            _recording.log.append((INDEX_DELETE, _recording.number_of_id[key]))
        return _run(dict.__delitem__, self, (key,))


_PlainLevel = plain.PriceLevel


class _Level(_PlainLevel):
    __slots__ = ()

    def __init__(self, price, side):
        r = _recording
        number = r.levels
        r.levels += 1
        if r.on():
            r.log.append((NEW_LEVEL, number, _price(price), side))
        _run(_PlainLevel.__init__, self, (price, side))
        r.level_of[id(self)] = r.level_of[id(self.queue)] = number


def _trade(price, quantity, side, aggressor_id, filler_id, trade_type):
    r = _recording
    if r.on():
        r.log.append((TRADE, _price(price), quantity, side, r.number_of_id[aggressor_id],
                      r.number_of_id[filler_id], trade_type))
    return Trade(price, quantity, side, aggressor_id, filler_id, trade_type)


def _make_order(side, quantity, price=None):
    r = _recording
    number = len(r.order_of)
    if price is not None:
        price = _Price(price)
        price.number = number
    order = plain.Order(side, quantity, price)
    r.order_of[id(order)] = number
    r.number_of_id[order.order_id] = number
    return order


class _Marks:
    """Stands between the replay loop and the plain book: starts a new entry per event."""

    def __init__(self, book, recording):
        self.book, self.recording = book, recording
        self.entries = None

    def _start(self, kind, number):
        self.recording.log = []
        self.entries.append((kind, number, self.recording.log))

    def add_limit_order(self, order):
        self._start(flows.LIMIT, self.recording.order_of[id(order)])
        return self.book.add_limit_order(order)

    def add_market_order(self, order):
        self._start(flows.MARKET, self.recording.order_of[id(order)])
        return self.book.add_market_order(order)

    def cancel_order(self, order_id):
        self._start(flows.CANCEL, self.recording.number_of_id[order_id])
        return self.book.cancel_order(order_id)


def record(flow):
    """Replays flow on the plain engine with every caller-visible operation recorded."""
    global _recording
    saved = plain.SortedDict, plain.OrderedDict, plain.PriceLevel, plain.Trade
    recording = _recording = Recording()
    plain.SortedDict, plain.OrderedDict, plain.PriceLevel, plain.Trade = (
        _Side, _Queue, _Level, _trade
    )
    try:
        book = plain.OrderBook()
        book.orders = _Index()
        recording.side_of = {id(book.bids): 0, id(book.asks): 1}
        marks = _Marks(book, recording)
        orders = []
        for entries, events in ((recording.setup, flow.setup), (recording.events, flow.events)):
            marks.entries = entries
            flows.replay(marks, _make_order, events, orders)
            recording.log = None
    finally:
        plain.SortedDict, plain.OrderedDict, plain.PriceLevel, plain.Trade = saved
        _recording = Recording()
    recording.book, recording.orders = book, orders
    return recording


def prices(flow):
    """The flow's price objects by order number (None for market orders), as every engine's
    replay builds its orders from them."""
    return [event[3] if event[0] == flows.LIMIT else None
            for event in list(flow.setup) + list(flow.events) if event[0] != flows.CANCEL]


def counts(entries):
    """How many operations of each kind the entries hold."""
    totals = dict.fromkeys(NAMES, 0)
    for _, _, ops in entries:
        for op in ops:
            totals[op[0]] += 1
    return totals

