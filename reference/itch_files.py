"""ITCH 5.0 files generated from seeded flows, and a plain-Python replay of them.

``generate`` writes a day of many stocks with every message type velmora.itch applies
(directory, system events, halts during which adds cross the book, the executions and deletes
that uncross it after the halt, adds with and without attribution, executions with and without
price, cancels, deletes, replaces, trades, cross trades, broken trades), some types it skips,
stocks that never trade, and on request a few anomalies (references never added, references
added twice, cancels past the open shares, a stock locate with no directory entry, a broken
trade naming no match).

``reference_replay`` applies such a file with dicts and lists, one message at a time, by the
rules velmora.itch documents; it shares no code with the native replay and is the oracle the
tests compare it with.
"""

from __future__ import annotations

import gzip
import random
import struct
from dataclasses import dataclass, field

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
COUNTED = "RHAFECXDUPQB"
COUNTERS = tuple(COUNTED) + ("other", "trades", "unknown", "duplicate", "overshoot",
                              "undirected", "crossed")
LENGTHS = {"S": 12, "R": 39, "H": 25, "A": 36, "F": 40, "E": 31, "C": 36, "X": 23, "D": 19,
           "U": 35, "P": 44, "Q": 40, "B": 19}


def _head(kind: str, locate: int, time: int, tracking: int = 0) -> bytes:
    return struct.pack(">cHH", kind.encode(), locate, tracking) + time.to_bytes(6, "big")


def _sym(symbol: str) -> bytes:
    return symbol.encode().ljust(8)


class Writer:
    """Builds messages by layout; `out` collects them length-prefixed."""

    def __init__(self) -> None:
        self.out: list[bytes] = []

    def raw(self, body: bytes) -> None:
        self.out.append(struct.pack(">H", len(body)) + body)

    def system(self, time: int, code: str) -> None:
        self.raw(_head("S", 0, time) + code.encode())

    def directory(self, locate: int, time: int, symbol: str) -> None:
        self.raw(_head("R", locate, time) + _sym(symbol) + b"QN" + struct.pack(">I", 100) +
                 b"NCZ " + b"PN N" + b" " + struct.pack(">I", 0) + b" ")

    def action(self, locate: int, time: int, symbol: str, state: str, reason: str) -> None:
        self.raw(_head("H", locate, time) + _sym(symbol) + state.encode() + b" " +
                 reason.encode().ljust(4))

    def add(self, locate: int, time: int, ref: int, side: str, shares: int, symbol: str,
            price: int, mpid: str | None = None) -> None:
        body = (_head("F" if mpid else "A", locate, time) + struct.pack(">Q", ref) +
                side.encode() + struct.pack(">I", shares) + _sym(symbol) +
                struct.pack(">I", price))
        self.raw(body + (mpid.encode().ljust(4) if mpid else b""))

    def executed(self, locate: int, time: int, ref: int, shares: int, match: int,
                 price: int | None = None, printable: bool = True) -> None:
        body = _head("E" if price is None else "C", locate, time) + struct.pack(
            ">QIQ", ref, shares, match)
        if price is not None:
            body += (b"Y" if printable else b"N") + struct.pack(">I", price)
        self.raw(body)

    def cancel(self, locate: int, time: int, ref: int, shares: int) -> None:
        self.raw(_head("X", locate, time) + struct.pack(">QI", ref, shares))

    def delete(self, locate: int, time: int, ref: int) -> None:
        self.raw(_head("D", locate, time) + struct.pack(">Q", ref))

    def replace(self, locate: int, time: int, old: int, new: int, shares: int,
                price: int) -> None:
        self.raw(_head("U", locate, time) + struct.pack(">QQII", old, new, shares, price))

    def trade(self, locate: int, time: int, ref: int, side: str, shares: int, symbol: str,
              price: int, match: int) -> None:
        self.raw(_head("P", locate, time) + struct.pack(">Q", ref) + side.encode() +
                 struct.pack(">I", shares) + _sym(symbol) + struct.pack(">IQ", price, match))

    def cross(self, locate: int, time: int, shares: int, symbol: str, price: int,
              match: int) -> None:
        self.raw(_head("Q", locate, time) + struct.pack(">Q", shares) + _sym(symbol) +
                 struct.pack(">IQ", price, match) + b"O")

    def broken(self, locate: int, time: int, match: int) -> None:
        self.raw(_head("B", locate, time) + struct.pack(">Q", match))

    def skipped(self, rng: random.Random, locate: int, time: int, symbol: str) -> None:
        """A message of a type the replay skips: Reg SHO, NOII or participant position."""
        kind = rng.choice("YIL")
        if kind == "Y":
            self.raw(_head("Y", locate, time) + _sym(symbol) + b"0")
        elif kind == "I":
            self.raw(_head("I", locate, time) + struct.pack(">QQ", 100, 50) + b"B" +
                     _sym(symbol) + struct.pack(">III", 1, 2, 3) + b"OL")
        else:
            self.raw(_head("L", locate, time) + b"MPID" + _sym(symbol) + b"YNA")

    def data(self) -> bytes:
        return b"".join(self.out)


@dataclass
class _Stock:
    locate: int
    symbol: str
    mid: int
    orders: dict[int, list] = field(default_factory=dict)  # ref -> [side, price, shares]
    halted: bool = False

    def best(self, side: str) -> int | None:
        prices = [o[1] for o in self.orders.values() if o[0] == side]
        if not prices:
            return None
        return max(prices) if side == "B" else min(prices)


def generate(path, seed: int = 0, stocks: int = 30, messages: int = 20_000,
             quiet: int = 3, anomalies: bool = False, compress: bool | None = None) -> dict:
    """Writes an ITCH 5.0 file of `stocks` stocks (the last `quiet` ones with a directory
    entry and nothing else) and about `messages` messages; gzip when `compress` (default:
    the path ends in .gz). Returns what it wrote: {"symbols": [...], "halts": n, ...}."""
    rng = random.Random(seed)
    w = Writer()
    time = 3 * 3_600_000_000_000 + rng.randrange(10**9)
    w.system(time, "O")
    names = [f"S{i:03d}{chr(65 + i % 26)}" for i in range(stocks)]
    book = []
    for i, name in enumerate(names):
        locate = 1 + i * 3  # locates need not be dense
        time += rng.randrange(1, 1000)
        w.directory(locate, time, name)
        book.append(_Stock(locate, name, rng.randrange(50, 500) * 10_000))
    active = book[: max(1, stocks - quiet)]
    w.system(time + 1, "S")
    ref = 1000
    match = 1
    matches: list[int] = []
    stats = {"halts": 0, "crossed_adds": 0, "broken": 0}

    def tick() -> int:
        nonlocal time
        time += rng.randrange(1, 2_000_000)
        return time

    def add(st: _Stock, side: str, price: int, shares: int) -> None:
        nonlocal ref
        ref += rng.randrange(1, 4)
        price = max(100, price)
        mpid = "MPID" if rng.random() < 0.2 else None
        w.add(st.locate, tick(), ref, side, shares, st.symbol, price, mpid)
        st.orders[ref] = [side, price, shares]

    def execute(st: _Stock, r: int, shares: int, with_price: bool) -> None:
        nonlocal match
        o = st.orders[r]
        if with_price:
            w.executed(st.locate, tick(), r, shares, match, o[1] + rng.choice((-100, 0, 100)),
                       printable=rng.random() < 0.8)
        else:
            w.executed(st.locate, tick(), r, shares, match)
        matches.append(match)
        match += 1
        o[2] -= shares
        if o[2] == 0:
            del st.orders[r]

    for step in range(messages):
        st = rng.choice(active)
        if anomalies and step % 997 == 500:
            kind = rng.choice(["unknown", "duplicate", "overshoot", "nomatch"])
            if kind == "unknown":
                w.delete(st.locate, tick(), 10**12 + step)
            elif kind == "duplicate" and st.orders:
                r = rng.choice(list(st.orders))
                o = st.orders[r]
                w.add(st.locate, tick(), r, o[0], 7, st.symbol, o[1])
            elif kind == "overshoot" and st.orders:
                r = rng.choice(list(st.orders))
                w.cancel(st.locate, tick(), r, st.orders[r][2] + 5)
                del st.orders[r]
            else:
                w.broken(st.locate, tick(), 10**12 + step)
            continue
        if st.halted:
            u = rng.random()
            if u < 0.15:
                # Trading resumes: the crossed orders execute against each other (an opening
                # cross, printed as a Q), the rest stay.
                w.action(st.locate, tick(), st.symbol, "T", "    ")
                st.halted = False
                bid, ask = st.best("B"), st.best("S")
                crossed_shares = 0
                while bid is not None and ask is not None and bid >= ask:
                    rb = min((r for r, o in st.orders.items() if o[0] == "B" and o[1] == bid))
                    ra = min((r for r, o in st.orders.items() if o[0] == "S" and o[1] == ask))
                    q = min(st.orders[rb][2], st.orders[ra][2])
                    execute(st, rb, q, rng.random() < 0.5)
                    execute(st, ra, q, rng.random() < 0.5)
                    crossed_shares += q
                    bid, ask = st.best("B"), st.best("S")
                w.cross(st.locate, tick(), crossed_shares, st.symbol, st.mid, match)
                matches.append(match)
                match += 1
            elif u < 0.8:
                side = rng.choice("BS")
                other = st.best("S" if side == "B" else "B")
                base = other if other is not None else st.mid
                # Through the other side: the halted book crosses.
                price = base + (1 if side == "B" else -1) * rng.randrange(0, 4) * 100
                add(st, side, price, rng.randrange(1, 20) * 100)
                stats["crossed_adds"] += 1
            elif st.orders:
                r = rng.choice(list(st.orders))
                w.delete(st.locate, tick(), r)
                del st.orders[r]
            continue
        u = rng.random()
        bid, ask = st.best("B"), st.best("S")
        if u < 0.40 or len(st.orders) < 4:
            side = rng.choice("BS")
            if side == "B":
                top = (ask - 100) if ask is not None else st.mid - 100
                price = top - rng.randrange(0, 8) * 100
            else:
                low = (bid + 100) if bid is not None else st.mid + 100
                price = low + rng.randrange(0, 8) * 100
            add(st, side, price, rng.randrange(1, 30) * 100)
        elif u < 0.52:
            r = rng.choice(list(st.orders))
            execute(st, r, rng.randrange(1, st.orders[r][2] + 1), rng.random() < 0.3)
        elif u < 0.62:
            r = rng.choice(list(st.orders))
            o = st.orders[r]
            shares = rng.randrange(1, o[2] + 1)
            w.cancel(st.locate, tick(), r, shares)
            o[2] -= shares
            if o[2] == 0:
                del st.orders[r]
        elif u < 0.78:
            r = rng.choice(list(st.orders))
            w.delete(st.locate, tick(), r)
            del st.orders[r]
        elif u < 0.88:
            r = rng.choice(list(st.orders))
            side, price, shares = st.orders.pop(r)
            bid, ask = st.best("B"), st.best("S")
            if side == "B":
                cap = (ask - 100) if ask is not None else price + 500
                price = min(price + rng.randrange(-3, 4) * 100, cap)
            else:
                floor = (bid + 100) if bid is not None else price - 500
                price = max(price + rng.randrange(-3, 4) * 100, floor)
            ref += rng.randrange(1, 4)
            shares = rng.randrange(1, 30) * 100
            price = max(100, price)
            w.replace(st.locate, tick(), r, ref, shares, price)
            st.orders[ref] = [side, price, shares]
        elif u < 0.93:
            w.trade(st.locate, tick(), 0, rng.choice("BS"), rng.randrange(1, 10) * 100,
                    st.symbol, st.mid, match)
            matches.append(match)
            match += 1
        elif u < 0.95 and matches:
            w.broken(st.locate, tick(), rng.choice(matches))
            stats["broken"] += 1
        elif u < 0.985:
            w.skipped(rng, st.locate, tick(), st.symbol)
        else:
            w.action(st.locate, tick(), st.symbol, "H", "LUDP")
            st.halted = True
            stats["halts"] += 1
    if anomalies:
        # A stock locate no directory entry names: applied all the same, and counted.
        w.add(60_000, tick(), 10**13, "B", 100, "ZZZZ", 10_000)
        w.add(60_000, tick(), 10**13 + 1, "S", 100, "ZZZZ", 10_100)
    w.system(tick(), "C")
    data = w.data()
    if compress is None:
        compress = str(path).endswith(".gz")
    with open(path, "wb") as f:
        f.write(gzip.compress(data, compresslevel=1, mtime=0) if compress else data)
    return {"symbols": names, "active": [s.symbol for s in active], "messages": len(w.out),
            **stats}


def _empty_top(depth: int) -> list[int]:
    return [INT64_MIN] * depth + [0] * depth + [INT64_MAX] * depth + [0] * depth


@dataclass
class RefStock:
    symbol: str | None = None
    # ref -> [side (0 bid, 1 ask), price, shares, time, arrival, traded]
    orders: dict[int, list] = field(default_factory=dict)
    counts: dict[str, int] = field(default_factory=lambda: dict.fromkeys(COUNTERS, 0))
    last_top: list[int] | None = None

    def levels(self, side: int) -> list[tuple[int, int]]:
        totals: dict[int, int] = {}
        for o in self.orders.values():
            if o[0] == side:
                totals[o[1]] = totals.get(o[1], 0) + o[2]
        return sorted(totals.items(), reverse=side == 0)

    def top(self, depth: int) -> list[int]:
        row = _empty_top(depth)
        for side, base in ((0, 0), (1, 2 * depth)):
            for i, (price, total) in enumerate(self.levels(side)[:depth]):
                row[base + i] = price
                row[base + depth + i] = total
        return row

    def crossed(self) -> bool:
        bids, asks = self.levels(0), self.levels(1)
        return bool(bids and asks and bids[0][0] >= asks[0][0])

    def rows(self) -> list[tuple]:
        """The resting orders as velmora.core.Book.orders() lists them."""
        out = []
        for side in (0, 1):
            mine = [(r, o) for r, o in self.orders.items() if o[0] == side]
            mine.sort(key=lambda item: (-item[1][1] if side == 0 else item[1][1], item[1][4]))
            out += [(r, side, o[1], o[2], o[5], o[3], False) for r, o in mine]
        return out


def reference_replay(path, symbols=None, depth: int = 0, every: int = 0,
                     watch=None) -> dict:
    """The file applied by the documented rules, in Python: trades as tuples in TRADE_DTYPE's
    field order, stocks by locate, top rows (after every change and at each interval) as
    tuples (time, seq, locate, *values), and the skipped and unknown-match counts."""
    with open(path, "rb") as f:
        raw = f.read()
    if raw[:2] == b"\x1f\x8b":
        raw = gzip.decompress(raw)
    stocks: dict[int, RefStock] = {}
    skipped_status: set[int] = set()
    trades: list[list] = []
    rows: list[tuple] = []
    samples: list[tuple] = []
    watched: list[int] = []
    result = {"skipped": 0, "unknown_matches": 0, "other": 0}
    arrival = 0
    next_sample = -1
    pos = seq = 0

    def stock_for(locate: int) -> RefStock | None:
        if locate in stocks:
            return stocks[locate]
        if symbols is not None or locate in skipped_status:
            return None
        st = stocks[locate] = RefStock()
        if depth and watch is None:
            watched.append(locate)
            st.last_top = _empty_top(depth)
        return st

    while pos < len(raw):
        (n,) = struct.unpack_from(">H", raw, pos)
        m = raw[pos + 2: pos + 2 + n]
        pos += 2 + n
        seq += 1
        kind = chr(m[0])
        if kind not in LENGTHS:
            result["other"] += 1
            locate = struct.unpack_from(">H", m, 1)[0]
            if locate in stocks:
                stocks[locate].counts["other"] += 1
            continue
        locate = struct.unpack_from(">H", m, 1)[0]
        time = int.from_bytes(m[5:11], "big")
        if every and time > next_sample:
            if next_sample < 0:
                next_sample = -(-time // every) * every
            while next_sample < time:
                for loc in watched:
                    samples.append((next_sample, seq - 1, loc, *stocks[loc].top(depth)))
                next_sample += every
        if kind == "S":
            continue
        if kind == "R":
            symbol = m[11:19].decode().rstrip(" ")
            if locate not in stocks and symbols is not None:
                if symbol not in symbols:
                    skipped_status.add(locate)
                    result["skipped"] += 1
                    continue
                stocks[locate] = RefStock()
                if depth and watch is None:
                    watched.append(locate)
                    stocks[locate].last_top = _empty_top(depth)
            st = stock_for(locate)
            if st is None:
                result["skipped"] += 1
                continue
            if depth and watch is not None and symbol in watch and locate not in watched:
                watched.append(locate)
                st.last_top = _empty_top(depth)
            st.symbol = symbol
            st.counts["R"] += 1
            continue
        st = stock_for(locate)
        if st is None:
            result["skipped"] += 1
            continue
        st.counts[kind] += 1
        if st.symbol is None:
            st.counts["undirected"] += 1
        book = kind in "AFECXDU"
        if kind in "AF":
            ref, side, shares, price = struct.unpack_from(">QcI8xI", m, 11)
            if ref in st.orders:
                st.counts["duplicate"] += 1
            else:
                arrival += 1
                st.orders[ref] = [0 if side == b"B" else 1, price, shares, time, arrival, False]
        elif kind in "EC":
            ref, shares, match = struct.unpack_from(">QIQ", m, 11)
            o = st.orders.get(ref)
            if o is None:
                st.counts["unknown"] += 1
            else:
                if shares > o[2]:
                    st.counts["overshoot"] += 1
                    o[2] = 0
                else:
                    o[2] -= shares
                o[5] = True
                price, printable = o[1], True
                if kind == "C":
                    printable = m[31:32] == b"Y"
                    price = struct.unpack_from(">I", m, 32)[0]
                if o[2] == 0:
                    del st.orders[ref]
                trades.append([time, price, shares, ref, match, locate, o[0], kind.encode(),
                               False, printable])
                st.counts["trades"] += 1
        elif kind == "X":
            ref, shares = struct.unpack_from(">QI", m, 11)
            o = st.orders.get(ref)
            if o is None:
                st.counts["unknown"] += 1
            else:
                if shares > o[2]:
                    st.counts["overshoot"] += 1
                o[2] = max(0, o[2] - shares)
                if o[2] == 0:
                    del st.orders[ref]
        elif kind == "D":
            (ref,) = struct.unpack_from(">Q", m, 11)
            if st.orders.pop(ref, None) is None:
                st.counts["unknown"] += 1
        elif kind == "U":
            old, new, shares, price = struct.unpack_from(">QQII", m, 11)
            if old not in st.orders:
                st.counts["unknown"] += 1
            elif new != old and new in st.orders:
                st.counts["duplicate"] += 1
            else:
                side = st.orders.pop(old)[0]
                arrival += 1
                st.orders[new] = [side, price, shares, time, arrival, False]
        elif kind == "P":
            ref, side, shares, price, match = struct.unpack_from(">QcI8xIQ", m, 11)
            trades.append([time, price, shares, ref, match, locate,
                           {b"B": 0, b"S": 1}.get(side, -1), b"P", False, True])
            st.counts["trades"] += 1
        elif kind == "Q":
            shares, price, match = struct.unpack_from(">Q8xIQ", m, 11)
            trades.append([time, price, shares, 0, match, locate, -1, b"Q", False, True])
            st.counts["trades"] += 1
        elif kind == "B":
            (match,) = struct.unpack_from(">Q", m, 11)
            hits = [t for t in trades if t[4] == match]
            if hits:
                hits[0][8] = True
            else:
                result["unknown_matches"] += 1
        if book:
            if st.crossed():
                st.counts["crossed"] += 1
            if st.last_top is not None:
                top = st.top(depth)
                if top != st.last_top:
                    rows.append((time, seq - 1, locate, *top))
                    st.last_top = top
    result.update(trades=[tuple(t) for t in trades], stocks=stocks, rows=rows,
                  samples=samples, messages=seq)
    return result
