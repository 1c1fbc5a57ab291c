"""Databento's DBN market-by-order files (optional: ``pip install 'velmora[dbn]'`` brings
zstandard for ``.zst`` files; NumPy reads the records). See ``_files`` for the format."""

try:
    import numpy  # noqa: F401
except ImportError as exc:
    raise ImportError(
        "velmora.dbn needs NumPy, which is not installed: pip install 'velmora[dbn]'"
    ) from exc

from velmora.dbn._files import (F_BAD_TS_RECV, F_LAST, F_MAYBE_BAD_BOOK, F_MBP, F_SNAPSHOT,
                                F_TOB, MBO_DTYPE, MBO_TS_OUT_DTYPE, PRICE_SCALE, UNDEF_PRICE,
                                DbnFormatError, Metadata, iter_records, read_metadata,
                                read_records)
from velmora.dbn._replay import (COUNTERS, TRADE_DTYPE, DbnReplay, replay, sample_dtype,
                                 top_dtype)

__all__ = ["MBO_DTYPE", "MBO_TS_OUT_DTYPE", "DbnFormatError", "Metadata", "read_metadata",
           "iter_records", "read_records", "F_LAST", "F_TOB", "F_SNAPSHOT", "F_MBP",
           "F_BAD_TS_RECV", "F_MAYBE_BAD_BOOK", "PRICE_SCALE", "UNDEF_PRICE", "replay", "DbnReplay",
           "TRADE_DTYPE", "COUNTERS", "top_dtype", "sample_dtype"]
