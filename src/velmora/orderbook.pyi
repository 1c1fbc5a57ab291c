from collections import OrderedDict as OrderedDict
from dataclasses import dataclass as dataclass, field as field
from datetime import datetime as datetime
from decimal import Decimal as Decimal
from enum import Enum as Enum
from typing import Any, Optional as Optional

from typing_extensions import disjoint_base

from sortedcontainers import SortedDict as SortedDict  # type: ignore[import-untyped]

class OrderSide(Enum):
    BID = 0
    ASK = 1

class OrderStatus(Enum):
    OPEN = 0
    PARTIALLY_FILLED = 1
    FILLED = 2
    CANCELLED = 3

class TradeType(Enum):
    LIMIT = 0
    MARKET = 1

_order_counter: Any

def _next_id() -> str: ...

@dataclass
class Trade:
    price: Decimal
    quantity_filled: int
    aggressor_side: OrderSide
    aggressor_id: str
    filler_id: str
    trade_type: TradeType
    timestamp: datetime = field(init=False)

@disjoint_base
class Order:
    side: Any
    original_quantity: int
    price: Any
    remaining_quantity: int
    order_id: Optional[str]
    status: Any
    def __init__(self, side: Any, original_quantity: Any, price: Any = None) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None: ...

@disjoint_base
class PriceLevel:
    price: Any
    queue: Any
    total_quantity: int
    side: Any
    def __init__(self, price: Any, side: Any) -> None: ...
    def add_order(self, order: Any) -> None: ...
    def remove_order(self, order_id: Optional[str]) -> bool: ...
    def peek(self) -> Any: ...
    def pop(self) -> Any: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None: ...

class OrderBook:
    bids: SortedDict
    asks: SortedDict
    orders: dict[str, tuple[PriceLevel, Order]]
    _best_bid: Any
    _best_ask: Any
    trade_log: list[Trade]
    def __init__(self) -> None: ...
    def _match(self, order: Order) -> None: ...
    def _update_limit_order(self, order: Order) -> None: ...
    def add_limit_order(self, order: Order) -> None: ...
    def add_market_order(self, order: Order) -> None: ...
    def cancel_order(self, order_id: str) -> bool: ...
    def best_bid(self) -> Optional[Decimal]: ...
    def best_ask(self) -> Optional[Decimal]: ...
    def print_trade_log(self) -> None: ...
    def __setstate__(self, state: Any) -> None: ...

def __pyx_unpickle_Order(__pyx_type: type[Order], __pyx_checksum: int, __pyx_state: Optional[tuple[Any, ...]]) -> Order: ...
def __pyx_unpickle_PriceLevel(__pyx_type: type[PriceLevel], __pyx_checksum: int, __pyx_state: Optional[tuple[Any, ...]]) -> PriceLevel: ...

__test__: dict[Any, Any]
