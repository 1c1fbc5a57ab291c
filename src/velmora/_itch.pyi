# The native half of velmora.itch; call velmora.itch.replay() instead.
from typing import Any, Callable, Iterable

def replay(
    path: str,
    symbols: Iterable[str] | None,
    watch: Iterable[str] | None,
    depth: int,
    changes: bool,
    every: int,
    stop_on_unknown: bool,
    progress: Callable[[int], object] | None,
    books_at: Iterable[int],
    /,
) -> dict[str, Any]: ...
