"""velmora.dbn reads what Databento's own encoder (databento-dbn, a test-only dependency)
writes: the metadata of every DBN version, market-by-order records plain and zstd, with and
without send times; and refuses, naming what it found, files it cannot read as that."""

import datetime as dt
import random
from types import SimpleNamespace

import pytest

np = pytest.importorskip("numpy")
d = pytest.importorskip("databento_dbn")
zstandard = pytest.importorskip("zstandard")

from velmora import dbn  # noqa: E402

ACTIONS = [d.Action.ADD, d.Action.CANCEL, d.Action.MODIFY, d.Action.TRADE, d.Action.FILL,
           d.Action.CLEAR, d.Action.NONE]
SIDES = [d.Side.BID, d.Side.ASK, d.Side.NONE]


def metadata(version=3, schema=d.Schema.MBO, ts_out=False, **extra):
    mapping = SimpleNamespace(raw_symbol="AAPL", intervals=[
        SimpleNamespace(start_date=dt.date(2024, 1, 2), end_date=dt.date(2024, 1, 3),
                        symbol="38"),
        SimpleNamespace(start_date=dt.date(2024, 1, 3), end_date=dt.date(2024, 1, 4),
                        symbol="39")])
    other = SimpleNamespace(raw_symbol="MSFT", intervals=[
        SimpleNamespace(start_date=dt.date(2024, 1, 2), end_date=dt.date(2024, 1, 4),
                        symbol="40")])
    fields = dict(dataset="XNAS.ITCH", start=1_704_153_600_000_000_000,
                  stype_in=d.SType.RAW_SYMBOL, stype_out=d.SType.INSTRUMENT_ID, schema=schema,
                  symbols=["AAPL", "MSFT"], partial=["MSFT"], not_found=["NOPE"],
                  mappings=[mapping, other], end=1_704_326_400_000_000_000, limit=None,
                  ts_out=ts_out, version=version)
    fields.update(extra)
    return d.Metadata(**fields)


def records(count, seed=1, ts_out=None):
    rng = random.Random(seed)
    out = []
    for k in range(count):
        fields = dict(publisher_id=rng.choice([1, 2, 39]), instrument_id=rng.choice([38, 39, 40]),
                      ts_event=1_704_200_000_000_000_000 + k * 1000,
                      order_id=rng.randrange(2**64), price=rng.choice([rng.randrange(-2**62, 2**62),
                                                                       dbn.UNDEF_PRICE]),
                      size=rng.randrange(2**32), action=rng.choice(ACTIONS),
                      side=rng.choice(SIDES), ts_recv=1_704_200_000_000_000_500 + k * 1000,
                      flags=rng.randrange(256), channel_id=rng.randrange(256),
                      ts_in_delta=rng.randrange(-2**31, 2**31), sequence=rng.randrange(2**32))
        if ts_out is not None:
            fields["ts_out"] = ts_out + k
        out.append(d.MBOMsg(**fields))
    return out


def expected_rows(msgs, ts_out=False):
    rows = []
    for m in msgs:
        row = (m.publisher_id, m.instrument_id, m.ts_event, m.order_id, m.price, m.size,
               m.flags, m.channel_id, str(m.action).encode() if len(str(m.action)) == 1
               else m.action.value.encode(), m.side.value.encode(), m.ts_recv, m.ts_in_delta,
               m.sequence)
        rows.append(row + ((m.ts_out,) if ts_out else ()))
    return rows


def ours(array, ts_out=False):
    names = ["publisher_id", "instrument_id", "ts_event", "order_id", "price", "size", "flags",
             "channel_id", "action", "side", "ts_recv", "ts_in_delta", "sequence"]
    return array[names + (["ts_out"] if ts_out else [])].tolist()


def encode(meta, msgs, ts_out=False):
    return meta.encode() + b"".join(bytes(m)[:64 if ts_out else 56] for m in msgs)


@pytest.mark.parametrize("version", [1, 2, 3])
def test_metadata_of_every_version(tmp_path, version):
    path = tmp_path / "m.dbn"
    path.write_bytes(metadata(version).encode())
    meta = dbn.read_metadata(path)
    assert (meta.version, meta.dataset, meta.schema, meta.stype_in, meta.stype_out) == (
        version, "XNAS.ITCH", "mbo", "raw_symbol", "instrument_id")
    assert (meta.start, meta.end, meta.limit, meta.ts_out) == (
        1_704_153_600_000_000_000, 1_704_326_400_000_000_000, None, False)
    assert (meta.symbols, meta.partial, meta.not_found) == (["AAPL", "MSFT"], ["MSFT"], ["NOPE"])
    assert meta.mappings == {
        "AAPL": [(dt.date(2024, 1, 2), dt.date(2024, 1, 3), "38"),
                 (dt.date(2024, 1, 3), dt.date(2024, 1, 4), "39")],
        "MSFT": [(dt.date(2024, 1, 2), dt.date(2024, 1, 4), "40")]}
    assert meta.instruments() == {38: "AAPL", 39: "AAPL", 40: "MSFT"}
    assert meta.symbol_cstr_len == (22 if version == 1 else 71)


@pytest.mark.parametrize("ts_out", [False, True], ids=["plain-records", "with-ts_out"])
@pytest.mark.parametrize("form", ["plain", "zstd", "zstd-frames"])
@pytest.mark.parametrize("block", [1, 7, 1 << 16], ids=lambda b: f"block-{b}")
def test_records_read_as_the_encoder_wrote_them(tmp_path, ts_out, form, block):
    msgs = records(300, ts_out=1_704_200_000_000_009_000 if ts_out else None)
    data = encode(metadata(ts_out=ts_out), msgs, ts_out)
    if form == "zstd":
        data = zstandard.ZstdCompressor().compress(data)
    elif form == "zstd-frames":
        cut = len(data) // 3
        data = b"".join(zstandard.ZstdCompressor().compress(part)
                        for part in (data[:cut], data[cut:]))
    path = tmp_path / "r.dbn"
    path.write_bytes(data)
    parts = [r for _, r in dbn.iter_records(path, block=block)]
    assert all(len(p) <= block for p in parts)
    assert ours(np.concatenate(parts), ts_out) == expected_rows(msgs, ts_out)
    meta, whole = dbn.read_records(path)
    assert meta.ts_out is ts_out and ours(whole, ts_out) == expected_rows(msgs, ts_out)
    # The encoder's own decoder reads the same records back.
    decoder = d.DBNDecoder()
    decoder.write(encode(metadata(ts_out=ts_out), msgs, ts_out))
    decoded = [r for r in decoder.decode() if isinstance(r, d.MBOMsg)]
    assert expected_rows(decoded, ts_out) == ours(whole, ts_out)


def test_an_empty_file_of_records_reads_as_none(tmp_path):
    path = tmp_path / "e.dbn"
    path.write_bytes(metadata().encode())
    meta, whole = dbn.read_records(path)
    assert meta.schema == "mbo" and whole.dtype == dbn.MBO_DTYPE and len(whole) == 0


def trade_record():
    return bytes(d.TradeMsg(publisher_id=1, instrument_id=38, ts_event=5, price=1, size=1,
                            action=d.Action.TRADE, side=d.Side.BID, depth=0, ts_recv=6,
                            flags=0))


def broken(kind):
    good = encode(metadata(), records(10))
    return {
        "wrong-magic": b"PNG\x03" + good[4:],
        "newer-version": good[:3] + bytes([9]) + good[4:],
        "metadata-cut": good[:60],
        "record-cut": good[:-20],
        "other-schema": metadata(schema=d.Schema.TRADES).encode() + trade_record(),
        "foreign-record": good[:len(good) - 56 * 4] + trade_record() + good[-56 * 3:],
        "zstd-cut": zstandard.ZstdCompressor().compress(good)[:-30],
        "zstd-garbage": b"\x28\xb5\x2f\xfd" + bytes(range(200)),
        "empty": b"",
    }[kind]


@pytest.mark.parametrize("kind, problem", [
    ("wrong-magic", r"not a DBN file: it starts with b'PNG\\x03"),
    ("newer-version", "DBN version 9: this reader knows versions 1 to 3"),
    ("metadata-cut", "the file ends inside its"),
    ("record-cut", "the file ends inside record 9, after 36 of its 56 bytes"),
    ("other-schema", r"the file holds trades records \(XNAS.ITCH\), not market-by-order"),
    ("foreign-record", r"record 6 is a trade \(mbp-0\) record \(type 0x00, 48 bytes\), not "
                       r"market-by-order"),
    ("zstd-cut", "the compressed data ends or breaks here"),
    ("zstd-garbage", "the compressed data ends or breaks here"),
    ("empty", "not a DBN file: it starts with b''"),
])
def test_what_cannot_be_read_is_refused_naming_it(tmp_path, kind, problem):
    path = tmp_path / "bad.dbn"
    path.write_bytes(broken(kind))
    with pytest.raises(dbn.DbnFormatError, match=problem) as info:
        dbn.read_records(path)
    assert info.value.path == str(path)


def test_without_numpy_the_import_says_what_to_install():
    import subprocess
    import sys
    code = ("import sys; sys.modules['numpy'] = None\n"
            "try:\n    import velmora.dbn\nexcept ImportError as e:\n    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True).stdout
    assert out.strip() == ("velmora.dbn needs NumPy, which is not installed: "
                           "pip install 'velmora[dbn]'")


def test_generated_flows_read_the_same_here_and_in_the_encoders_decoder(tmp_path):
    import sys
    from pathlib import Path
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "reference"))
    import dbn_files

    flow = dbn_files.make_flow(5, 3000, tob_publisher=2)
    path = dbn_files.write(tmp_path / "flow.dbn", flow)
    meta, whole = dbn.read_records(path)
    assert meta.instruments() == {38: "SYM38", 39: "SYM39", 40: "SYM40"}
    decoder = d.DBNDecoder()
    decoder.write(path.read_bytes())
    decoded = [r for r in decoder.decode() if isinstance(r, d.MBOMsg)]
    assert expected_rows(decoded) == ours(whole)
    # The flow holds every action, groups of several records, and every flag it promises.
    assert set(whole["action"].tolist()) == {b"A", b"C", b"M", b"R", b"T", b"F", b"N"}
    flags = np.bitwise_or.reduce(whole["flags"])
    assert flags & (dbn.F_LAST | dbn.F_SNAPSHOT | dbn.F_TOB | dbn.F_BAD_TS_RECV
                    | dbn.F_MAYBE_BAD_BOOK) == (dbn.F_LAST | dbn.F_SNAPSHOT | dbn.F_TOB
                                                | dbn.F_BAD_TS_RECV | dbn.F_MAYBE_BAD_BOOK)
    assert (whole["flags"] & dbn.F_LAST == 0).sum() > 100
