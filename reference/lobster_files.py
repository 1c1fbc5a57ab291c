"""LOBSTER files made from a seeded order flow played on a plain-Python book, for the tests
of velmora.lobster, its benchmark and its cluster example. Nothing here uses velmora.core: the book is dictionaries
and lists, and each orderbook row is read off it directly.

A session is a stream of messages of every type: limit orders that never cross (type 1),
partial cancellations (2), deletions (3), executions of the best level's oldest order (4),
hidden executions (5), cross trades (6) and one trading halt with its quote and trading
resumptions (7). A level-N file keeps the messages that touch the top N levels of their side
(an addition that lands there, a change to an order resting there; types 5 to 7 always), each
with the top N levels after it, and may start in the middle of the session.
"""

import gzip
import random
from dataclasses import dataclass, field

from sortedcontainers import SortedDict

EMPTY_ASK, EMPTY_BID = 9_999_999_999, -9_999_999_999
OPEN_NS = 34_200 * 10**9  # 9:30 in nanoseconds after midnight
BUY, SELL = 1, -1


class PlainBook:
    """Orders by id and, per side, levels by price: [total, ids oldest first]."""

    def __init__(self):
        self.orders = {}  # id -> [direction, price, size]
        self.ids = []  # the resting ids, in no order: for drawing one at random
        self.where = {}  # id -> its position in ids
        self.sides = {BUY: SortedDict(lambda p: -p), SELL: SortedDict()}  # best price first

    def top(self, direction, n):
        return [(p, self.sides[direction][p][0]) for p in self.sides[direction].islice(stop=n)]

    def in_top(self, direction, price, n):
        levels = self.sides[direction]
        return price in levels and levels.index(price) < n

    def add(self, order_id, direction, price, size):
        self.orders[order_id] = [direction, price, size]
        self.where[order_id] = len(self.ids)
        self.ids.append(order_id)
        level = self.sides[direction].setdefault(price, [0, []])
        level[0] += size
        level[1].append(order_id)

    def take(self, order_id, size):
        direction, price, left = order = self.orders[order_id]
        level = self.sides[direction][price]
        level[0] -= size
        order[2] = left - size
        if order[2] == 0:
            del self.orders[order_id]
            last = self.ids.pop()
            if last != order_id:
                self.ids[self.where[order_id]] = last
                self.where[last] = self.where[order_id]
            del self.where[order_id]
            level[1].remove(order_id)
            if not level[1]:
                del self.sides[direction][price]

    def row(self, n):
        """The top n levels in the orderbook file's layout."""
        asks, bids = self.top(SELL, n), self.top(BUY, n)
        out = []
        for k in range(n):
            out += asks[k] if k < len(asks) else (EMPTY_ASK, 0)
            out += bids[k] if k < len(bids) else (EMPTY_BID, 0)
        return out


@dataclass
class Session:
    """Every message of a session with the book after it, and the depth it reached."""

    messages: list = field(default_factory=list)  # (time_ns, type, id, size, price, direction)
    touches: list = field(default_factory=list)  # per message: {levels: touched at that depth}
    books: list = field(default_factory=list)  # per message: (top asks, top bids)
    max_levels: int = 0


def play(seed, count, tick=100, mid=5_850_000, spread=30, halt=True, bursts=0.0, gaps=0.0):
    """A seeded session of `count` messages around `mid` (dollars x 10 000): yields each
    message with its reach (the best place, 0-based, it touches on its side; 0 for trades off
    the book and halts) and the book after it. Orders land up to `spread` ticks behind the
    opposite best price; deletions are likelier on a fuller book, so it stays a few hundred
    orders deep. With `bursts` that share of messages comes at the time of the one before,
    with `gaps` that share after a silence of 2 to 6 seconds."""
    rng = random.Random(seed)
    book = PlainBook()
    time, next_id = OPEN_NS, 10_000_000 + seed * 1000
    halt_at = count // 3 if halt else -1
    halted = False
    sweep = None  # (direction, price) of a level being executed away, order by order
    for step in range(count):
        if bursts and rng.random() < bursts:
            pass  # at the time of the message before
        elif gaps and rng.random() < gaps:
            time += rng.randrange(2 * 10**9, 6 * 10**9)
        else:
            time += rng.randrange(1, 40_000_000)
        kind = 1
        if step == halt_at:
            halted = True
            message = (time, 7, 0, 0, -1, -1)
        elif halted and step == halt_at + 40:
            message = (time, 7, 0, 0, 0, -1)  # quotes resume
        elif halted and step == halt_at + 80:
            halted = False
            message = (time, 7, 0, 0, 1, -1)  # trading resumes
        elif sweep and sweep[1] in book.sides[sweep[0]]:
            kind = 4
            direction, price = sweep
            order_id = book.sides[direction][price][1][0]
            message = (time, 4, order_id, book.orders[order_id][2], price, direction)
        else:
            sweep = None
            roll = rng.random() - 0.6 + 0.25 * min(len(book.orders) / 200, 1.0)
            if not book.orders or roll < 0:
                kind = 1
            elif roll < 0.1:
                kind = 2
            elif roll < 0.32 or halted:
                kind = 3
            elif roll < 0.38:
                kind = 4
            elif roll < 0.39:
                kind = 5
            elif roll < 0.395:
                kind = 6
            else:
                kind = 3
            message = _message(rng, book, kind, time, next_id, tick, mid, spread)
            if kind == 1:
                next_id += 1
            elif kind == 4 and rng.random() < 0.3:  # a marketable order takes the whole level
                sweep = (message[5], message[4])
        kind, direction, price = message[1], message[5], message[4]
        before = _depth_of(book, direction, price)
        _apply(book, message)
        after = _depth_of(book, direction, price)
        # The message touches the top n levels when its price is among them before the change
        # (or after it, for an addition); trades off the book and halts touch every depth.
        reach = min(x for x in (before, after) if x is not None) if kind <= 4 else 0
        yield message, reach, book


def make_session(seed, count, depth=50, **flow):
    """Every message of a session (play) with the top `depth` levels after each."""
    out = Session()
    for message, reach, book in play(seed, count, **flow):
        out.messages.append(message)
        out.touches.append(reach)
        out.books.append((book.top(SELL, depth), book.top(BUY, depth)))
        out.max_levels = max(out.max_levels, len(book.sides[BUY]), len(book.sides[SELL]))
    return out


def _depth_of(book, direction, price):
    levels = book.sides.get(direction)
    if levels is None or price not in levels:
        return None
    return levels.index(price)


def _message(rng, book, kind, time, next_id, tick, mid, spread):
    if kind == 1:
        direction = rng.choice((BUY, SELL))
        other = book.sides[-direction]
        if other:
            best = other.keys()[0]
            price = best - direction * tick * (1 + int(rng.expovariate(0.25)) % spread)
        else:
            own = book.sides[direction]
            anchor = own.keys()[0] if own else mid
            price = anchor - direction * tick * rng.randrange(0, 4)
        size = rng.choice((100, 100, 200, 300, 500)) if rng.random() < 0.7 else rng.randint(1, 900)
        return (time, 1, next_id, size, price, direction)
    if kind in (2, 3):
        order_id = rng.choice(book.ids)
        direction, price, left = book.orders[order_id]
        size = left if kind == 3 or left == 1 else rng.randint(1, left - 1)
        return (time, 3 if size == left else 2, order_id, size, price, direction)
    if kind == 4:
        direction = rng.choice([d for d in (BUY, SELL) if book.sides[d]])
        price, (_, ids) = book.sides[direction].peekitem(0)
        order_id = ids[0]
        size = rng.randint(1, book.orders[order_id][2])
        return (time, 4, order_id, size, price, direction)
    # Trades that do not touch the visible book: hidden orders (5), auction crosses (6).
    bids, asks = book.sides[BUY], book.sides[SELL]
    low = bids.keys()[0] if bids else mid
    high = asks.keys()[0] if asks else mid
    price = rng.randint(min(low, high) // tick, max(low, high) // tick) * tick
    return (time, kind, 0 if kind == 5 else -1, rng.randint(1, 400), price, rng.choice((BUY, SELL)))


def _apply(book, message):
    _, kind, order_id, size, price, direction = message
    if kind == 1:
        book.add(order_id, direction, price, size)
    elif kind in (2, 3, 4):
        book.take(order_id, size)


def level_file(session, levels, start=0):
    """The level-`levels` files of a session from its `start`-th kept message on: a list of
    messages and a list of orderbook rows (in the file's layout)."""
    messages, rows = [], []
    for message, reach, (asks, bids) in zip(session.messages, session.touches, session.books):
        if reach < levels:
            messages.append(message)
            row = []
            for k in range(levels):
                row += asks[k] if k < len(asks) else (EMPTY_ASK, 0)
                row += bids[k] if k < len(bids) else (EMPTY_BID, 0)
            rows.append(row)
    return messages[start:], rows[start:]


def format_time(ns, decimals=9):
    seconds, fraction = divmod(ns, 10**9)
    if decimals == 0:
        return str(seconds)
    return f"{seconds}.{fraction // 10 ** (9 - decimals):0{decimals}d}"


def message_lines(messages, decimals=9):
    return [f"{format_time(m[0], decimals)},{m[1]},{m[2]},{m[3]},{m[4]},{m[5]}"
            for m in messages]


def orderbook_lines(rows):
    return [",".join(map(str, row)) for row in rows]


def file_name(ticker, levels, kind, messages, suffix=".csv"):
    """LOBSTER's name: TICKER_YYYY-MM-DD_START_END_KIND_N.csv, START and END in ms."""
    start, end = messages[0][0] // 10**6, messages[-1][0] // 10**6 + 1
    return f"{ticker}_2026-03-02_{start}_{end}_{kind}_{levels}{suffix}"


def write(folder, session, levels, start=0, ticker="VLMR", gz=False, decimals=9):
    """Writes the level-`levels` pair under LOBSTER's names; returns (message, orderbook)
    paths and the rows written."""
    messages, rows = level_file(session, levels, start)
    suffix = ".csv.gz" if gz else ".csv"
    paths = []
    for kind, lines in (("message", message_lines(messages, decimals)),
                        ("orderbook", orderbook_lines(rows))):
        path = folder / file_name(ticker, levels, kind, messages, suffix)
        text = "\n".join(lines) + "\n"
        if gz:
            with gzip.open(path, "wt") as f:
                f.write(text)
        else:
            path.write_text(text)
        paths.append(path)
    return paths[0], paths[1], messages, rows


def write_stream(folder, seed, count, levels, ticker="VLMR", gz=False, **flow):
    """Plays a session and writes its level-`levels` pair as it goes, keeping nothing per
    message (for files of millions of messages). Returns (message, orderbook) paths and the
    number of messages written."""
    suffix = ".csv.gz" if gz else ".csv"
    opener = gzip.open if gz else open
    parts = [folder / f"{ticker}.message.tmp", folder / f"{ticker}.orderbook.tmp"]
    first = last = None
    written = 0
    with opener(parts[0], "wt") as m_file, opener(parts[1], "wt") as o_file:
        for message, reach, book in play(seed, count, **flow):
            if reach >= levels:
                continue
            first = first if first is not None else message
            last = message
            written += 1
            m_file.write(message_lines([message])[0] + "\n")
            o_file.write(",".join(map(str, book.row(levels))) + "\n")
    paths = []
    for kind, part in zip(("message", "orderbook"), parts):
        path = folder / file_name(ticker, levels, kind, [first, last], suffix)
        part.replace(path)
        paths.append(path)
    return paths[0], paths[1], written
