"""Sampled rows of LOBSTER replays against the same computed in plain Python from the rows
after every message of the same replay: every sampling mode and every measure, on generated
files with empty sides (a session from the open), a halt, bursts of messages at one time,
silences longer than the interval, and refused events; the command's options, the outputs,
and hostile options."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest

from velmora import lobster

sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "reference"))
from lobster_files import level_file, make_session, write  # noqa: E402

ALL = ["mid", "spread", "microprice", "imbalance:1", "imbalance:3", "ofi", "volume",
       "notional", "vwap", "trades", "events"]
SECOND = 10**9


@pytest.fixture(scope="module")
def flow():
    # Bursts at one time stamp and silences of 2 to 6 s between messages 1 to 40 ms apart.
    return make_session(31, 5000, depth=12, bursts=0.15, gaps=0.01)


def arrays(flow, levels, start, fault=False):
    messages, rows = level_file(flow, levels, start)
    if fault:  # an execution of more than the order holds: the engine refuses it
        at = next(i for i in range(300, len(messages)) if messages[i][1] == 4)
        messages[at] = messages[at][:3] + (messages[at][3] + 10**6,) + messages[at][4:]
    return np.array(messages, lobster.MESSAGE_DTYPE), np.array(rows, np.int64)


class Plain:
    """The per-message rows of a full replay, and what a sampled row must hold, computed
    message by message."""

    def __init__(self, messages, orderbook, follow):
        self.full = lobster.replay(messages, orderbook, follow=follow)
        self.rows = self.full.rows()
        self.messages = messages
        self.first = self.full.first
        events, owners, _ = lobster.all_events(messages, orderbook, follow)
        self.events = np.bincount(owners, minlength=len(messages))
        # The events the engine applied: all but those it refused.
        refused = [m for m, _ in self.full.refused]
        np.subtract.at(self.events, refused, 1)
        # Messages whose events reach the book, after the starting row; one whose last event
        # is refused gets no row (the faults here are messages of one event).
        self.book = [m for m in range(self.first, len(messages)) if self.events[m]]
        assert all(self.events[m] == 0 for m in refused)
        # Additions that traded in a strict replay (against levels the file stopped
        # describing): their fills count in the traded measures, which rows cannot show.
        self.crossed = set(self.full.crossed_at.tolist())
        # What each visible execution took off the replayed book (less than its size where
        # a strict replay's level lacks orders the file never described).
        self.taken = np.zeros(len(messages), np.int64)
        self.taken[self.full.trades["message"]] = self.full.trades["book_size"]

    def row(self, m):
        """The levels after message m (-1: the empty book before any)."""
        if m < 0:
            return np.array([lobster.EMPTY_ASK, 0, lobster.EMPTY_BID, 0] * self.full.levels)
        return self.rows[m]

    def last_at(self, t):
        """The last message reaching the book at or before time t, else the one before the
        first replayed."""
        out = self.first - 1
        for m in self.book:
            if self.messages["time"][m] > t:
                break
            out = m
        return out

    def expected(self, picks):
        """(message, time) per row -> the rows as dicts of columns."""
        out, before = [], self.first - 1
        for m, t in picks:
            out.append(self.measures(before, m, t))
            before = m
        return out

    def measures(self, before, m, t):
        row = self.row(m)
        ask, ask_size, bid, bid_size = (int(x) for x in row[:4])
        both = ask_size > 0 and bid_size > 0
        nan = math.nan
        got = {"message": m, "time": t, "levels": row.tolist(),
               "mid": (ask + bid) / 2 if both else nan,
               "spread": float(ask - bid) if both else nan,
               "microprice": (bid * ask_size + ask * bid_size) / (ask_size + bid_size)
               if both else nan}
        for k in (1, 3):
            b, a = int(row[3:4 * k:4].sum()), int(row[1:4 * k:4].sum())
            got[f"imbalance_{k}"] = (b - a) / (b + a) if a + b else nan
        ofi = volume = trades = events = 0
        notional = 0
        for j in range(before + 1, m + 1):
            was, now = self.best(j - 1), self.best(j)
            ofi += flow_of(was, now)
            size, price = int(self.taken[j]), int(self.messages["price"][j])
            if size and j >= self.first:
                volume += size
                notional += size * price
                trades += 1
            events += int(self.events[j])
        got.update(ofi=ofi, volume=volume, notional=float(notional), trades=trades,
                   events=events, vwap=notional / volume if volume else nan)
        if self.crossed & set(range(before + 1, m + 1)):
            got.update(volume=None, notional=None, trades=None, vwap=None)
        return got

    def best(self, m):
        row = self.row(m)
        return (int(row[2]), int(row[3]), int(row[0]), int(row[1]))


def flow_of(was, now):
    """Cont, Kukanov and Stoikov's e, an empty bid at -inf and an empty ask at +inf."""
    pb, qb, pa, qa = now
    pb_, qb_, pa_, qa_ = was
    pb, pb_ = (pb if qb else -math.inf), (pb_ if qb_ else -math.inf)
    pa, pa_ = (pa if qa else math.inf), (pa_ if qa_ else math.inf)
    return (qb if pb >= pb_ else 0) - (qb_ if pb <= pb_ else 0) \
        - (qa if pa <= pa_ else 0) + (qa_ if pa >= pa_ else 0)


def same(got, expected, measures):
    rows = got.rows
    assert len(rows) == len(expected)
    levels = got.levels_array()
    for j, want in enumerate(expected):
        assert (int(rows["message"][j]), int(rows["time"][j])) == (want["message"], want["time"])
        assert levels[j].tolist() == want["levels"], j
        for name in measures:
            column = name.replace(":", "_")
            value = float(rows[column][j])
            if want[column] is None:
                continue
            assert (math.isnan(value) and math.isnan(want[column])) or \
                value == pytest.approx(want[column], rel=1e-12, abs=1e-9), (j, column)


CASES = [
    pytest.param(10, 0, True, False, id="level-10-from-the-open"),  # empty sides at first
    pytest.param(5, 600, True, False, id="level-5-mid-session-follow"),
    pytest.param(3, 600, False, False, id="level-3-strict"),
    pytest.param(10, 600, True, True, id="level-10-refused-event"),
]


@pytest.mark.parametrize("levels, start, follow, fault", CASES)
@pytest.mark.parametrize("every", [SECOND, 250_000_000], ids=["1s", "250ms"])
def test_every_interval(flow, levels, start, follow, fault, every):
    messages, orderbook = arrays(flow, levels, start, fault)
    plain = Plain(messages, orderbook, follow)
    if fault:
        assert plain.full.refused  # the premise
    times = messages["time"][plain.book]
    ticks = range(-(-int(times[0]) // every) * every, int(times[-1]) + every, every)
    picks = [(plain.last_at(t), t) for t in ticks]
    assert any(a == b for (a, _), (b, _) in zip(picks, picks[1:]))  # silences repeat a row
    got = lobster.replay(messages, orderbook, follow=follow, every=every, measures=ALL)
    same(got.samples, plain.expected(picks), ALL)
    assert got.refused == plain.full.refused and got.unknown == plain.full.unknown
    assert (got.trades == plain.full.trades).all()


@pytest.mark.parametrize("levels, start, follow, fault", CASES)
@pytest.mark.parametrize("k", [1, 7, 250])
def test_every_k_messages(flow, levels, start, follow, fault, k):
    messages, orderbook = arrays(flow, levels, start, fault)
    plain = Plain(messages, orderbook, follow)
    picks = [(m, int(messages["time"][m])) for m in plain.book[k - 1::k]]
    got = lobster.replay(messages, orderbook, follow=follow, every_events=k, measures=ALL)
    same(got.samples, plain.expected(picks), ALL)


@pytest.mark.parametrize("levels, start, follow, fault", CASES)
def test_at_given_times(flow, levels, start, follow, fault):
    messages, orderbook = arrays(flow, levels, start, fault)
    plain = Plain(messages, orderbook, follow)
    t = messages["time"]
    # Before the first message, at message times (bursts among them), between, repeated,
    # and after the last.
    at = np.array(sorted([0, int(t[0]), int(t[0]) + 1] + [int(x) for x in t[3::97]]
                         + [int(x) + 1 for x in t[5::211]] + [int(t[40])] * 3
                         + [int(t[-1]), int(t[-1]) + 5 * SECOND]), np.int64)
    picks = [(plain.last_at(x), int(x)) for x in at]
    got = lobster.replay(messages, orderbook, follow=follow, at=at, measures=ALL)
    same(got.samples, plain.expected(picks), ALL)


def test_a_message_that_becomes_several_events_is_sampled_whole(flow):
    # Under the follow rule a message can bring a LEVEL run after it: rows every event of the
    # stream would fall inside such runs; rows every message never do.
    messages, orderbook = arrays(flow, 3, 600)
    plain = Plain(messages, orderbook, True)
    runs = [m for m in plain.book if plain.events[m] > 1]
    assert runs  # the premise
    got = lobster.replay(messages, orderbook, every_events=1, measures=["events"])
    assert got.samples.rows["message"].tolist() == plain.book
    assert (got.samples.levels_array() == plain.rows[plain.book]).all()
    assert got.samples.rows["events"].tolist() == plain.events[plain.book].tolist()


def test_sampling_with_the_rows_kept(flow):
    messages, orderbook = arrays(flow, 5, 600)
    kept = lobster.replay(messages, orderbook, every="1s", measures=["mid"], keep_rows=True)
    only = lobster.replay(messages, orderbook, every="1s", measures=["mid"])
    plain = lobster.replay(messages, orderbook)
    assert (kept.rows() == plain.rows()).all()
    assert only.samples.rows.tolist() == kept.samples.rows.tolist()
    with pytest.raises(ValueError, match="kept no rows after every message"):
        only.rows()


def test_outputs(flow, tmp_path):
    messages, orderbook = arrays(flow, 5, 600)
    samples = lobster.replay(messages, orderbook, every="500ms",
                             measures=["mid", "imbalance:5", "ofi"]).samples
    rows = samples.rows
    frame = samples.to_pandas()
    assert list(frame.columns) == list(rows.dtype.names)
    assert list(frame.columns[:6]) == ["message", "time", "ask_price_1", "ask_size_1",
                                       "bid_price_1", "bid_size_1"]
    assert list(frame.columns[-3:]) == ["mid", "imbalance_5", "ofi"]
    assert frame["ofi"].tolist() == rows["ofi"].tolist()
    pq = pytest.importorskip("pyarrow.parquet")
    table = pq.read_table(samples.write(tmp_path / "s.parquet"))
    assert table.column_names == list(rows.dtype.names)
    assert table.column("mid").to_pylist() == rows["mid"].tolist()
    csv = samples.write(tmp_path / "s.csv", "csv").read_text().splitlines()
    assert csv[0].split(",") == list(rows.dtype.names) and len(csv) == len(rows) + 1
    assert [float(x) for x in csv[1 + len(rows) // 2].split(",")] == \
        [float(x) for x in rows[len(rows) // 2].tolist()]
    try:
        import polars  # noqa: F401
    except ImportError:
        with pytest.raises(ImportError, match="velmora\\[polars\\]"):
            samples.to_polars()
    else:
        assert samples.to_polars()["ofi"].to_list() == rows["ofi"].tolist()


@pytest.mark.parametrize("text, ns", [("1s", SECOND), ("100ms", 10**8), ("250us", 250_000),
                                      ("1.5s", 1_500_000_000), ("2min", 120 * SECOND),
                                      ("1h", 3600 * SECOND), ("500", 500), (7, 7)])
def test_intervals(text, ns):
    assert lobster.parse_interval(text) == ns


HOSTILE = [
    pytest.param({"every": 0}, "positive", id="zero-interval"),
    pytest.param({"every": -5}, "positive", id="negative-interval"),
    pytest.param({"every": "0ms"}, "positive", id="zero-with-unit"),
    pytest.param({"every": "1 fortnight"}, "unit", id="unknown-unit"),
    pytest.param({"every": "0.5ns"}, "whole number of nanoseconds", id="half-a-nanosecond"),
    pytest.param({"every_events": 0}, "positive", id="zero-events"),
    pytest.param({"every_events": -3}, "positive", id="negative-events"),
    pytest.param({"every_events": 2.5}, "whole number", id="fractional-events"),
    pytest.param({"at": np.array([5, 3, 9])}, "sorted", id="unsorted-times"),
    pytest.param({"at": np.array([0.5, 1.0])}, "integer times", id="float-times"),
    pytest.param({"at": np.zeros((2, 2), np.int64)}, "one-dimensional", id="2d-times"),
    pytest.param({"every": "1s", "at": np.array([1])}, "give one of", id="two-modes"),
    pytest.param({"measures": ["mid"]}, "give every", id="measures-alone"),
    pytest.param({"every": "1s", "measures": ["median"]}, "unknown measure", id="unknown"),
    pytest.param({"every": "1s", "measures": ["imbalance:x"]}, "imbalance takes", id="bad-k"),
    pytest.param({"every": "1s", "measures": ["imbalance:6"]}, "needs the top 6",
                 id="k-beyond-depth"),
    pytest.param({"every": "1s", "measures": ["mid", "mid"]}, "twice", id="twice"),
]


@pytest.mark.parametrize("options, problem", HOSTILE)
def test_hostile_options_are_refused(flow, options, problem):
    messages, orderbook = arrays(flow, 5, 600)
    with pytest.raises(ValueError, match=problem):
        lobster.replay(messages, orderbook, **options)


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", "velmora.lobster", *map(str, args)],
                          capture_output=True, text=True, cwd=cwd, timeout=120)


def test_the_command_samples(flow, tmp_path):
    message, orderbook, messages, _ = write(tmp_path, flow, 5, 600)
    array, rows = arrays(flow, 5, 600)
    want = lobster.replay(array, rows, every_events=100, measures=["mid", "imbalance:5"]).samples
    done = run("replay", message, "--every-events", "100", "--measures", "mid,imbalance:5",
               "--out", "rows.csv", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    lines = (tmp_path / "rows.csv").read_text().splitlines()
    assert len(lines) == len(want) + 1 and lines[0].endswith(",mid,imbalance_5")
    np.save(tmp_path / "times.npy", array["time"][::500])
    checked = run("check", message, orderbook, "--at", "times.npy", "--measures", "vwap",
                  "--out", "at.parquet", cwd=tmp_path)
    assert checked.returncode == 0, checked.stderr
    assert f"sampled rows: at.parquet ({len(array[::500])})" in checked.stdout


@pytest.mark.parametrize("args, problem", [
    (["--every", "0s"], "positive"),
    (["--every=-1s"], "interval"),
    (["--every", "1s", "--every-events", "5"], "give one of"),
    (["--every", "1s", "--measures", "imbalance:6"], "needs the top 6"),
    (["--every", "1s", "--measures", "nope"], "unknown measure"),
    (["--at", "times.npy"], "sorted"),
    (["--at", "missing.npy"], "missing.npy"),
    (["--at", "text.npy"], "not a NumPy"),
    (["--out", "x.csv"], "give --every"),
])
def test_the_command_refuses_hostile_options(flow, tmp_path, args, problem):
    message, orderbook, _, _ = write(tmp_path, flow, 5, 600)
    np.save(tmp_path / "times.npy", np.array([3, 1, 2], np.int64))
    (tmp_path / "text.npy").write_text("34200.5\n")
    done = run("check", message, orderbook, *args, cwd=tmp_path)
    assert done.returncode == 2 and problem in done.stderr, done.stderr
    assert done.stdout == ""
