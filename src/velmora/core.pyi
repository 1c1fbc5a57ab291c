# velmora.core: a limit order book on integer ticks, 64-bit quantities and order ids.
import sys
from _typeshed import structseq
from collections.abc import Buffer, Iterable, Sequence
from decimal import Decimal
from typing import Any, Final, Self, TypeAlias, final

import numpy as np

from velmora.orderbook import OrderBook

BID: Final[int]
ASK: Final[int]
LIMIT: Final[int]
MARKET: Final[int]
CANCEL: Final[int]
REDUCE: Final[int]
EXECUTE: Final[int]
MODIFY: Final[int]
LEVEL: Final[int]

# Made on first access; importing them imports NumPy.
EVENT_DTYPE: np.dtype[np.void]
FILL_DTYPE: np.dtype[np.void]

_Array: TypeAlias = np.ndarray[Any, np.dtype[np.void]]
# (resting_id, price, quantity)
_Fill: TypeAlias = tuple[int, int, int]
# (order_id, side, price, quantity, traded, time, seeded)
_Row: TypeAlias = tuple[int, int, int, int, bool, int, bool]
# from_orders() also takes rows without the trailing time and seeded items
_RowIn: TypeAlias = (
    _Row | tuple[int, int, int, int, bool] | tuple[int, int, int, int, bool, int] | list[Any]
)
# (side, price, quantity, traded, time, seeded)
_Order: TypeAlias = tuple[int, int, int, bool, int, bool]
_TickSize: TypeAlias = Decimal | int | str

@final
class Replay(structseq[Any], tuple[_Array, _Array | None, int, int]):
    if sys.version_info >= (3, 10):
        __match_args__: Final = ("fills", "snapshots", "unknown", "seeded")

    @property
    def fills(self) -> _Array: ...
    @property
    def snapshots(self) -> _Array | None: ...
    @property
    def unknown(self) -> int: ...
    @property
    def seeded(self) -> int: ...
    @property
    def crossed(self) -> int: ...

@final
class Sampler:
    def __new__(
        cls,
        depth: int = 0,
        *,
        every: int | None = None,
        every_events: int | None = None,
        at: Sequence[int] | None = None,
        groups: bool = False,
        changed: bool = False,
        measures: Sequence[str] | None = (),
    ) -> Self: ...
    @property
    def dtype(self) -> np.dtype[np.void]: ...
    def take(self) -> _Array: ...
    def finish(self, book: Book, /) -> None: ...
    def __len__(self) -> int: ...

@final
class Book:
    seeded_fallback: bool
    feed: bool
    @property
    def crossed(self) -> bool: ...
    def __new__(cls, *, feed: bool = False) -> Self: ...
    def add_limit(
        self, order_id: int, side: int, price: int, quantity: int, time: int = 0
    ) -> tuple[_Fill, ...]: ...
    def add_market(self, order_id: int, side: int, quantity: int) -> tuple[_Fill, ...]: ...
    def cancel(
        self,
        order_id: int,
        *,
        side: int | None = None,
        price: int | None = None,
        quantity: int | None = None,
    ) -> bool: ...
    def reduce(
        self,
        order_id: int,
        quantity: int,
        *,
        clamp: bool = False,
        side: int | None = None,
        price: int | None = None,
    ) -> int | None: ...
    def execute(
        self, order_id: int, quantity: int, *, side: int | None = None, price: int | None = None
    ) -> _Fill | None: ...
    def modify(
        self, order_id: int, price: int, quantity: int, time: int = 0
    ) -> tuple[_Fill, ...] | None: ...
    def order(self, order_id: int) -> _Order | None: ...
    def level(self, side: int, price: int) -> tuple[int, int] | None: ...
    def best_bid(self) -> int | None: ...
    def best_ask(self) -> int | None: ...
    def depth(self, side: int, levels: int = 10) -> list[tuple[int, int, int]]: ...
    def orders(self) -> list[_Row]: ...
    @classmethod
    def from_orders(cls, rows: Iterable[_RowIn], /) -> Self: ...
    @classmethod
    def from_depth(
        cls,
        bids: Iterable[tuple[int, int] | list[int]],
        asks: Iterable[tuple[int, int] | list[int]],
        *,
        first_id: int = -9223372036854775808,
        time: int = 0,
        seeded_fallback: bool = False,
    ) -> Self: ...
    def replay(
        self,
        events: Buffer,
        *,
        depth: int = 0,
        changed_only: bool = False,
        clamp: bool = False,
        stop_on_unknown: bool = False,
        sampler: Sampler | None = None,
        group_ends: Buffer | None = None,
    ) -> Replay: ...
    def to_orderbook(self, tick_size: _TickSize = 1) -> OrderBook: ...
    @classmethod
    def from_orderbook(cls, orderbook: OrderBook, tick_size: _TickSize = 1) -> Self: ...
    def ladder(self, tick_size: _TickSize = 1) -> str: ...
    def __len__(self) -> int: ...
    def __contains__(self, key: object, /) -> bool: ...
    def __reduce__(self) -> tuple[type[Book], tuple[()], dict[str, Any]]: ...
    def __setstate__(self, state: dict[str, Any] | Iterable[_RowIn], /) -> None: ...
    def _check(self) -> None: ...
    def _native_bytes(self) -> int: ...
