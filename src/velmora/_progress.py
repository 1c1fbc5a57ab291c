"""The commands' shared pieces: sizes as text and a progress bar of a file's bytes read,
drawn only on a terminal."""

from __future__ import annotations

import os
import sys
import time
from typing import Callable, TextIO


def size_text(n: float) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if n < 1000 or unit == "GB":
            return f"{n:.1f} {unit}" if unit != "B" else f"{int(n)} B"
        n /= 1000
    return f"{n:.1f} GB"


def progress_bar(path: str, stream: TextIO | None = None) -> Callable[[int], None] | None:
    """A callback drawing the bytes read of `path` on `stream` (standard error), or None when
    it is not a terminal."""
    out = sys.stderr if stream is None else stream
    if not out.isatty():
        return None
    total = max(1, os.path.getsize(path))
    start = time.monotonic()

    def show(done: int) -> None:
        share = min(1.0, done / total)
        bar = "#" * int(share * 30)
        rate = done / max(1e-9, time.monotonic() - start)
        out.write(f"\r[{bar:<30}] {share:6.1%} {size_text(done)} of {size_text(total)}"
                  f" ({size_text(rate)}/s)")
        out.flush()
    return show


def end_bar(show: Callable[[int], None] | None) -> None:
    """Ends the bar's line, when one was drawn."""
    if show is not None:
        sys.stderr.write("\n")
