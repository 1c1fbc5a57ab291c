"""The floor: only the Python-level work that a flow forces on any implementation of the book.

Whatever the engine is written in, the sides are SortedDicts (Python code) and every fill
builds a Trade (a Python data class). So a flow costs at least: one SortedDict insertion per
price level that appears, one deletion per level that goes, one first-key read of the side
after the best level goes, and one Trade per fill. Those operations are picked out of the
record of the flow on the plain engine (recording.py); the floor is the time to replay them.
"""

import operator

from sortedcontainers import SortedDict

import recording
from velmora.orderbook import Trade

INSERT, DELETE, FIRST, TRADE = 0, 1, 2, 3


def mandated(flow, recorded):
    """The floor's operations, (set-up, timed events), picked out of a recording.Recording
    of flow: side inserts, deletes, first-key reads and trades, on the flow's own prices."""
    flow_prices = recording.prices(flow)
    order_ids = [order.order_id for order in recorded.orders]

    def pick(entries):
        ops = []
        for _, _, entry_ops in entries:
            for op in entry_ops:
                code = op[0]
                if code == recording.SIDE_INSERT:
                    ops.append((INSERT, op[1], flow_prices[op[2]]))
                elif code == recording.SIDE_DELETE:
                    ops.append((DELETE, op[1], flow_prices[op[2]]))
                elif code == recording.SIDE_FIRST:
                    ops.append((FIRST, op[1]))
                elif code == recording.TRADE:
                    ops.append((TRADE, flow_prices[op[1]], op[2], op[3], order_ids[op[4]],
                                order_ids[op[5]], op[6]))
        return ops

    return pick(recorded.setup), pick(recorded.events)


def record(flow):
    """Replay flow on the plain engine while recording the mandated operations.

    Returns (book, orders, setup_ops, ops): the plain book and orders after the whole flow
    (for comparison with other engines), the operations of the untimed set-up and those of
    the timed events.
    """
    recorded = recording.record(flow)
    return (recorded.book, recorded.orders) + mandated(flow, recorded)


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
