"""The floor: only the Python-level work that a flow forces on any implementation of the book.

Whatever the engine is written in, the sides are SortedDicts (Python code) and every fill
builds a Trade (a Python data class). So a flow costs at least: one SortedDict insertion per
price level that appears, one deletion per level that goes, one first-key read of the side
after the best level goes, and one Trade per fill. The list of those operations is recorded
by replaying the flow once on the plain engine; the floor is the time to replay that list.
"""

import operator

from sortedcontainers import SortedDict

import flows
import plain
from velmora.orderbook import Trade

INSERT, DELETE, FIRST, TRADE = 0, 1, 2, 3


class _RecordingSortedDict(SortedDict):
    log = None  # the list being recorded into, or None when not recording
    ids = {}  # id(side) -> 0 for bids, 1 for asks

    def __setitem__(self, key, value):
        if self.log is not None and key not in self:
            _RecordingSortedDict.log.append((INSERT, self.ids[id(self)], key))
        super().__setitem__(key, value)

    def __delitem__(self, key):
        if self.log is not None:
            _RecordingSortedDict.log.append((DELETE, self.ids[id(self)], key))
        super().__delitem__(key)

    def keys(self):
        if self.log is not None:
            _RecordingSortedDict.log.append((FIRST, self.ids[id(self)]))
        return super().keys()


def _recording_trade(*args):
    _RecordingSortedDict.log.append((TRADE,) + args)
    return Trade(*args)


def record(flow):
    """Replay flow on the plain engine while recording the mandated operations.

    Returns (book, orders, setup_ops, ops): the plain book and orders after the whole flow
    (for comparison with other engines), the operations of the untimed set-up and those of
    the timed events.
    """
    saved = plain.SortedDict, plain.Trade
    plain.SortedDict, plain.Trade = _RecordingSortedDict, _recording_trade
    try:
        book = plain.OrderBook()
        _RecordingSortedDict.ids = {id(book.bids): 0, id(book.asks): 1}
        orders = []
        setup_ops, ops = [], []
        _RecordingSortedDict.log = setup_ops
        flows.replay(book, plain.Order, flow.setup, orders)
        _RecordingSortedDict.log = ops
        flows.replay(book, plain.Order, flow.events, orders)
    finally:
        _RecordingSortedDict.log = None
        _RecordingSortedDict.ids = {}
        plain.SortedDict, plain.Trade = saved
    return book, orders, setup_ops, ops


def new_state(setup_ops):
    """Fresh sides and trade log with the set-up operations applied (untimed)."""
    sides = (SortedDict(operator.neg), SortedDict())
    log = []
    apply(sides, log, setup_ops)
    return sides, log


def apply(sides, log, ops):
    """Perform the recorded operations; this loop is what the floor times."""
    bids, asks = sides
    keep = log.append
    level = object()  # stands in for the PriceLevel stored under each price
    for op in ops:
        kind = op[0]
        if kind == TRADE:
            keep(Trade(op[1], op[2], op[3], op[4], op[5], op[6]))
        elif kind == INSERT:
            (asks if op[1] else bids)[op[2]] = level
        elif kind == DELETE:
            del (asks if op[1] else bids)[op[2]]
        else:
            next(iter((asks if op[1] else bids).keys()))


def summary(ops):
    counts = [0, 0, 0, 0]
    for op in ops:
        counts[op[0]] += 1
    return dict(zip(("inserts", "deletes", "first-key reads", "trades"), counts))
