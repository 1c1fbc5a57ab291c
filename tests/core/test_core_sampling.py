"""velmora.core.Sampler: rows and measures at the moments asked for, against a plain-Python
computation on the batch's own per-event snapshots and fills (not the sampler's code): every
sampling mode and every measure, on flows with empty sides, bursts of events at one time,
gaps without events and chunked streams; and the options it refuses."""

import math
import random

import numpy as np
import pytest

from velmora import core

BID, ASK = core.BID, core.ASK
MEASURES = ["mid", "spread", "microprice", "imbalance:1", "imbalance:3", "ofi", "volume",
            "notional", "vwap", "trades", "events"]
DEPTH = 3


def flow(seed, count=400):
    """Limit orders (some crossing), market orders, cancels; times rise in bursts (several
    events at one time) with gaps of many intervals, and one side sometimes empties."""
    rng = random.Random(seed)
    rows, live, time = [], [], 1_000
    for k in range(count):
        time += rng.choice([0, 0, 0, 7, 13, 40, 250, 3_000])
        roll = rng.random()
        if roll < 0.55 or not live:
            side = rng.randrange(2)
            price = 100 + rng.randint(-6, 6) + (2 if side == ASK else -2)
            rows.append((core.LIMIT, side, k + 1, price, rng.randint(1, 9), time))
            live.append(k + 1)
        elif roll < 0.7:
            rows.append((core.MARKET, rng.randrange(2), k + 1, 0, rng.randint(1, 25), time))
        else:
            rows.append((core.CANCEL, 0, live.pop(rng.randrange(len(live))), 0, 0, time))
    return np.array(rows, core.EVENT_DTYPE)


def quotes(snap):
    """(bid price, bid size, ask price, ask size) of a snapshot row; None for an empty side."""
    bid = (snap["bid_price"][0], snap["bid_total"][0]) if snap["bid_total"][0] else None
    ask = (snap["ask_price"][0], snap["ask_total"][0]) if snap["ask_total"][0] else None
    return bid, ask


def flow_imbalance(before, after):
    """Cont, Kukanov and Stoikov's e_n, written out: an empty bid at minus infinity, an empty
    ask at plus infinity, each with size 0."""
    (b0, a0), (b1, a1) = before, after
    pb0, qb0 = b0 if b0 else (-math.inf, 0)
    pb1, qb1 = b1 if b1 else (-math.inf, 0)
    pa0, qa0 = a0 if a0 else (math.inf, 0)
    pa1, qa1 = a1 if a1 else (math.inf, 0)
    return ((qb1 if pb1 >= pb0 else 0) - (qb0 if pb1 <= pb0 else 0)
            - (qa1 if pa1 <= pa0 else 0) + (qa0 if pa1 >= pa0 else 0))


def expected(events, seqs, times, depth, measures):
    """The rows a sampler must write: row r reflects the events up to seqs[r] (-1: none) and
    carries times[r]; its measures cover the events since the row before."""
    book = core.Book()
    deep = max(depth, 3)
    result = book.replay(events, depth=deep)
    snaps, fills = result.snapshots, result.fills
    empty = np.zeros(1, snaps.dtype)[0]
    empty["bid_price"], empty["ask_price"] = -2**63, 2**63 - 1
    state = [empty] + list(snaps)  # state[i + 1]: after event i
    flows = [flow_imbalance(quotes(state[i]), quotes(state[i + 1])) for i in range(len(events))]
    ofi_before = np.concatenate([[0], np.cumsum(flows)]).tolist()  # ofi_before[i]: events < i
    fill_seq = fills["seq"]
    rows, last = [], -1
    for seq, time in zip(seqs, times):
        snap = state[seq + 1]
        row = [seq, time]
        if depth:
            row += [snap[f][:depth].tolist() for f in ("bid_price", "bid_total", "ask_price",
                                                       "ask_total")]
        took = fills[np.searchsorted(fill_seq, last, "right"):
                     np.searchsorted(fill_seq, seq, "right")]
        volume = int(took["quantity"].sum())
        notional = float(sum(int(p) * int(q) for p, q in zip(took["price"], took["quantity"])))
        bid, ask = quotes(snap)
        for name in measures:
            if name == "mid":
                row.append((bid[0] + ask[0]) / 2 if bid and ask else math.nan)
            elif name == "spread":
                row.append(float(ask[0] - bid[0]) if bid and ask else math.nan)
            elif name == "microprice":
                row.append((bid[0] * ask[1] + ask[0] * bid[1]) / (bid[1] + ask[1])
                           if bid and ask else math.nan)
            elif name.startswith("imbalance"):
                k = int(name.split(":")[1])
                b, a = int(snap["bid_total"][:k].sum()), int(snap["ask_total"][:k].sum())
                row.append((b - a) / (b + a) if a + b else math.nan)
            elif name == "ofi":
                row.append(ofi_before[seq + 1] - ofi_before[last + 1])
            elif name == "volume":
                row.append(volume)
            elif name == "notional":
                row.append(notional)
            elif name == "vwap":
                row.append(notional / volume if volume else math.nan)
            elif name == "trades":
                row.append(len(took))
            elif name == "events":
                row.append(seq - last)
        rows.append(row)
        last = seq
    return rows


def as_lists(rows, depth, measures):
    out = []
    for r in rows:
        row = [int(r["seq"]), int(r["time"])]
        if depth:
            row += [r[f].tolist() for f in ("bid_price", "bid_total", "ask_price", "ask_total")]
        for name in measures:
            row.append(r[name.replace(":", "_")].item())
        out.append(row)
    return out


def same(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert len(g) == len(w)
        for x, y in zip(g, w):
            if isinstance(y, float) and math.isnan(y):
                assert isinstance(x, float) and math.isnan(x), (g, w)
            elif isinstance(y, float):
                assert math.isclose(x, y, rel_tol=1e-12), (g, w)
            else:
                assert x == y, (g, w)


def last_at_or_before(times, tick):
    return int(np.searchsorted(times, tick, side="right")) - 1


def sampled(events, sampler, chunks=1):
    """The rows of one replay of `events`, fed in `chunks` pieces."""
    book = core.Book()
    bounds = np.linspace(0, len(events), chunks + 1).astype(int)
    ends = getattr(sampler, "group_ends", None)
    for a, b in zip(bounds[:-1], bounds[1:]):
        kwargs = {"group_ends": ends[a:b]} if ends is not None else {}
        book.replay(events[a:b], sampler=sampler.core, **kwargs)
    sampler.core.finish(book)
    return sampler.core.take()


class Wrapped:
    def __init__(self, core_sampler, group_ends=None):
        self.core, self.group_ends = core_sampler, group_ends


def seqs_and_times(mode, events, value):
    times = events["time"]
    n = len(events)
    if mode == "event":
        return list(range(n)), times.tolist()
    if mode == "events":
        seqs = [i for i in range(n) if (i + 1) % value == 0]
        return seqs, [int(times[i]) for i in seqs]
    if mode == "groups":
        seqs = [i for i in range(n) if value[i]]
        return seqs, [int(times[i]) for i in seqs]
    if mode == "every":
        first = -(-int(times[0]) // value) * value
        last = -(-int(times[-1]) // value) * value
        ticks = list(range(first, last + 1, value))
        return [last_at_or_before(times, t) for t in ticks], ticks
    if mode == "at":
        return [last_at_or_before(times, t) for t in value], list(value)
    raise AssertionError(mode)


MODES = [("event", None), ("events", 1), ("events", 7), ("every", 13), ("every", 100),
         ("every", 2_500), ("groups", None), ("at", None)]


@pytest.mark.parametrize("chunks", [1, 3], ids=["whole", "three-chunks"])
@pytest.mark.parametrize("mode, value", MODES, ids=[f"{m}-{v}" for m, v in MODES])
@pytest.mark.parametrize("seed", [1, 2])
def test_rows_and_measures_equal_a_plain_computation(seed, mode, value, chunks):
    events = flow(seed)
    rng = random.Random(seed)
    if mode == "groups":
        value = np.array([rng.random() < 0.3 for _ in events], bool)
        value[-1] = True
    if mode == "at":
        span = int(events["time"][-1]) - int(events["time"][0])
        value = sorted(int(events["time"][0]) + rng.randint(-500, span + 500) for _ in range(60))
        value += [value[-1]]  # a time given twice
    kwargs = {"every": value} if mode == "every" else {"every_events": value} \
        if mode == "events" else {"at": value} if mode == "at" else \
        {"groups": True} if mode == "groups" else {}
    sampler = Wrapped(core.Sampler(DEPTH, measures=MEASURES, **kwargs),
                      value if mode == "groups" else None)
    got = as_lists(sampled(events, sampler, chunks), DEPTH, MEASURES)
    seqs, times = seqs_and_times(mode, events, value)
    same(got, expected(events, seqs, times, DEPTH, MEASURES))
    assert len(got) > 5


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_changed_rows_are_the_changes_of_the_top_levels(seed):
    events = flow(seed)
    book = core.Book()
    snaps = book.replay(events, depth=2).snapshots
    top = [np.concatenate([s["bid_price"], s["bid_total"], s["ask_price"], s["ask_total"]])
           .tolist() for s in snaps]
    empty = [-2**63] * 2 + [0] * 2 + [2**63 - 1] * 2 + [0] * 2
    seqs = [i for i in range(len(top)) if top[i] != (top[i - 1] if i else empty)]
    sampler = Wrapped(core.Sampler(2, changed=True, measures=["ofi", "events"]))
    got = as_lists(sampled(events, sampler, 2), 2, ["ofi", "events"])
    same(got, expected(events, seqs, [int(events["time"][i]) for i in seqs], 2,
                       ["ofi", "events"]))


def test_measures_without_levels_and_levels_without_measures():
    events = flow(4)
    for depth, measures in ((0, ["mid", "volume"]), (2, [])):
        sampler = Wrapped(core.Sampler(depth, every_events=10, measures=measures))
        got = as_lists(sampled(events, sampler), depth, measures)
        seqs, times = seqs_and_times("events", events, 10)
        same(got, expected(events, seqs, times, depth, measures))


def test_taken_rows_leave_the_sampler():
    sampler, book = core.Sampler(1, every_events=1), core.Book()
    book.replay(np.array([(core.LIMIT, BID, 1, 99, 5, 1)] * 1, core.EVENT_DTYPE), sampler=sampler)
    assert len(sampler) == 1 and len(sampler.take()) == 1 and len(sampler) == 0
    assert sampler.take().dtype == sampler.dtype


@pytest.mark.parametrize("kwargs, error, message", [
    ({"every": 0}, ValueError, "every must be a positive number of nanoseconds, got 0"),
    ({"every": -5}, ValueError, "every must be a positive number of nanoseconds, got -5"),
    ({"every_events": 0}, ValueError, "every_events must be a positive number of events"),
    ({"at": [5, 3]}, ValueError, r"at must be sorted in ascending order: at\[1\] = 3 comes "
                                 r"after at\[0\] = 5"),
    ({"at": [1.5]}, TypeError, "time in at"),
    ({"every": 5, "at": [1]}, ValueError, "give at most one of every"),
    ({"measures": ["imbalance:4"]}, ValueError, "needs the top 4 levels, but the sampler's "
                                                "depth is 3"),
    ({"measures": ["imbalance"]}, ValueError, "imbalance takes the number of levels"),
    ({"measures": ["imbalance:0"]}, ValueError, "imbalance takes the number of levels"),
    ({"measures": ["mid:2"]}, ValueError, "unknown measure 'mid:2'"),
    ({"measures": ["median"]}, ValueError, "unknown measure 'median': the measures are mid"),
    ({"measures": ["mid", "mid"]}, ValueError, "measure 'mid' is given twice"),
    ({"measures": "mid"}, TypeError, "not one string"),
    ({"measures": [3]}, TypeError, "measures must be names"),
    ({"depth": -1}, ValueError, "depth must be from 0"),
    ({"depth": 0}, ValueError, "writes no levels"),
    ({"depth": 0, "changed": True, "measures": ["mid"]}, ValueError, "changed needs a depth"),
    ({"groups": "yes"}, TypeError, "groups"),
])
def test_hostile_options_are_refused_plainly(kwargs, error, message):
    kwargs = {"depth": DEPTH} | kwargs
    with pytest.raises(error, match=message):
        core.Sampler(**kwargs)


def test_replay_refuses_what_does_not_fit_a_sampler():
    events = flow(1, 20)
    book = core.Book()
    with pytest.raises(ValueError, match="give the depth and changed to the Sampler"):
        book.replay(events, depth=2, sampler=core.Sampler(2))
    with pytest.raises(ValueError, match="needs group_ends"):
        book.replay(events, sampler=core.Sampler(2, groups=True))
    with pytest.raises(ValueError, match="group_ends is for a Sampler"):
        book.replay(events, sampler=core.Sampler(2), group_ends=np.ones(20, bool))
    with pytest.raises(ValueError, match="one byte .a bool. per event: 19 for 20 events"):
        book.replay(events, sampler=core.Sampler(2, groups=True), group_ends=np.ones(19, bool))
    with pytest.raises(TypeError, match="sampler must be a velmora.core.Sampler"):
        book.replay(events, sampler=object())
    assert len(book) == 0  # nothing was applied


def test_a_gap_of_more_ticks_than_rows_allowed_stops_before_it():
    sampler, book = core.Sampler(1, every=1), core.Book()
    events = np.array([(core.LIMIT, BID, 1, 99, 5, 0), (core.LIMIT, BID, 2, 98, 5, 2**40)],
                      core.EVENT_DTYPE)
    with pytest.raises(ValueError, match="event 1: the sampler would write more than") as info:
        book.replay(events, sampler=sampler)
    assert info.value.applied == 1 and len(book) == 1 and len(sampler) == 0


@pytest.mark.parametrize("times", [[2**63 - 10, 2**63 - 1], [-2**63, -2**63 + 3]],
                         ids=["end-of-time", "start-of-time"])
def test_ticks_at_the_ends_of_int64_time(times):
    sampler, book = core.Sampler(1, every=2**62), core.Book()
    events = np.array([(core.LIMIT, BID, k + 1, 99, 5, t) for k, t in enumerate(times)],
                      core.EVENT_DTYPE)
    book.replay(events, sampler=sampler)
    sampler.finish(book)
    rows = sampler.take()
    assert rows["seq"].tolist()[-1] == 1 and rows["time"].tolist()[-1] >= times[-1]


@pytest.mark.parametrize("chunks", [1, 4])
@pytest.mark.parametrize("mode", ["every", "at"])
def test_time_modes_without_per_event_measures(mode, chunks):
    # Without order-flow imbalance the sampler does not look at each event: the rows must
    # still reflect the right ones, the last included.
    events, rng = flow(5), random.Random(5)
    value = 450 if mode == "every" else sorted(
        rng.randint(0, int(events["time"][-1]) + 900) for _ in range(40))
    measures = ["mid", "volume", "trades", "events"]
    kwargs = {"every": value} if mode == "every" else {"at": value}
    got = as_lists(sampled(events, Wrapped(core.Sampler(2, measures=measures, **kwargs)),
                           chunks), 2, measures)
    seqs, times = seqs_and_times(mode, events, value)
    same(got, expected(events, seqs, times, 2, measures))
