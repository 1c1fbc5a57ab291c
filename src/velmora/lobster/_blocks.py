"""LOBSTER files read block by block through the native parser (velmora._lobster).

A file, plain or gzip, is read in blocks of a few MiB; each block's whole lines are parsed
natively, checked as they are parsed, straight into the array they end up in, and the
unfinished last line is carried over to the next block. Memory is one block plus the rows.
Faults name the file's own line: the parser counts lines, empty ones included, as it goes.
"""

from __future__ import annotations

import contextlib
import gzip
import os
import time as _time
import zlib
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np

from velmora import _lobster

BLOCK = 1 << 22
STREAM_BLOCK = 1 << 20  # streamed: smaller blocks, as memory is what streaming is for
BOM = b"\xef\xbb\xbf"

# (bytes read, bytes in all), as a file is read.
Progress = Callable[[int, int], None]
# Raised for a file that cannot be read as one: (path, line or None, problem).
Refuse = Callable[[Path, "int | None", str], Exception]


@contextlib.contextmanager
def _source(path: Path, progress: Progress | None) -> Iterator[tuple[Any, bool]]:
    """The file opened for readinto() (decompressed when it is gzip), reporting progress on
    the bytes read from disk; and whether the file is gzip."""
    total = os.path.getsize(path)
    with open(path, "rb") as raw:
        compressed = raw.read(2) == b"\x1f\x8b"
        raw.seek(0)
        shown = [0.0]

        def report() -> None:
            now = _time.monotonic()
            if progress is not None and (now - shown[0] > 0.1):
                shown[0] = now
                progress(raw.tell(), total)

        class Reader:
            def __init__(self, f: Any):
                self.f = f

            def readinto(self, view: memoryview) -> int:
                got = self.f.readinto(view)
                report()
                return int(got or 0)

        if compressed:
            with gzip.GzipFile(fileobj=raw, mode="rb") as unzipped:
                yield Reader(unzipped), True
        else:
            yield Reader(raw), False
        if progress is not None:
            progress(total, total)


class _Rows:
    """An array that grows as blocks are parsed into it; `free(n)` is room for n more rows."""

    def __init__(self, array: np.ndarray):
        self.array = array
        self.count = 0

    def free(self, rows: int) -> np.ndarray:
        """All the room left, at least `rows`."""
        if self.count + rows > len(self.array):
            grown = np.empty((max(self.count + rows, len(self.array) * 3 // 2),)
                             + self.array.shape[1:], self.array.dtype)
            grown[:self.count] = self.array[:self.count]
            self.array = grown
        return self.array[self.count:]

    def result(self) -> np.ndarray:
        rows = self.array[:self.count]
        # A gzip file's rows were estimated: give back what the estimate left over.
        return rows.copy() if len(self.array) > self.count * 1.1 + 1024 else rows


class _Parse:
    """One file's blocks as the native parser takes them: the unfinished last line carried
    over to the next block, the byte order mark and (for an orderbook file) the number of
    fields found in the first, every fault raised through `refuse` with its file's line."""

    def __init__(self, path: Path, record: np.dtype[Any] | None, refuse: Refuse):
        if record is not None and record.itemsize != _lobster.MESSAGE_SIZE:
            raise ValueError(f"message records are {_lobster.MESSAGE_SIZE} bytes")
        self.path, self.record, self.refuse = path, record, refuse
        # The bytes read and not yet used: buffer[:size], refilled in place block by block,
        # so that nothing is copied but the unfinished last line.
        self.buffer = bytearray()
        self.size = 0
        self.line = 0  # lines passed before the buffer's start
        self.used = 0  # bytes of the buffer parsed
        self.fields = 0
        self.final = self.compressed = False

    @property
    def pending(self) -> bytes:
        """The bytes read and not yet used (a copy: for looking at the first block)."""
        return bytes(self.buffer[:self.size])

    def blocks(self, progress: Progress | None, block: int) -> Iterator[None]:
        """Reads the file a block at a time; at each step the buffer holds whole lines to
        parse (with `final`, the last line too, whatever its end)."""
        with _source(self.path, progress) as (source, compressed):
            self.compressed, first = compressed, True
            while True:
                if len(self.buffer) - self.size < block:  # room for a block after the rest
                    self.buffer.extend(bytes(self.size + block - len(self.buffer)))
                try:
                    with memoryview(self.buffer) as view:
                        got = source.readinto(view[self.size:self.size + block])
                except (EOFError, zlib.error, gzip.BadGzipFile) as exc:
                    raise self.refuse(self.path, _broken_at(self.path),
                                      "the compressed data ends or breaks here "
                                      f"({exc}): the file is truncated or corrupt") from None
                self.final = not got
                self.size += got
                if first:
                    start = bytes(self.buffer[:min(self.size, len(BOM))])
                    if len(start) < len(BOM) and BOM.startswith(start) and not self.final:
                        continue  # too short yet to tell whether a byte order mark opens it
                    if start == BOM:  # as a spreadsheet saves text: not data
                        self.buffer[:self.size - len(BOM)] = self.buffer[len(BOM):self.size]
                        self.size -= len(BOM)
                    if self.record is None:
                        counted = _first_line_fields(self.buffer, self.size, self.final)
                        if counted is None:
                            continue  # the first line is longer than a block: read on
                        self.fields = counted
                    first = False
                self.used = 0
                yield
                rest = self.size - self.used
                if rest and self.used:
                    self.buffer[:rest] = self.buffer[self.used:self.size]
                self.size = rest
                if self.final:
                    return

    def parse(self, out: np.ndarray) -> int:
        """Parses what is left of the block into `out`, as much as it holds: the rows."""
        view = memoryview(self.buffer)[self.used:self.size]
        try:
            if self.record is not None:
                parsed, step, lines = _lobster.parse_messages(view, out, self.final)
            else:
                parsed, step, lines = _lobster.parse_orderbook(view, out, self.fields,
                                                               self.final)
        except _lobster.ParseError as exc:
            at, problem, text = exc.args
            quoted = repr(text.decode("ascii", "replace"))
            raise self.refuse(self.path, self.line + at,
                              problem.replace("{text}", quoted)) from None
        finally:
            view.release()  # the buffer is refilled after the block
        self.line += lines
        self.used += step
        return int(parsed)

    def empty_rows(self, count: int) -> np.ndarray:
        if self.record is not None:
            return np.empty(count, self.record)
        return np.empty((count, self.fields), np.int64)


def read(path: Path, record: np.dtype[Any] | None, refuse: Refuse,
         progress: Progress | None = None) -> np.ndarray:
    """A message file as an array of `record` (the 34-byte message record), or with `record`
    None an orderbook file as an int64 array of its rows; every fault raised through
    `refuse`."""
    parse = _Parse(path, record, refuse)
    rows: _Rows | None = None
    for _ in parse.blocks(progress, BLOCK):
        if rows is None:
            expected = _expected_rows(path, parse.pending, parse.compressed, parse.final)
            rows = _Rows(parse.empty_rows(max(expected, 16)))
        while True:  # until the block's whole lines are parsed, growing the rows if full
            out = rows.free(1)
            parsed = parse.parse(out)
            rows.count += parsed
            if parsed < len(out):
                break
    if rows is None or rows.count == 0:
        raise refuse(path, None, "the file holds no rows")
    return rows.result()


def _broken_at(path: Path) -> int:
    """The line where a gzip file stops making sense: the lines whose ends come through
    before the compressed data ends or breaks, plus one. Only read when it does."""
    lines = 0
    with open(path, "rb") as f:
        unzip = zlib.decompressobj(31)
        try:
            while data := f.read(1 << 20):
                while data:
                    lines += unzip.decompress(data).count(b"\n")
                    data = b""
                    if unzip.eof:  # another member may follow
                        data, unzip = unzip.unused_data, zlib.decompressobj(31)
        except zlib.error:
            pass
    return lines + 1


def _first_line_fields(pending: bytearray, size: int, final: bool) -> int | None:
    """The number of fields on the first non-empty line of pending[:size], or None while it
    is not all read."""
    start = 0
    while start < size and pending[start] in b"\r\n":
        start += 1
    end = start
    while end < size and pending[end] not in b"\r\n":
        end += 1
    if end == size and not final:
        return None
    return pending.count(b",", start, end) + 1


def _expected_rows(path: Path, first: bytes, compressed: bool, final: bool) -> int:
    """Rows in the whole file, estimated from its size and the first block's lines."""
    lines = first.count(b"\n") + 1
    if final or len(first) < BLOCK:
        return lines  # the whole file is in the first block
    estimate = os.path.getsize(path) / (len(first) / lines)
    if compressed:
        estimate *= 8  # LOBSTER's CSV compresses about eight to one
    return int(estimate * 1.02) + 1024


def chunks(path: Path, record: np.dtype[Any] | None, refuse: Refuse,
           progress: Progress | None = None, rows: int = 1 << 16,
           block: int = STREAM_BLOCK, lead: int = 0, reuse: bool = False) -> Iterator[np.ndarray]:
    """The file as read() makes it, in chunks of `rows` rows (the last may hold fewer), read
    as they are asked for: memory is one block plus one chunk. Each chunk is a fresh array
    (with `reuse`, the same array refilled: the caller is done with a chunk when it asks for
    the next, and the memory stays warm), with `lead` rows left unset in front of its rows
    (room for the caller's own, so that joining them copies nothing). Faults are raised
    through `refuse` when the chunk holding them is asked for."""
    if rows < 1:
        raise ValueError(f"chunks of at least one row, not {rows}")
    parse = _Parse(path, record, refuse)
    out: np.ndarray | None = None
    kept: np.ndarray | None = None
    count = total = 0
    for _ in parse.blocks(progress, block):
        while True:  # until the block's whole lines are parsed, a chunk at a time
            if out is None:
                out = kept if kept is not None else parse.empty_rows(lead + rows)
                if reuse:
                    kept = out
            free = out[lead + count:]
            parsed = parse.parse(free)
            count += parsed
            if count == rows:
                total += count
                yield out
                out, count = None, 0
                continue
            if parsed < len(free):
                break
    if count:
        total += count
        assert out is not None
        yield out[:lead + count]
    if total == 0:
        raise refuse(path, None, "the file holds no rows")
