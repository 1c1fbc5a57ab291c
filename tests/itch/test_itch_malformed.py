"""velmora.itch on damaged and hostile files: a clear error naming the byte, or a documented
count, and never a crash."""

import gzip
import os
import random
import struct
import sys

import pytest

from velmora import itch

sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "reference"))
from itch_files import Writer, generate  # noqa: E402

T = 34_200_000_000_000


def write(tmp_path, build, name="f.itch", compress=False):
    w = Writer()
    build(w)
    data = w.data()
    path = tmp_path / name
    path.write_bytes(gzip.compress(data) if compress else data)
    return path


def base(w):
    w.system(T, "O")
    w.directory(7, T, "AAPL")
    w.add(7, T + 1, 100, "B", 50, "AAPL", 1_000_000)
    w.add(7, T + 2, 101, "S", 40, "AAPL", 1_000_100)


@pytest.mark.parametrize("tail, message", [
    (b"\x00", "truncated at byte 131: one byte of a length prefix"),
    (b"\x00\x24A\x00\x07", "truncated at byte 131: a message of 36 bytes with 3 left"),
    (b"\xff\xff" + b"D" * 100, "truncated at byte 131: a message of 65535 bytes with 100 left"),
    (struct.pack(">H", 11) + b"A" + b"\x00" * 10, r"'A' message of 11 bytes at byte 131 \(it has 36\)"),
    (b"\x00\x00", "an empty message at byte 131"),
    (b"\x00\x13D\x00\x07\x00\x00" + b"\xff" * 6 + b"\x00" * 8, "a time past midnight"),
], ids=["half-prefix", "cut-message", "length-past-end", "short-known-type", "empty",
        "time-past-midnight"])
@pytest.mark.parametrize("compress", [False, True], ids=["plain", "gzip"])
def test_damaged_files_raise_with_the_offset(tmp_path, tail, message, compress):
    w = Writer()
    base(w)
    data = w.data() + tail
    path = tmp_path / "d.itch"
    path.write_bytes(gzip.compress(data) if compress else data)
    with pytest.raises(ValueError, match=message):
        itch.replay(path)


def test_truncated_gzip_stream_is_an_error(tmp_path):
    path = tmp_path / "d.itch.gz"
    generate(path, seed=1, stocks=4, messages=4000)
    data = path.read_bytes()
    path.write_bytes(data[: len(data) // 2])
    with pytest.raises(ValueError, match="truncated"):
        itch.replay(path)


def test_unknown_types_are_skipped_by_length_and_counted(tmp_path):
    def build(w):
        base(w)
        w.raw(b"Z" + struct.pack(">HH", 7, 0) + T.to_bytes(6, "big") + b"x" * 25)
        w.raw(b"?")  # a one-byte message of no known type
        w.delete(7, T + 5, 100)
    result = itch.replay(write(tmp_path, build))
    assert result.other == 2 and result.summary["other"].tolist() == [1]
    assert result.book("AAPL").orders()[0][0] == 101


def test_references_unknown_and_reused(tmp_path):
    def build(w):
        base(w)
        w.delete(7, T + 3, 999)                              # never added
        w.add(7, T + 4, 100, "S", 5, "AAPL", 900_000)        # reused while live
        w.replace(7, T + 5, 101, 100, 10, 1_000_200)         # replace onto a live reference
        w.executed(7, T + 6, 555, 10, 1)                     # execution of nothing
        w.cancel(7, T + 7, 101, 1000)                        # more than it has: clamped
    path = write(tmp_path, build)
    result = itch.replay(path)
    s = result.summary[0]
    assert (s["unknown"], s["duplicate"], s["overshoot"]) == (2, 2, 1)
    assert result.book("AAPL").orders() == [(100, 0, 1_000_000, 50, False, T + 1, False)]
    with pytest.raises(KeyError, match="order reference 999 of a 'D' message at byte .* not "
                                       "resting in the book of stock locate 7"):
        itch.replay(path, stop_on_unknown=True)


def test_locate_without_directory_entry(tmp_path):
    def build(w):
        base(w)
        w.add(9, T + 3, 200, "B", 5, "MSFT", 500)
        w.directory(9, T + 4, "MSFT")
        w.delete(9, T + 5, 200)
    result = itch.replay(write(tmp_path, build))
    row = result.summary[result.summary["locate"] == 9][0]
    assert (row["symbol"], row["undirected"], row["A"], row["D"]) == ("MSFT", 1, 1, 1)
    # A filter names stocks by their directory entry: before it, the locate is skipped.
    filtered = itch.replay(write(tmp_path, build), ["MSFT"])
    assert filtered.summary["unknown"].tolist() == [1] and filtered.skipped == 4


@pytest.mark.parametrize("symbols, error", [
    (["TOOLONGSYM"], ValueError), ([""], ValueError), ([7], TypeError)], ids=["long", "empty", "int"])
def test_bad_symbol_lists(tmp_path, symbols, error):
    with pytest.raises(error):
        itch.replay(write(tmp_path, base), symbols)


def test_missing_file(tmp_path):
    with pytest.raises(OSError, match="cannot open"):
        itch.replay(tmp_path / "absent.itch")


@pytest.mark.parametrize("seed", range(4))
def test_corrupted_bytes_never_crash(tmp_path, seed):
    """Random bytes flipped in a real file: every outcome is a result or a clean error."""
    path = tmp_path / "d.itch"
    generate(path, seed=seed, stocks=6, messages=3000, anomalies=True)
    data = bytearray(path.read_bytes())
    rng = random.Random(seed)
    for trial in range(25):
        damaged = bytearray(data)
        for _ in range(rng.randrange(1, 40)):
            damaged[rng.randrange(len(damaged))] = rng.randrange(256)
        path.write_bytes(bytes(damaged))
        try:
            result = itch.replay(path, depth=2, every="1h")
        except (ValueError, KeyError):
            continue
        for book in result.books.values():
            book._check()


# Past the reader's first window (1 MiB) and the replay's first chunk of messages: the
# offsets of errors and the counts must carry across both.
FILLER = 1_100_000  # one-message 'Z' records of 5 bytes each, a type the replay skips


@pytest.mark.parametrize("tail, error, message", [
    (b"\x00\x00", ValueError, "an empty message at byte {at}$"),
    (struct.pack(">H", 11) + b"A" + b"\x00" * 10, ValueError,
     r"'A' message of 11 bytes at byte {at} \(it has 36\)"),
    (b"\x00\x13D\x00\x07\x00\x00" + b"\xff" * 6 + b"\x00" * 8, ValueError,
     r"a time past midnight \(\d+ ns\) at byte {at}$"),
    (b"\x00\x13D\x00\x07\x00\x00" + (T + 9).to_bytes(6, "big") + (999).to_bytes(8, "big"),
     KeyError, "order reference 999 of a 'D' message at byte {at} is not resting"),
], ids=["empty", "short-known-type", "time-past-midnight", "unknown-reference"])
@pytest.mark.parametrize("compress", [False, True], ids=["plain", "gzip"])
def test_offsets_of_errors_deep_in_the_file(tmp_path, tail, error, message, compress):
    w = Writer()
    base(w)
    head = w.data() + b"\x00\x03Z\x00\x07" * FILLER
    path = tmp_path / "deep.itch"
    path.write_bytes(gzip.compress(head + tail) if compress else head + tail)
    with pytest.raises(error, match=message.format(at=len(head))):
        itch.replay(path, stop_on_unknown=True)


def test_counts_and_bytes_across_windows_and_chunks(tmp_path):
    w = Writer()
    base(w)
    head = w.data()
    tail = Writer()
    tail.delete(7, T + 9, 100)
    data = head + b"\x00\x03Z\x00\x07" * FILLER + tail.data()
    path = tmp_path / "long.itch"
    path.write_bytes(data)
    result = itch.replay(path)
    assert (result.messages, result.other, result.bytes) == (4 + FILLER + 1, FILLER, len(data))
    assert result.summary["other"].tolist() == [FILLER]
    assert [o[0] for o in result.book("AAPL").orders()] == [101]
