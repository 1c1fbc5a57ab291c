# The native half of velmora.dbn; call velmora.dbn.replay() instead.
from typing import Any, Iterable

class RecordError(ValueError): ...

def replay(
    blocks: Iterable[Any],
    offset: int,
    record_size: int,
    instruments: Iterable[int] | None,
    watch: Iterable[int] | None,
    depth: int,
    changes: bool,
    every: int,
    clock_event: bool,
    stop_on_unknown: bool,
    max_sample_bytes: int,
    /,
) -> dict[str, Any]: ...
