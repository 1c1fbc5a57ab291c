"""DBN market-by-order files made from seeded order flows of several instruments on several
venues, played on a plain-Python book with Databento's MBO rules: for the tests of
velmora.dbn and its benchmark. Nothing here uses velmora: the books are dictionaries and
lists, and the files are written byte by byte from the format's description.

The rules of the plain book, one book per (publisher, instrument):
  A  add: the order rests at the back of its price level (with F_TOB, it replaces its whole
     side: a top-of-book venue; at UNDEF_PRICE the side is left empty);
  C  cancel: the order loses `size` (all of it when that is all it has);
  M  modify: a new price, or a larger size, sends the order to the back of its (new) level;
     a smaller size at the same price keeps its place; size 0 removes it;
  R  clear: the book empties (a snapshot follows as adds flagged F_SNAPSHOT);
  T, F  a trade and the fill of a resting order: recorded, the book unchanged (the cancel
     that follows the fill takes the quantity off);
  N  nothing.
An event is a group of records of one book ending in one flagged F_LAST; the book is only
looked at after such a record. Records that name an order the book does not hold, or add
one it holds, change nothing and are counted.
"""

import random
import struct
from dataclasses import dataclass, field

from sortedcontainers import SortedDict

F_LAST, F_TOB, F_SNAPSHOT, F_MBP, F_BAD_TS_RECV, F_MAYBE_BAD_BOOK = 128, 64, 32, 16, 8, 4
UNDEF_PRICE = 2**63 - 1
TICK = 10_000_000  # $0.01 in units of 1e-9


class PlainBook:
    """One instrument at one venue: orders by id, levels by price per side."""

    def __init__(self):
        self.orders = {}  # id -> [side, price, size]
        self.sides = {"B": SortedDict(lambda p: -p), "A": SortedDict()}  # price -> [ids]
        self.unknown = 0  # records naming an order not resting (or adding one resting)

    def _rest(self, order_id, side, price, size):
        self.orders[order_id] = [side, price, size]
        self.sides[side].setdefault(price, []).append(order_id)

    def _remove(self, order_id):
        side, price, _ = self.orders.pop(order_id)
        level = self.sides[side][price]
        level.remove(order_id)
        if not level:
            del self.sides[side][price]

    def apply(self, action, side, order_id, price, size, flags):
        if action == "A":
            if flags & F_TOB:
                for old in [i for i, o in self.orders.items() if o[0] == side]:
                    self._remove(old)
                if price != UNDEF_PRICE:  # a level, not an order: one per side
                    self._rest(("top", side), side, price, size)
            elif order_id in self.orders or side not in self.sides:
                self.unknown += 1
            else:
                self._rest(order_id, side, price, size)
        elif action == "C":
            order = self.orders.get(order_id)
            if order is None:
                self.unknown += 1
            elif size >= order[2]:
                self._remove(order_id)
            else:
                order[2] -= size
        elif action == "M":
            order = self.orders.get(order_id)
            if order is None:
                self.unknown += 1
            elif size == 0:
                self._remove(order_id)
            elif price != order[1] or size > order[2]:
                self._remove(order_id)
                self._rest(order_id, order[0], price, size)
            else:
                order[2] = size
        elif action == "R":
            self.orders.clear()
            for levels in self.sides.values():
                levels.clear()

    def top(self, n):
        """(bid levels, ask levels), each [(price, total, orders)], best first."""
        out = []
        for side in ("B", "A"):
            levels = self.sides[side]
            out.append([(p, sum(self.orders[i][2] for i in levels[p]), len(levels[p]))
                        for p in levels.islice(stop=n)])
        return tuple(out)


# One record: publisher, instrument, ts_event, order id, price, size, flags, action, side,
# ts_recv, sequence.
@dataclass
class Flow:
    records: list = field(default_factory=list)
    books: dict = field(default_factory=dict)  # (publisher, instrument) -> PlainBook
    # After each record flagged F_LAST: (its index, its book's key, the book's top levels).
    tops: list = field(default_factory=list)
    trades: list = field(default_factory=list)  # indices of T and F records


def make_flow(seed, count, instruments=(38, 39, 40), publishers=(1, 2), depth=10,
              tob_publisher=None):
    """About `count` records of seeded event groups over every (publisher, instrument):
    additions, partial and whole cancels, modifies that keep and lose priority, trades
    (T, then F and C per resting order taken, F_LAST on the last), clears followed by a
    snapshot, a few records flagged as suspect, and on `tob_publisher` top-of-book adds."""
    rng = random.Random(seed)
    flow = Flow()
    keys = [(p, i) for p in publishers for i in instruments]
    for key in keys:
        flow.books[key] = PlainBook()
    time = 1_704_200_000_000_000_000
    next_id = {key: 1_000_000 * (k + 1) for k, key in enumerate(keys)}
    sequence = 0
    mid = {key: 100 * TICK * 10 + rng.randrange(-50, 50) * TICK for key in keys}

    def emit(key, action, side, order_id, price, size, flags):
        nonlocal sequence
        sequence += 1
        flow.records.append((key[0], key[1], time, order_id, price, size, flags, action, side,
                             time + rng.randrange(100, 5000), sequence))
        book = flow.books[key]
        if action in "TF":
            flow.trades.append(len(flow.records) - 1)
        book.apply(action, side, order_id, price, size, flags)
        if flags & F_LAST:
            flow.tops.append((len(flow.records) - 1, key, book.top(depth)))

    def new_id(key):
        next_id[key] += 1
        return next_id[key]

    while len(flow.records) < count:
        time += rng.randrange(1, 2_000_000)
        key = rng.choice(keys)
        book = flow.books[key]
        suspect = F_MAYBE_BAD_BOOK if rng.random() < 0.01 else 0
        late = F_BAD_TS_RECV if rng.random() < 0.01 else 0
        roll = rng.random()
        if key[0] == tob_publisher:
            side = rng.choice("BA")
            price = (UNDEF_PRICE if rng.random() < 0.05 else
                     mid[key] + (-1 if side == "B" else 1) * rng.randrange(1, 8) * TICK)
            emit(key, "A", side, 0, price, rng.randrange(1, 500), F_LAST | F_TOB)
            continue
        if not book.orders or roll < 0.42:
            side = rng.choice("BA")
            away = rng.randrange(1, 20) * TICK
            price = mid[key] - away if side == "B" else mid[key] + away
            emit(key, "A", side, new_id(key), price, rng.randrange(1, 50) * 10,
                 F_LAST | suspect | late)
        elif roll < 0.62:
            order_id = rng.choice(list(book.orders))
            left = book.orders[order_id][2]
            size = left if rng.random() < 0.6 else rng.randrange(1, left + 1)
            emit(key, "C", book.orders[order_id][0], order_id, book.orders[order_id][1], size,
                 F_LAST | suspect)
        elif roll < 0.74:
            order_id = rng.choice(list(book.orders))
            side, price, left = book.orders[order_id]
            change = rng.random()
            if change < 0.35:  # a new price: to the back of that level
                price += rng.choice([-1, 1]) * rng.randrange(1, 4) * TICK
                if (side == "B" and book.sides["A"] and price >= book.sides["A"].keys()[0]) or \
                        (side == "A" and book.sides["B"] and price <= book.sides["B"].keys()[0]):
                    price = book.orders[order_id][1]
            elif change < 0.65:  # more: to the back
                left += rng.randrange(1, 100)
            else:  # less: keeps its place
                left = max(1, left - rng.randrange(0, left))
            emit(key, "M", side, order_id, price, left, F_LAST | late)
        elif roll < 0.92:
            # A marketable order takes from the best level of one side, oldest first.
            side = rng.choice([s for s in "BA" if book.sides[s]])
            aggressor = "A" if side == "B" else "B"
            best = book.sides[side].keys()[0]
            queue = list(book.sides[side][best])
            taken = queue[:rng.randrange(1, len(queue) + 1)]
            sizes = [book.orders[i][2] if rng.random() < 0.7 else
                     rng.randrange(1, book.orders[i][2] + 1) for i in taken]
            emit(key, "T", aggressor, 0, best, sum(sizes), 0)
            for k, (order_id, size) in enumerate(zip(taken, sizes)):
                emit(key, "F", side, order_id, best, size, 0)
                emit(key, "C", side, order_id, best, size,
                     F_LAST if k == len(taken) - 1 else 0)
        elif roll < 0.93:
            # A clear and a snapshot of what the book held, priority kept, then new levels.
            kept = [(i, *book.orders[i]) for s in "BA" for p in book.sides[s]
                    for i in book.sides[s][p]]
            flags = F_SNAPSHOT | F_BAD_TS_RECV
            emit(key, "R", "N", 0, UNDEF_PRICE, 0, flags | (0 if kept else F_LAST))
            for k, (order_id, side, price, size) in enumerate(kept):
                emit(key, "A", side, order_id, price, size,
                     flags | (F_LAST if k == len(kept) - 1 else 0))
        elif roll < 0.96:
            emit(key, "N", "N", 0, UNDEF_PRICE, 0, F_LAST | suspect)
        else:
            mid[key] += rng.choice([-1, 1]) * TICK  # the market drifts
            emit(key, "A", rng.choice("BA"), new_id(key), mid[key] + rng.choice([-5, 5]) * TICK,
                 100, F_LAST)
    return flow


def _cstr(text, length):
    data = text.encode()[:length - 1]
    return data + b"\0" * (length - len(data))


def metadata_bytes(dataset="XNAS.ITCH", symbols=None, start=1_704_153_600_000_000_000,
                   end=1_704_326_400_000_000_000, schema=0, ts_out=False):
    """A version-3 DBN metadata header. `symbols`: raw symbol -> [(first day YYYYMMDD,
    day after the last, instrument id)]."""
    cstr = 71
    symbols = symbols or {}
    body = _cstr(dataset, 16) + struct.pack("<HQQQBBBH", schema, start, end, 0, 1, 0,
                                             int(ts_out), cstr) + b"\0" * 53
    body += struct.pack("<I", 0)  # no schema definition
    body += struct.pack("<I", len(symbols)) + b"".join(_cstr(s, cstr) for s in symbols)
    body += struct.pack("<I", 0) + struct.pack("<I", 0)  # partial, not found
    body += struct.pack("<I", len(symbols))
    for raw, intervals in symbols.items():
        body += _cstr(raw, cstr) + struct.pack("<I", len(intervals))
        for first, after, instrument in intervals:
            body += struct.pack("<II", first, after) + _cstr(str(instrument), cstr)
    body += b"\0" * (-(len(body) + 8) % 8)
    return b"DBN\x03" + struct.pack("<I", len(body)) + body


def record_bytes(record):
    publisher, instrument, ts_event, order_id, price, size, flags, action, side, ts_recv, \
        sequence = record
    return struct.pack("<BBHIQQqIBBccQiI", 14, 0xA0, publisher, instrument, ts_event, order_id,
                       price, size, flags, 0, action.encode(), side.encode(), ts_recv,
                       max(-2**31, min(2**31 - 1, ts_recv - ts_event)), sequence)


def write(path, flow, symbols=None, zstd=False):
    """The flow's records as a DBN file (zstd-compressed with `zstd`, which needs the
    zstandard package)."""
    if symbols is None:
        instruments = sorted({r[1] for r in flow.records})
        symbols = {f"SYM{i}": [(20240102, 20240104, i)] for i in instruments}
    data = metadata_bytes(symbols=symbols) + b"".join(record_bytes(r) for r in flow.records)
    if zstd:
        import zstandard
        data = zstandard.ZstdCompressor().compress(data)
    path.write_bytes(data)
    return path
