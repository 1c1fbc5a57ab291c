"""Reading Databento's DBN files: the metadata header, then market-by-order records as NumPy
arrays, block by block, plain or zstd-compressed.

A DBN stream opens with "DBN", a version byte (1 to 3 here) and the length of the metadata
that follows: the dataset, the schema, the time range, the symbology types, the symbols
asked for and the mappings of symbols to instrument ids over dates. Then come records, each
opening with a 16-byte header whose first byte is the record's length in 4-byte words. An MBO
record (record type 0xA0) is 56 bytes: header (length, record type, publisher id, instrument
id, ts_event), order id, price in units of 1e-9, size, flags, channel id, action, side,
ts_recv, ts_in_delta and sequence, all little-endian; 8 more bytes of ts_out follow each
record when the metadata says so.
"""

from __future__ import annotations

import datetime as _dt
import io
import os
import struct
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np

__all__ = ["MBO_DTYPE", "MBO_TS_OUT_DTYPE", "DbnFormatError", "Metadata", "read_metadata",
           "iter_records", "read_records", "F_LAST", "F_TOB", "F_SNAPSHOT", "F_MBP",
           "F_BAD_TS_RECV", "F_MAYBE_BAD_BOOK", "PRICE_SCALE", "UNDEF_PRICE"]

# The flags of a record.
F_LAST, F_TOB, F_SNAPSHOT, F_MBP, F_BAD_TS_RECV, F_MAYBE_BAD_BOOK = 128, 64, 32, 16, 8, 4
PRICE_SCALE = 1_000_000_000  # prices are integers of 1e-9
UNDEF_PRICE = 2**63 - 1  # the price of a record that has none

_FIELDS = [("length", "u1", 0), ("rtype", "u1", 1), ("publisher_id", "<u2", 2),
           ("instrument_id", "<u4", 4), ("ts_event", "<u8", 8), ("order_id", "<u8", 16),
           ("price", "<i8", 24), ("size", "<u4", 32), ("flags", "u1", 36),
           ("channel_id", "u1", 37), ("action", "S1", 38), ("side", "S1", 39),
           ("ts_recv", "<u8", 40), ("ts_in_delta", "<i4", 48), ("sequence", "<u4", 52)]


def _record_dtype(extra: list[tuple[str, str, int]], size: int) -> np.dtype[Any]:
    fields = _FIELDS + extra
    return np.dtype({"names": [f[0] for f in fields], "formats": [f[1] for f in fields],
                     "offsets": [f[2] for f in fields], "itemsize": size})


# One MBO record as the file lays it out, and the same with the send time appended.
MBO_DTYPE = _record_dtype([], 56)
MBO_TS_OUT_DTYPE = _record_dtype([("ts_out", "<u8", 56)], 64)
_MBO_RTYPE = 0xA0

SCHEMAS = ["mbo", "mbp-1", "mbp-10", "tbbo", "trades", "ohlcv-1s", "ohlcv-1m", "ohlcv-1h",
           "ohlcv-1d", "definition", "statistics", "status", "imbalance", "ohlcv-eod",
           "cmbp-1", "cbbo-1s", "cbbo-1m", "tcbbo", "bbo-1s", "bbo-1m"]
STYPES = ["instrument_id", "raw_symbol", "smart", "continuous", "parent", "nasdaq_symbol",
          "cms_symbol", "isin", "us_code", "bbg_comp_id", "bbg_comp_ticker", "figi",
          "figi_ticker"]
# Record types by their byte, for saying what a file holds instead of market-by-order.
RTYPES = {0x00: "trade (mbp-0)", 0x01: "mbp-1", 0x0A: "mbp-10", 0x11: "ohlcv", 0x12: "status",
          0x13: "instrument definition", 0x14: "imbalance", 0x15: "error",
          0x16: "symbol mapping", 0x17: "system", 0x18: "statistics", 0x20: "ohlcv-1s",
          0x21: "ohlcv-1m", 0x22: "ohlcv-1h", 0x23: "ohlcv-1d", 0x24: "ohlcv-eod",
          0xA0: "mbo", 0xB1: "cmbp-1", 0xC0: "cbbo-1s", 0xC1: "cbbo-1m", 0xC2: "tcbbo",
          0xC3: "bbo-1s", 0xC4: "bbo-1m", 0xC5: "tbbo"}
_NULL_SCHEMA, _NULL_STYPE, _UNDEF_TIMESTAMP = 0xFFFF, 0xFF, 2**64 - 1
_ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"
_VERSIONS = (1, 2, 3)


class DbnFormatError(ValueError):
    """A DBN file that cannot be read as one: ``path``, ``offset`` (the byte of the
    decompressed stream where the fault is, or None) and ``problem``."""

    def __init__(self, path: str | os.PathLike[str], offset: int | None, problem: str):
        self.path, self.offset, self.problem = os.fspath(path), offset, problem
        where = self.path if offset is None else f"{self.path}, byte {offset:,}"
        super().__init__(f"{where}: {problem}")


@dataclass
class Metadata:
    """A DBN file's header. ``schema`` and ``stype_in`` are None where the file mixes them
    (live data); ``end`` and ``limit`` None where unset. ``mappings``: raw symbol to its
    intervals, each (first day, day after the last, symbol), the symbol being the
    instrument id as text when ``stype_out`` is "instrument_id"."""

    version: int
    dataset: str
    schema: str | None
    start: int
    end: int | None
    limit: int | None
    stype_in: str | None
    stype_out: str
    ts_out: bool
    symbol_cstr_len: int
    symbols: list[str] = field(default_factory=list)
    partial: list[str] = field(default_factory=list)
    not_found: list[str] = field(default_factory=list)
    mappings: dict[str, list[tuple[_dt.date, _dt.date, str]]] = field(default_factory=dict)
    length: int = 0  # bytes of the header, prelude included: where records start

    def instruments(self) -> dict[int, str]:
        """Instrument id to raw symbol, over the whole file's dates (where an id served
        several symbols, the last mapping read wins)."""
        out = {}
        if self.stype_out == "instrument_id":
            for raw, intervals in self.mappings.items():
                for _, _, symbol in intervals:
                    if symbol.isdigit():
                        out[int(symbol)] = raw
        return out


class _Zstd(io.RawIOBase):
    """A zstd file's content, frame after frame. Unlike a plain stream reader it notices a
    frame that the file cuts short, and says so instead of ending quietly."""

    def __init__(self, raw: BinaryIO, zstandard: Any):
        self.raw, self.zstandard = raw, zstandard
        self.unzip = zstandard.ZstdDecompressor().decompressobj()
        self.pending, self.at, self.started = b"", 0, False

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        while self.at == len(self.pending):
            data = self.raw.read(1 << 20)
            if not data:
                if self.started and not self.unzip.eof:
                    raise EOFError("the last zstd frame is cut short")
                return 0
            self.pending, self.at = b"", 0
            while data:
                self.started = True
                self.pending += self.unzip.decompress(data)
                data = b""
                if self.unzip.eof:  # another frame may follow
                    data, self.started = self.unzip.unused_data, False
                    self.unzip = self.zstandard.ZstdDecompressor().decompressobj()
        n = min(len(buffer), len(self.pending) - self.at)
        buffer[:n] = memoryview(self.pending)[self.at:self.at + n]
        self.at += n
        return n

    def close(self) -> None:
        self.raw.close()
        super().close()


def _open(path: Path) -> BinaryIO:
    """The file's bytes, decompressed when it is zstd."""
    raw = open(path, "rb")
    try:
        magic = raw.read(4)
        raw.seek(0)
        if magic != _ZSTD_MAGIC:
            return raw
        try:
            import zstandard
        except ImportError:
            raise ImportError(f"{path} is zstd-compressed: reading it needs the zstandard "
                              "package (pip install 'velmora[dbn]')") from None
        return io.BufferedReader(_Zstd(raw, zstandard), 1 << 20)
    except BaseException:
        raw.close()
        raise


def _read(stream: BinaryIO, n: int, path: Path, offset: int) -> bytes:
    try:
        return stream.read(n)
    except Exception as exc:  # zstandard.ZstdError and the like: the data breaks here
        raise DbnFormatError(path, offset, f"the compressed data ends or breaks here ({exc}): "
                                           "the file is truncated or corrupt") from None


def _cstr(data: bytes) -> str:
    return data.split(b"\0", 1)[0].decode("utf-8", "replace")


def _date(raw: int) -> _dt.date:
    return _dt.date(raw // 10_000, raw // 100 % 100, raw % 100)


def _metadata(stream: BinaryIO, path: Path) -> Metadata:
    prelude = _read(stream, 8, path, 0)
    if len(prelude) < 8 or prelude[:3] != b"DBN":
        raise DbnFormatError(path, 0, f"not a DBN file: it starts with {prelude[:8]!r}, "
                                      "not b'DBN' and a version")
    version, length = prelude[3], struct.unpack_from("<I", prelude, 4)[0]
    if version not in _VERSIONS:
        raise DbnFormatError(path, 3, f"DBN version {version}: this reader knows versions "
                                      f"{_VERSIONS[0]} to {_VERSIONS[-1]}")
    body = _read(stream, length, path, 8)
    if len(body) < length:
        raise DbnFormatError(path, 8 + len(body), f"the file ends inside its {length:,}-byte "
                                                  "metadata")
    pos = 0

    def take(fmt: str) -> Any:
        nonlocal pos
        size = struct.calcsize(fmt)
        if pos + size > len(body):
            raise DbnFormatError(path, 8 + pos, "the metadata ends before its fields do")
        values = struct.unpack_from(fmt, body, pos)
        pos += size
        return values[0] if len(values) == 1 else values

    dataset = _cstr(take("16s"))
    schema_code, start, end, limit = take("<HQQQ")
    if version == 1:
        take("<Q")  # a record count, no longer written
    stype_in, stype_out, ts_out = take("<BBB")
    cstr_len = 22 if version == 1 else take("<H")
    take(f"{47 if version == 1 else 53}x")
    if take("<I"):
        raise DbnFormatError(path, 8 + pos - 4, "the metadata holds a schema definition, "
                                                 "which DBN files do not")

    def names(table: list[str], code: int, null: int) -> str | None:
        if code == null:
            return None
        if code >= len(table):
            raise DbnFormatError(path, None, f"unknown code {code} in the metadata")
        return table[code]

    def symbol_list() -> list[str]:
        return [_cstr(take(f"{cstr_len}s")) for _ in range(take("<I"))]

    meta = Metadata(version=version, dataset=dataset,
                    schema=names(SCHEMAS, schema_code, _NULL_SCHEMA), start=start,
                    end=None if end == _UNDEF_TIMESTAMP else end, limit=limit or None,
                    stype_in=names(STYPES, stype_in, _NULL_STYPE),
                    stype_out=names(STYPES, stype_out, -1) or "", ts_out=bool(ts_out),
                    symbol_cstr_len=cstr_len, length=8 + length)
    meta.symbols, meta.partial, meta.not_found = symbol_list(), symbol_list(), symbol_list()
    for _ in range(take("<I")):
        raw = _cstr(take(f"{cstr_len}s"))
        intervals = []
        for _ in range(take("<I")):
            first, after = take("<II")
            try:
                intervals.append((_date(first), _date(after), _cstr(take(f"{cstr_len}s"))))
            except ValueError:
                raise DbnFormatError(path, 8 + pos, f"a mapping of {raw!r} has the dates "
                                                    f"{first} and {after}") from None
        meta.mappings[raw] = intervals
    return meta


def read_metadata(path: str | os.PathLike[str]) -> Metadata:
    """The header of a DBN file (plain or zstd)."""
    path = Path(path)
    with _open(path) as stream:
        return _metadata(stream, path)


def iter_records(path: str | os.PathLike[str],
                 block: int = 1 << 16) -> Iterator[tuple[Metadata, np.ndarray]]:
    """The metadata and the MBO records of a DBN file, `block` records at a time (MBO_DTYPE,
    or MBO_TS_OUT_DTYPE when the file appends send times). Refuses a file of another schema,
    and any record that is not market-by-order, naming what it is."""
    path = Path(path)
    with _open(path) as stream:
        meta = _metadata(stream, path)
        if meta.schema not in ("mbo", None):
            raise DbnFormatError(path, None, f"the file holds {meta.schema} records "
                                             f"({meta.dataset}), not market-by-order (mbo)")
        dtype = MBO_TS_OUT_DTYPE if meta.ts_out else MBO_DTYPE
        words = dtype.itemsize // 4
        offset, index = meta.length, 0
        while True:
            data = _read(stream, block * dtype.itemsize, path, offset)
            if not data:
                return
            whole = len(data) // dtype.itemsize
            records = np.frombuffer(data, dtype, whole)
            bad = np.flatnonzero((records["length"] != words) | (records["rtype"] != _MBO_RTYPE))
            if len(bad):
                k = int(bad[0])
                rtype = int(records["rtype"][k])
                kind = RTYPES.get(rtype, "unknown")
                raise DbnFormatError(
                    path, offset + k * dtype.itemsize,
                    f"record {index + k:,} is a {kind} record (type 0x{rtype:02X}, "
                    f"{records['length'][k] * 4} bytes), not market-by-order (type 0xA0, "
                    f"{dtype.itemsize} bytes)")
            if whole * dtype.itemsize < len(data):
                raise DbnFormatError(path, offset + whole * dtype.itemsize,
                                     f"the file ends inside record {index + whole:,}, after "
                                     f"{len(data) - whole * dtype.itemsize} of its "
                                     f"{dtype.itemsize} bytes")
            yield meta, records
            offset += len(data)
            index += whole


def read_records(path: str | os.PathLike[str]) -> tuple[Metadata, np.ndarray]:
    """The metadata and every MBO record of a DBN file, in one array."""
    meta, parts = read_metadata(path), []
    for meta, records in iter_records(path):
        parts.append(records)
    dtype = MBO_TS_OUT_DTYPE if meta.ts_out else MBO_DTYPE
    return meta, np.concatenate(parts) if parts else np.zeros(0, dtype)
