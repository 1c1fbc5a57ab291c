"""The native DBN replay against the plain-Python reference book of reference/dbn_files.py:
the top levels after every event group, every trade, the whole queues at cut points and at
the end, over several instruments and venues with clears, snapshots and modifies; the
vendor's rules one by one on small hand-made files; files written by Databento's own
encoder; and malformed input."""

import sys
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
zstandard = pytest.importorskip("zstandard")

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "reference"))
import dbn_files  # noqa: E402
from dbn_files import F_BAD_TS_RECV, F_LAST, F_MAYBE_BAD_BOOK, F_SNAPSHOT, F_TOB  # noqa: E402

from velmora import dbn  # noqa: E402

DEPTH = 32  # more levels than the flow's books ever hold: the rows are whole books
T0 = 1_704_200_000_000_000_000
INT64_MIN, INT64_MAX = -2**63, 2**63 - 1


def reference_rows(flow):
    """The reference's top levels after every event group, only where they changed, as the
    replay's rows: (record, publisher, instrument, bid prices, bid totals, ask prices, ask
    totals)."""
    last, rows = {}, []
    for index, key, (bids, asks) in flow.tops:
        levels = []
        for side, empty in ((bids, INT64_MIN), (asks, INT64_MAX)):
            pad = DEPTH - len(side)
            levels.append([p for p, _, _ in side] + [empty] * pad)
            levels.append([t for _, t, _ in side] + [0] * pad)
        state = (levels[0], levels[1], levels[2], levels[3])
        if last.get(key, ([INT64_MIN] * DEPTH, [0] * DEPTH, [INT64_MAX] * DEPTH,
                          [0] * DEPTH)) != state:
            rows.append((index, *key, *state))
        last[key] = state
    return rows


def our_rows(result):
    return [(int(r["record"]), int(r["publisher_id"]), int(r["instrument_id"]),
             r["bid_price"].tolist(), r["bid_total"].tolist(), r["ask_price"].tolist(),
             r["ask_total"].tolist()) for r in result.top]


def queues(book):
    """A velmora.core.Book's orders as {side letter: [(price, [(id, size)...])]}, best first;
    a top-of-book level's id as the reference names it."""
    out = {"B": [], "A": []}
    for order_id, side, price, size, *_ in book.orders():
        letter = "B" if side == 0 else "A"
        if order_id in (INT64_MIN, INT64_MIN + 1):
            order_id = ("top", letter)
        levels = out[letter]
        if not levels or levels[-1][0] != price:
            levels.append((price, []))
        levels[-1][1].append((order_id, size))
    return out


def reference_queues(plain):
    return {side: [(p, [(i, plain.orders[i][2]) for i in ids])
                   for p, ids in plain.sides[side].items()] for side in "BA"}


@pytest.fixture(scope="module")
def flow():
    return dbn_files.make_flow(11, 12_000, instruments=(38, 39, 40, 700_000_000),
                               publishers=(1, 2, 3), tob_publisher=3, depth=DEPTH)


@pytest.mark.parametrize("form", ["plain", "zstd"])
@pytest.mark.parametrize("block", [1 << 22, 1000 * 56 + 13, 1024],
                         ids=["one-block", "records-cut", "small-blocks"])
def test_every_group_every_trade_and_the_final_books_equal_the_reference(tmp_path, flow,
                                                                         form, block):
    path = dbn_files.write(tmp_path / "f.dbn", flow, zstd=form == "zstd")
    result = dbn.replay(path, depth=DEPTH, block=block)
    assert result.records == len(flow.records)
    assert our_rows(result) == reference_rows(flow)
    expected = [(flow.records[i][7], flow.records[i][2], flow.records[i][9], flow.records[i][4],
                 flow.records[i][5], flow.records[i][3], i) for i in flow.trades]
    assert [(t["action"].decode(), int(t["ts_event"]), int(t["ts_recv"]), int(t["price"]),
             int(t["size"]), int(t["order_id"]), int(t["record"]))
            for t in result.trades] == expected
    assert set(result.books) == set(flow.books)
    for key, plain in flow.books.items():
        assert queues(result.books[key]) == reference_queues(plain), key
        result.books[key]._check()


def test_the_flow_covers_what_the_rules_are_about(flow):
    actions = {r[7] for r in flow.records}
    assert actions == set("ACMRTFN")
    flags = [r[6] for r in flow.records]
    assert any(f & F_SNAPSHOT for f in flags) and any(f & F_TOB for f in flags)
    assert sum(1 for f in flags if not f & F_LAST) > 200  # groups of several records
    assert len({(r[0], r[1]) for r in flow.records}) == 12
    # The rows compared after every group hold each book whole.
    assert max(max(len(bids), len(asks)) for _, _, (bids, asks) in flow.tops) < DEPTH


@pytest.mark.parametrize("share", [0.2, 0.5, 0.8])
def test_the_whole_queues_equal_the_reference_mid_file(tmp_path, flow, share):
    # Cut the flow after a group's last record and replay both sides up to there.
    cut = next(i for i, *_ in flow.tops if i >= share * len(flow.records)) + 1
    head = dbn_files.Flow(records=flow.records[:cut])
    path = dbn_files.write(tmp_path / "head.dbn", head,
                           symbols={f"S{i}": [(20240102, 20240104, i)] for i in (38, 39, 40)})
    result = dbn.replay(path)
    plains = {}
    for publisher, instrument, _, order_id, price, size, flags, action, side, *_ in head.records:
        plain = plains.setdefault((publisher, instrument), dbn_files.PlainBook())
        plain.apply(action, side, order_id, price, size, flags)
    for key, plain in plains.items():
        assert queues(result.books[key]) == reference_queues(plain), key
    summary = {(int(r["publisher_id"]), int(r["instrument_id"])): r for r in result.summary}
    for key, plain in plains.items():
        assert summary[key]["unknown"] + summary[key]["duplicate"] == plain.unknown
    assert result.symbols == {38: "S38", 39: "S39", 40: "S40"}


def test_summary_counts_actions_groups_and_flags(tmp_path, flow):
    path = dbn_files.write(tmp_path / "f.dbn", flow)
    result = dbn.replay(path)
    for row in result.summary:
        key = (int(row["publisher_id"]), int(row["instrument_id"]))
        mine = [r for r in flow.records if (r[0], r[1]) == key]
        for action in "ACMRTFN":
            assert row[action] == sum(r[7] == action for r in mine)
        assert row["groups"] == sum(bool(r[6] & F_LAST) for r in mine)
        assert row["trades"] == sum(r[7] in "TF" for r in mine)
        assert row["bad_book"] == sum(bool(r[6] & F_MAYBE_BAD_BOOK) for r in mine)
        assert row["bad_ts_recv"] == sum(bool(r[6] & F_BAD_TS_RECV) for r in mine)
        assert row["snapshot"] == sum(bool(r[6] & F_SNAPSHOT) for r in mine)
        assert row["crossed"] == sum(1 for _, k, (bids, asks) in flow.tops if k == key
                                     and bids and asks and bids[0][0] >= asks[0][0])
    assert result.summary["crossed"].sum() > 0
    assert result.summary["symbol"].tolist().count("SYM700000000") == 3


# Hand-made files: one book (publisher 1, instrument 38) unless a record says otherwise.
def rec(action, side, order_id, price, size, flags=F_LAST, t=0, publisher=1, instrument=38,
        recv=None):
    return (publisher, instrument, T0 + t, order_id, price, size, flags, action, side,
            T0 + t + 500 if recv is None else recv, 0)


def run(tmp_path, records, **options):
    path = dbn_files.write(tmp_path / "h.dbn", dbn_files.Flow(records=list(records)))
    return dbn.replay(path, **options)


BASE = [rec("A", "B", 1, 100, 10), rec("A", "B", 2, 100, 20), rec("A", "B", 3, 100, 30),
        rec("A", "A", 9, 105, 5)]


@pytest.mark.parametrize("record, bids", [
    (rec("M", "B", 1, 100, 4), [(100, [(1, 4), (2, 20), (3, 30)])]),
    (rec("M", "B", 1, 100, 10), [(100, [(1, 10), (2, 20), (3, 30)])]),
    (rec("M", "B", 1, 100, 11), [(100, [(2, 20), (3, 30), (1, 11)])]),
    (rec("M", "B", 1, 101, 10), [(101, [(1, 10)]), (100, [(2, 20), (3, 30)])]),
    (rec("M", "B", 2, 99, 1), [(100, [(1, 10), (3, 30)]), (99, [(2, 1)])]),
    (rec("M", "B", 2, 100, 0), [(100, [(1, 10), (3, 30)])]),
    (rec("C", "B", 2, 100, 5), [(100, [(1, 10), (2, 15), (3, 30)])]),
    (rec("C", "B", 2, 100, 20), [(100, [(1, 10), (3, 30)])]),
    (rec("F", "B", 1, 100, 10), [(100, [(1, 10), (2, 20), (3, 30)])]),
    (rec("T", "A", 0, 100, 10), [(100, [(1, 10), (2, 20), (3, 30)])]),
    (rec("N", "N", 0, INT64_MAX, 0), [(100, [(1, 10), (2, 20), (3, 30)])]),
    (rec("A", "B", 4, 106, 7), [(106, [(4, 7)]), (100, [(1, 10), (2, 20), (3, 30)])]),
], ids=["modify-smaller-keeps-place", "modify-same-keeps-place", "modify-larger-to-back",
        "modify-price-to-new-level", "modify-price-down", "modify-to-zero-removes",
        "cancel-partial-keeps-place", "cancel-whole", "fill-leaves-book", "trade-leaves-book",
        "none", "add-crossing-rests"])
def test_each_action_as_the_vendor_means_it(tmp_path, record, bids):
    result = run(tmp_path, BASE + [record])
    book = result.books[(1, 38)]
    assert queues(book)["B"] == bids
    assert queues(book)["A"] == [(105, [(9, 5)])]
    assert book.crossed == (bids[0][0] >= 105)


def test_a_fill_and_its_cancel_show_one_row_at_the_groups_end(tmp_path):
    records = BASE + [rec("T", "A", 0, 100, 15, 0, t=5), rec("F", "B", 1, 100, 10, 0, t=5),
                      rec("C", "B", 1, 100, 10, 0, t=5), rec("F", "B", 2, 100, 5, 0, t=5),
                      rec("C", "B", 2, 100, 5, F_LAST, t=5)]
    result = run(tmp_path, records, depth=1)
    rows = our_rows(result)
    assert [r[0] for r in rows] == [0, 1, 2, 3, 8]  # no row inside the group
    assert rows[-1][3:5] == ([100], [45])
    assert [t["action"] for t in result.trades] == [b"T", b"F", b"F"]
    assert result.summary["groups"].tolist() == [5]


@pytest.mark.parametrize("count", [65_535, 65_536, 65_537, 2 * 65_536 + 7],
                         ids=["one-short-of-a-block", "a-block", "a-block-and-one", "past-two"])
def test_trades_kept_in_order_across_the_replays_blocks(tmp_path, count):
    # The replay keeps trades in blocks of 65 536: each one must come out once, in order,
    # whole, however the count falls on the blocks' edges (a none record between trades).
    records = []
    for i in range(count):
        records.append(rec("TF"[i % 2], "AB"[i % 2], i, 100 + i % 97, 1 + i % 13, t=i))
        if i % 1000 == 0:
            records.append(rec("N", "N", 0, INT64_MAX, 0, t=i))
    result = run(tmp_path, records)
    kept = [(int(t["record"]), int(t["order_id"]), int(t["price"]), int(t["size"]))
            for t in result.trades]
    assert kept == [(k, r[3], r[4], r[5]) for k, r in enumerate(records) if r[7] in "TF"]


def test_a_clear_and_its_snapshot_rebuild_the_book(tmp_path):
    snap = F_SNAPSHOT
    records = BASE + [rec("R", "N", 0, INT64_MAX, 0, snap, t=9),
                      rec("A", "A", 9, 104, 5, snap, t=9), rec("A", "B", 3, 101, 30, snap, t=9),
                      rec("A", "B", 1, 101, 10, snap | F_LAST, t=9)]
    result = run(tmp_path, records, depth=2)
    assert queues(result.books[(1, 38)]) == {"B": [(101, [(3, 30), (1, 10)])],
                                             "A": [(104, [(9, 5)])]}
    rows = our_rows(result)
    assert rows[-1][0] == 7 and rows[-1][3] == [101, INT64_MIN]  # only the rebuilt book
    assert result.summary["snapshot"].tolist() == [4] and result.summary["R"].tolist() == [1]


@pytest.mark.parametrize("record, counter", [
    (rec("C", "B", 77, 100, 1), "unknown"),
    (rec("M", "B", 77, 100, 1), "unknown"),
    (rec("M", "B", 77, 100, 0), "unknown"),
    (rec("C", "B", 77, 100, 0), "unknown"),
    (rec("A", "B", 2, 100, 5), "duplicate"),
    (rec("C", "B", 1, 100, 11), "overshoot"),
    (rec("A", "N", 5, 100, 5), "invalid"),
    (rec("A", "B", 5, 100, 0), "invalid"),
    (rec("A", "B", 5, INT64_MAX, 5), "invalid"),
    (rec("X", "B", 1, 100, 5), "other"),
], ids=["cancel-unknown", "modify-unknown", "modify-zero-unknown", "cancel-zero-unknown",
        "add-duplicate", "cancel-more-than-left", "add-no-side", "add-no-size", "add-no-price",
        "other-action"])
def test_what_cannot_apply_is_counted_and_changes_nothing_else(tmp_path, record, counter):
    result = run(tmp_path, BASE + [record])
    row = result.summary[0]
    assert row[counter] == 1
    assert sum(int(row[c]) for c in ("unknown", "duplicate", "overshoot", "invalid",
                                     "other")) == 1
    bids = queues(result.books[(1, 38)])["B"]
    expected = [(100, [(2, 20), (3, 30)])] if counter == "overshoot" else \
        [(100, [(1, 10), (2, 20), (3, 30)])]
    assert bids == expected


@pytest.mark.parametrize("record", [rec("C", "B", 77, 100, 1), rec("A", "B", 2, 100, 5)],
                         ids=["unknown", "duplicate"])
def test_stop_on_unknown_names_the_record(tmp_path, record):
    with pytest.raises(KeyError, match="order id 77 of a 'C' record|order id 2 added"):
        run(tmp_path, BASE + [record], stop_on_unknown=True)


def test_top_of_book_venue_levels_replace_their_side(tmp_path):
    tob = F_TOB | F_LAST
    records = [rec("A", "B", 0, 100, 5, tob), rec("A", "A", 0, 102, 7, tob),
               rec("A", "B", 0, 101, 3, tob), rec("A", "A", 0, INT64_MAX, 0, tob)]
    book = run(tmp_path, records).books[(1, 38)]
    assert queues(book) == {"B": [(101, [(("top", "B"), 3)])], "A": []}


def test_crossed_groups_are_counted_until_the_feed_uncrosses(tmp_path):
    records = BASE + [rec("A", "B", 4, 106, 1, t=1), rec("N", "N", 0, INT64_MAX, 0, t=2),
                      rec("C", "B", 4, 106, 1, t=3), rec("N", "N", 0, INT64_MAX, 0, t=4)]
    assert run(tmp_path, records).summary["crossed"].tolist() == [2]


@pytest.mark.parametrize("clock", ["ts_recv", "ts_event"])
def test_samples_follow_the_chosen_clock_and_show_closed_groups(tmp_path, clock):
    s = 1_000_000_000
    records = [rec("A", "B", 1, 100, 10, t=0, recv=T0 + 3 * s),
               rec("A", "B", 2, 101, 10, t=2 * s, recv=T0 + 4 * s),
               rec("A", "B", 3, 102, 10, 0, t=5 * s, recv=T0 + 6 * s),  # group still open
               rec("A", "B", 4, 103, 10, t=7 * s, recv=T0 + 7 * s)]
    samples = run(tmp_path, records, depth=1, every="1s", clock=clock).samples
    got = [(int(r["time"]) - T0, int(r["bid_price"][0])) for r in samples]
    if clock == "ts_event":
        want = [(0, 100), (1 * s, 100), (2 * s, 101), (3 * s, 101), (4 * s, 101),
                (5 * s, 101), (6 * s, 101)]
    else:
        want = [(3 * s, 100), (4 * s, 101), (5 * s, 101), (6 * s, 101)]
    assert got == want


def test_symbols_filter_skips_other_instruments_and_names_books(tmp_path, flow):
    path = dbn_files.write(tmp_path / "f.dbn", flow)
    result = dbn.replay(path, ["SYM39", 40], depth=2, top="SYM39")
    assert {k[1] for k in result.books} == {39, 40}
    assert result.skipped == sum(r[1] not in (39, 40) for r in flow.records)
    assert set(result.top["instrument_id"].tolist()) == {39}
    assert queues(result.book("SYM39", publisher=1)) == reference_queues(flow.books[(1, 39)])
    with pytest.raises(KeyError, match=r"'SYM39' has books at publishers \[1, 2, 3\]"):
        result.book("SYM39")
    with pytest.raises(KeyError, match="no book of 38.$"):
        result.book(38)
    with pytest.raises(KeyError, match="no book of 40 at publisher 9"):
        result.book(40, publisher=9)
    with pytest.raises(KeyError, match="no symbol 'NOPE'"):
        dbn.replay(path, ["NOPE"])


@pytest.mark.parametrize("ts_out", [False, True], ids=["plain-records", "with-ts_out"])
def test_files_written_by_databentos_encoder_replay_the_same(tmp_path, flow, ts_out):
    d = pytest.importorskip("databento_dbn")
    import datetime as dt
    from types import SimpleNamespace
    meta = d.Metadata(dataset="XNAS.ITCH", start=T0, stype_in=d.SType.RAW_SYMBOL,
                      stype_out=d.SType.INSTRUMENT_ID, schema=d.Schema.MBO, symbols=["X"],
                      partial=[], not_found=[], end=T0 + 10**15, limit=None, ts_out=ts_out,
                      version=3, mappings=[SimpleNamespace(raw_symbol="X", intervals=[
                          SimpleNamespace(start_date=dt.date(2024, 1, 2),
                                          end_date=dt.date(2024, 1, 4), symbol="39")])])
    extra = {"ts_out": T0 + 10**12} if ts_out else {}
    msgs = [d.MBOMsg(publisher_id=p, instrument_id=i, ts_event=te, order_id=o, price=px,
                     size=sz, flags=fl, channel_id=0, action=d.Action(a), side=d.Side(s),
                     ts_recv=tr, ts_in_delta=0, sequence=seq, **extra)
            for p, i, te, o, px, sz, fl, a, s, tr, seq in flow.records]
    size = 64 if ts_out else 56
    path = tmp_path / "enc.dbn.zst"
    path.write_bytes(zstandard.ZstdCompressor().compress(
        meta.encode() + b"".join(bytes(m)[:size] for m in msgs)))
    result = dbn.replay(path, depth=DEPTH, block=1000 * size + 7)
    assert result.records == len(flow.records) and result.bytes == (
        len(meta.encode()) + size * len(msgs))
    assert our_rows(result) == reference_rows(flow)
    for key, plain in flow.books.items():
        assert queues(result.books[key]) == reference_queues(plain)
    assert result.book("X", publisher=1) is result.books[(1, 39)]


def good_bytes(tmp_path):
    return dbn_files.write(tmp_path / "g.dbn", dbn_files.Flow(records=BASE)).read_bytes()


def broken(kind, tmp_path):
    good = good_bytes(tmp_path)
    head = len(good) - 56 * len(BASE)
    foreign = bytearray(good[-56:])
    foreign[1] = 0x17  # a system record where an MBO record was
    zero = bytearray(good[-56:])
    zero[0] = 0
    longer = bytearray(good[-56:])
    longer[0] = 200
    return {
        "wrong-magic": b"XYZ" + good[3:],
        "wrong-version": good[:3] + b"\x07" + good[4:],
        "record-cut": good[:-10],
        "length-past-end": good[:-56] + bytes(longer),
        "length-zero": good[:-56] + bytes(zero),
        "unknown-record-type": good[:-56] + bytes(foreign),
        "zstd-cut": zstandard.ZstdCompressor().compress(good)[:-12],
        "zstd-corrupt": zstandard.ZstdCompressor().compress(good)[:-40] + b"\x11" * 40,
        "metadata-only-cut": good[:head - 5],
    }[kind]


@pytest.mark.parametrize("kind, problem", [
    ("wrong-magic", "not a DBN file"),
    ("wrong-version", "DBN version 7"),
    ("record-cut", "the file ends inside record 3, after 46 of its 56 bytes"),
    ("length-past-end", "the file ends inside record 3, after 56 of its 800 bytes"),
    ("length-zero", "record 3 gives its length as 0 bytes"),
    ("unknown-record-type", r"record 3 is a system record \(type 0x17, 56 bytes\), not "
                            "market-by-order"),
    ("zstd-cut", "the compressed data ends or breaks here"),
    ("zstd-corrupt", "the compressed data ends or breaks here"),
    ("metadata-only-cut", "the file ends inside its"),
])
def test_malformed_files_raise_a_clear_error_naming_the_byte(tmp_path, kind, problem):
    path = tmp_path / "bad.dbn"
    path.write_bytes(broken(kind, tmp_path))
    with pytest.raises(dbn.DbnFormatError, match=problem) as info:
        dbn.replay(path, depth=2)
    assert info.value.path == str(path)
    if kind in ("record-cut", "length-past-end", "length-zero", "unknown-record-type"):
        assert info.value.offset == len(good_bytes(tmp_path)) - 56


@pytest.mark.parametrize("first, second, limit, error, problem", [
    (T0, T0 + 5 * 2**27, 4 << 30, ValueError,
     "the clock moves from 1704200000000000000 ns to 1704200000671088640 ns at record 1 "
     r"\(byte 416\): the samples would take more than max_sample_bytes \(4294967296\)"),
    (T0, T0 + 5 * 99, 64 * 99 - 1, ValueError, "at record 1"),
    (T0, 2**63 - 3, 4 << 30, dbn.DbnFormatError,
     "record 1 has a clock of 9223372036854775805 ns, beyond the times"),
    (2**63 - 2, 2**63 - 1, 4 << 30, dbn.DbnFormatError,
     "record 0 has a clock of 9223372036854775806 ns"),
], ids=["jump", "past-a-small-limit", "near-the-end", "first-near-the-end"])
def test_a_clock_sampling_cannot_follow_is_refused(tmp_path, first, second, limit, error,
                                                   problem):
    records = [rec("A", "B", 1, 100, 10, recv=first), rec("A", "B", 2, 100, 10, recv=second)]
    with pytest.raises(error, match=problem):
        run(tmp_path, records, depth=1, every=5, max_sample_bytes=limit)
    # Without sampling the same records replay; within the limit, every sample is kept.
    assert len(run(tmp_path, records, depth=1).books[(1, 38)]) == 2
    if limit < 1000:
        samples = run(tmp_path, records, depth=1, every=5, max_sample_bytes=limit + 1).samples
        assert len(samples) == 99


@pytest.mark.parametrize("seed", range(20))
def test_random_bytes_after_a_good_header_never_crash(tmp_path, seed):
    import random
    rng = random.Random(seed)
    good = good_bytes(tmp_path)
    body = bytearray(good[len(good) - 56 * len(BASE):])
    for _ in range(rng.randrange(1, 30)):
        body[rng.randrange(len(body))] = rng.randrange(256)
    path = tmp_path / "fuzz.dbn"
    path.write_bytes(good[:len(good) - 56 * len(BASE)] + bytes(body))
    try:
        result = dbn.replay(path, depth=3, every=7, max_sample_bytes=1 << 24)
    except (ValueError, KeyError):  # DbnFormatError, or samples past their limit
        return
    for book in result.books.values():
        book._check()
