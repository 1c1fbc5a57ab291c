"""velmora.itch against ITCH files generated from seeded flows (reference/itch_files.py) and
replayed by a plain-Python reference: every trade, every stock's counts and final book, and
the top levels after every change and at intervals are equal; with a symbol filter, gzip or
anomalies as well."""

import os
import sys

import numpy as np
import pytest

from velmora import core, itch

sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "reference"))
from itch_files import COUNTERS, generate, reference_replay  # noqa: E402


@pytest.fixture(scope="module")
def day(tmp_path_factory):
    path = tmp_path_factory.mktemp("itch") / "day.itch"
    info = generate(path, seed=3, stocks=25, messages=12_000, anomalies=True)
    return path, info


def compare(native, ref, depth):
    assert [tuple(t) for t in native.trades.tolist()] == ref["trades"]
    assert native.messages == ref["messages"]
    assert native.skipped == ref["skipped"] and native.other == ref["other"]
    assert native.unknown_matches == ref["unknown_matches"]
    assert sorted(native.books) == sorted(ref["stocks"])
    for row in native.summary:
        st = ref["stocks"][int(row["locate"])]
        assert row["symbol"] == (st.symbol or "")
        assert {c: int(row[c]) for c in COUNTERS} == st.counts, st.symbol
        book = native.books[int(row["locate"])]
        assert book.feed and book.crossed == st.crossed()
        assert book.orders() == st.rows(), st.symbol
        book._check()
    if depth:
        def flat(rows):
            return [(int(r["time"]), int(r["seq"]), int(r["locate"]), *r["bid_price"].tolist(),
                     *r["bid_total"].tolist(), *r["ask_price"].tolist(),
                     *r["ask_total"].tolist()) for r in rows]
        assert flat(native.top) == ref["rows"]
        assert flat(native.samples) == ref["samples"]
        assert len(native.top) > 100 and len(native.samples) > 20


@pytest.mark.parametrize("symbols, depth, watch", [
    (None, 0, None),
    (None, 3, None),
    ("filter", 5, None),
    (None, 2, "watch"),
], ids=["all-no-top", "all-top3", "filtered-top5", "all-watch-two"])
def test_native_replay_equals_the_reference(day, symbols, depth, watch):
    path, info = day
    if symbols == "filter":
        symbols = info["active"][::3] + info["symbols"][-1:]  # one quiet stock among them
    if watch == "watch":
        watch = info["active"][:2]
    every = 1_000_000_000 if depth else None
    native = itch.replay(path, symbols, depth=depth, top=watch, every=every)
    ref = reference_replay(path, set(symbols) if symbols else None, depth, every or 0,
                           set(watch) if watch else None)
    compare(native, ref, depth)


def test_generated_day_exercises_every_rule(day):
    """The premises of the comparison: halts crossed books, replaces, executions with price,
    broken trades, anomalies and quiet stocks all occur."""
    path, info = day
    result = itch.replay(path)
    s = result.summary
    assert info["halts"] > 5 and s["crossed"].sum() > 50
    for kind in "RHAFECXDUPQB":
        assert s[kind].sum() > 0, kind
    assert result.other > 0 and result.trades["broken"].sum() > 0
    assert not result.trades["printable"].all()
    assert {k.decode() for k in np.unique(result.trades["kind"])} == set("ECPQ")
    for counter in ("unknown", "duplicate", "overshoot", "undirected"):
        assert s[counter].sum() > 0, counter
    assert result.unknown_matches > 0
    quiet = s[np.isin(s["symbol"], info["symbols"][-3:])]
    assert len(quiet) == 3 and (quiet["R"] == 1).all() and quiet["A"].sum() == 0
    assert set(result.system_events["code"]) == {"O", "S", "C"}
    assert set(result.trading_actions["state"]) == {"H", "T"}
    undirected = result.books[60_000]
    assert result.symbols[60_000] is None and len(undirected) == 2
    assert isinstance(result.book(info["active"][0]), core.Book)


@pytest.mark.parametrize("seed", [11, 12])
def test_gzip_equals_plain_and_reference(tmp_path, seed):
    plain, packed = tmp_path / "d.itch", tmp_path / "d.itch.gz"
    generate(plain, seed=seed, stocks=12, messages=6000)
    generate(packed, seed=seed, stocks=12, messages=6000)
    a = itch.replay(plain, depth=2, every="500ms")
    b = itch.replay(packed, depth=2, every="500ms")
    assert a.trades.tobytes() == b.trades.tobytes() and a.top.tobytes() == b.top.tobytes()
    assert a.samples.tobytes() == b.samples.tobytes()
    assert a.summary.tolist() == b.summary.tolist()
    compare(b, reference_replay(packed, None, 2, 500_000_000), 2)


def test_progress_reports_bytes_read(tmp_path):
    path = tmp_path / "d.itch"
    generate(path, seed=5, stocks=5, messages=3000)
    seen = []
    itch.replay(path, progress=seen.append)
    assert seen and seen[-1] == os.path.getsize(path)


def test_parquet_partitioned_by_symbol(tmp_path, day):
    pq = pytest.importorskip("pyarrow.parquet")
    path, info = day
    result = itch.replay(path, info["active"][:3], depth=2, every="1s")
    out = result.write_parquet(tmp_path / "out")
    trades = pq.read_table(out / "trades").to_pandas()
    assert sorted(os.listdir(out / "trades")) == sorted(
        f"symbol={s}" for s in set(trades["symbol"]))
    for symbol in info["active"][:3]:
        mine = trades[trades["symbol"] == symbol].sort_values("match")
        expect = np.sort(result.trades_of(symbol), order="match")
        assert mine["match"].tolist() == expect["match"].tolist()
        assert mine["price"].tolist() == expect["price"].tolist()
        top = pq.read_table(out / "top" / f"symbol={symbol}").to_pandas().sort_values("seq")
        rows = result.top_of(symbol)
        assert top["bid_price_1"].tolist() == rows["bid_price"][:, 0].tolist()
        assert top["ask_total_2"].tolist() == rows["ask_total"][:, 1].tolist()
    summary = pq.read_table(out / "summary.parquet").to_pandas()
    assert summary["trades"].sum() == len(result.trades)


@pytest.mark.parametrize("every, ns", [
    ("1s", 10**9), ("250ms", 250 * 10**6), ("5min", 300 * 10**9), ("1.5s", 1_500_000_000),
    (7, 7), (None, 0),
], ids=["1s", "250ms", "5min", "fraction", "int", "none"])
def test_intervals(every, ns):
    assert itch.parse_every(every) == ns


@pytest.mark.parametrize("every", ["0s", "1 parsec", -5, True], ids=["zero", "unit", "neg", "bool"])
def test_bad_intervals(every):
    with pytest.raises((ValueError, TypeError)):
        itch.parse_every(every)


def cut_before(path, out, time):
    """The file's messages stamped at or before `time` (the generator's times rise)."""
    raw = path.read_bytes()
    pos = 0
    while pos < len(raw):
        n = int.from_bytes(raw[pos:pos + 2], "big")
        if int.from_bytes(raw[pos + 7:pos + 13], "big") > time:
            break
        pos += 2 + n
    out.write_bytes(raw[:pos])


def test_books_at_chosen_times_equal_the_file_cut_there(day, tmp_path):
    path, _ = day
    t0 = itch.replay(path).trades["time"]
    times = [int(t0[len(t0) // 5]), int(t0[len(t0) // 2]), int(t0[-1]) + 1, 86_000 * 10**9]
    result = itch.replay(path, books_at=times)
    for at in times:
        cut = tmp_path / f"cut{at}.itch"
        cut_before(path, cut, at)
        expect = itch.replay(cut).books
        copied = result.books_at(at)
        assert sorted(copied) == sorted(result.books)  # every stock of the day, each...
        for locate, book in copied.items():            # ...empty before its first message
            assert book.feed
            assert book.orders() == (expect[locate].orders() if locate in expect else []), locate
        assert sum(len(b) for b in copied.values()) > 100
    with pytest.raises(KeyError, match="no books at"):
        result.books_at("10:00")
    assert itch.parse_time("09:30") == 34_200 * 10**9
    assert itch.parse_time("15:59:59.25") == 57_599_250_000_000
    with pytest.raises(ValueError, match="ascending"):
        itch.replay(path, books_at=[times[1], times[0]])
