"""The native LOBSTER reader against an oracle built on numpy.loadtxt (with the row checks
written out plainly and times taken exactly with Decimal): on generated files split into
blocks at every size, with every line ending, gzip members, byte order marks, and on files
mutated at every byte. Either both refuse a file or both read the same arrays."""

import gzip
import io
import sys
import zlib
from decimal import ROUND_HALF_UP, Decimal
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")

from velmora import lobster  # noqa: E402
from velmora.lobster import _blocks  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "reference"))
from lobster_files import make_session, write  # noqa: E402

MAX_PRICE = lobster.MAX_PRICE


def exact_ns(text):
    return int((Decimal(text.strip()) * 10**9).quantize(Decimal(1), ROUND_HALF_UP))


def oracle_messages(data):
    """What a message file holds, or None where it is to be refused."""
    try:
        text = data.decode("ascii").removeprefix("\ufeff")
        columns = [("time", "f8")] + [(n, "i8") for n in ("type", "order_id", "size", "price",
                                                          "direction")]
        rows = np.loadtxt(io.StringIO(text, newline=None), delimiter=",", comments=None,
                          dtype=np.dtype(columns), ndmin=1)
    except (ValueError, UnicodeDecodeError):
        return None
    lines = [line for line in io.StringIO(text, newline=None).read().split("\n") if line]
    if not len(rows) or len(lines) != len(rows):
        return None
    out = np.empty(len(rows), lobster.MESSAGE_DTYPE)
    for k, (line, row) in enumerate(zip(lines, rows)):
        time, kind, _, size, price, direction = row.tolist()
        halt = kind == 7
        try:
            ns = exact_ns(line.split(",")[0])
        except ArithmeticError:
            return None
        if ("e" in line.split(",")[0].lower() or not 0 <= ns <= 48 * 3600 * 10**9
                or not 1 <= kind <= 7 or direction not in (1, -1) or size < (0 if halt else 1)
                or (not halt and not 1 <= price <= MAX_PRICE) or (halt and not -1 <= price <= 1)):
            return None
        out[k] = (ns, *row.tolist()[1:])
    return out


def oracle_orderbook(data):
    try:
        text = data.decode("ascii").removeprefix("\ufeff")
        rows = np.loadtxt(io.StringIO(text, newline=None), delimiter=",", comments=None,
                          dtype=np.int64, ndmin=2)
    except (ValueError, UnicodeDecodeError):
        return None
    prices, sizes = rows[:, 0::2], rows[:, 1::2]
    if (not len(rows) or rows.shape[1] % 4 or (sizes < 0).any()
            or ((sizes > 0) & ((prices < 1) | (prices > MAX_PRICE))).any()
            or not is_book(rows[0])):
        return None
    return rows


def is_book(row):
    """The first row must be a book: one level per price on each side, every bid below
    every ask."""
    asks = [p for p, s in zip(row[0::4], row[1::4]) if s > 0]
    bids = [p for p, s in zip(row[2::4], row[3::4]) if s > 0]
    return (len(set(asks)) == len(asks) and len(set(bids)) == len(bids)
            and not (asks and bids and max(bids) >= min(asks)))


READ = {"message": (lobster.read_messages, oracle_messages),
        "orderbook": (lobster.read_orderbook, oracle_orderbook)}


def ours(path, kind):
    try:
        return READ[kind][0](path)
    except lobster.LobsterFormatError:
        return None


def same(a, b):
    return (a is None) == (b is None) and (a is None or (a.dtype == b.dtype
                                                         and a.tolist() == b.tolist()))


@pytest.fixture(scope="module")
def pair(tmp_path_factory):
    folder = tmp_path_factory.mktemp("pair")
    message, orderbook, *_ = write(folder, make_session(11, 400), 3, 20)
    return {"message": message.read_bytes(), "orderbook": orderbook.read_bytes()}


def crlf(data):
    return data.replace(b"\n", b"\r\n")


def two_members(data):
    half = data.index(b"\n", len(data) // 2) + 1
    return gzip.compress(data[:half]) + gzip.compress(data[half:])


FORMS = {
    "plain": lambda d: d, "crlf": crlf, "cr": lambda d: d.replace(b"\n", b"\r"),
    "no-last-end": lambda d: d.rstrip(b"\n"), "crlf-no-last-end": lambda d: crlf(d.rstrip(b"\n")),
    "blank-lines": lambda d: b"\n\n" + d.replace(b"\n", b"\n\n", 3),
    "bom": lambda d: b"\xef\xbb\xbf" + d, "gzip": gzip.compress, "gzip-members": two_members,
}


@pytest.mark.parametrize("block", [1, 2, 7, 64, 1 << 22], ids=lambda b: f"block-{b}")
@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("kind", READ)
def test_every_form_and_block_size_reads_what_loadtxt_reads(pair, tmp_path, monkeypatch, kind,
                                                            form, block):
    monkeypatch.setattr(_blocks, "BLOCK", block)
    path = tmp_path / f"file_{kind}.csv"
    path.write_bytes(FORMS[form](pair[kind]))
    expected = READ[kind][1](pair[kind])
    assert expected is not None and len(expected) > 200
    assert same(READ[kind][0](path), expected)


MUTATIONS = [b"", b"-", b"+", b" ", b"\t", b"x", b".", b",", b"\n", b"\r", b"0", b"9", b"e",
             b"\xff"]


@pytest.mark.parametrize("kind", READ)
def test_every_byte_mutated_refused_or_read_as_loadtxt_reads(pair, tmp_path, kind):
    data = pair[kind]
    data = data[:data.index(b"\n", 120) + 1]
    path, compared, refused = tmp_path / "mutated.csv", 0, 0
    for at in range(len(data)):
        for put in MUTATIONS:
            mutated = data[:at] + put + data[at + 1:]
            path.write_bytes(mutated)
            expected, got = READ[kind][1](mutated), ours(path, kind)
            assert same(got, expected), (at, put, mutated[max(at - 20, 0):at + 20])
            compared += 1
            refused += got is None
    assert 0 < refused < compared  # both kinds of outcome were met


@pytest.mark.parametrize("kind", READ)
def test_gzip_cut_anywhere_is_refused_at_the_line_it_breaks(pair, tmp_path, kind):
    whole = gzip.compress(pair[kind])
    path = tmp_path / "cut.csv.gz"
    for cut in range(2, len(whole) - 8, 37):  # the magic on; the last 8 are the trailer
        path.write_bytes(whole[:cut])
        with pytest.raises(lobster.LobsterFormatError, match="truncated or corrupt") as info:
            READ[kind][0](path)
        survives = zlib.decompressobj(31).decompress(whole[:cut]).count(b"\n")
        assert info.value.line == survives + 1


@pytest.mark.parametrize("text, ns", [
    ("34200.000000001", 34_200_000_000_001),
    ("57599.999999999", 57_599_999_999_999),  # float64 holds neither exactly
    ("0.1", 100_000_000), ("35000", 35_000 * 10**9), ("35000.", 35_000 * 10**9),
    (".5", 500_000_000), ("34200.0000000014", 34_200_000_000_001),
    ("34200.0000000015", 34_200_000_000_002), ("172800", 172_800 * 10**9),
])
def test_times_are_taken_exactly_to_the_nanosecond(tmp_path, text, ns):
    path = tmp_path / "m.csv"
    path.write_text(f"{text},1,1,100,5850000,1\n")
    assert lobster.read_messages(path)["time"].tolist() == [ns]


@pytest.mark.parametrize("text, problem", [
    ("172800.000000001", "time '172800.000000001' is not a time of day in seconds"),
    ("-1", "time '-1' is not a time of day in seconds"),
    ("3.42e4", "field 1 .time. is not a number of seconds: '3.42e4'"),
    ("nan", "field 1 .time. is not a number of seconds: 'nan'"),
    ("", "field 1 .time. is not a number of seconds: ''"),
])
def test_times_that_are_not_a_time_of_day_are_refused(tmp_path, text, problem):
    path = tmp_path / "m.csv"
    path.write_text(f"34200,1,1,100,5850000,1\n{text},1,2,100,5850000,1\n")
    with pytest.raises(lobster.LobsterFormatError, match=problem) as info:
        lobster.read_messages(path)
    assert info.value.line == 2


def test_a_first_line_longer_than_a_block_is_read_whole(tmp_path, monkeypatch):
    monkeypatch.setattr(_blocks, "BLOCK", 5)
    path = tmp_path / "o.csv"
    row = ",".join(f"{5850100 + k},10,{5850000 - k},10" for k in range(30))
    path.write_text(f"{row}\n{row}\n")
    assert lobster.read_orderbook(path).shape == (2, 120)


@pytest.mark.parametrize("call, error", [
    (lambda m: m.parse_orderbook(b"1,2\n", bytes(16), 2, True), BufferError),  # read-only
    (lambda m: m.parse_orderbook(b"1,2\n", np.zeros((4, 4))[:, ::2], 2, True),
     (BufferError, ValueError)),
    (lambda m: m.parse_orderbook("1,2\n", bytearray(16), 2, True), TypeError),
    (lambda m: m.parse_orderbook(b"1,2\n", bytearray(16), 0, True), ValueError),
    (lambda m: m.parse_orderbook(b"1,2\n", bytearray(16), 2**40, True), ValueError),
    (lambda m: m.parse_orderbook(b"1,2\n", bytearray(16), 2), TypeError),
    (lambda m: m.parse_messages(b"1,1,1,1,1,1\n", bytearray(34), "maybe", True), TypeError),
], ids=["read-only", "strided", "str", "no-fields", "too-many-fields", "arguments",
        "message-arguments"])
def test_the_native_parser_refuses_what_it_cannot_use(call, error):
    from velmora import _lobster
    with pytest.raises(error):
        call(_lobster)


@pytest.mark.parametrize("room", [0, 1, 15, 16, 17])
def test_the_native_parser_stops_where_the_room_ends(room):
    from velmora import _lobster
    out = bytearray(room)  # two int64 a row: 16 bytes
    rows, used, lines = _lobster.parse_orderbook(b"1,2\n3,4\n", out, 2, True)
    assert (rows, used, lines) == ((0, 0, 0) if room < 16 else (1, 4, 1))
    assert out == (np.array([1, 2], np.int64).tobytes() + bytes(room - 16) if room >= 16
                   else bytes(room))  # nothing written past the room
