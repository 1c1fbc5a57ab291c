"""velmora: a limit order book with a price-time priority matching engine.

The engine lives in the native extension module ``velmora.orderbook``.
"""

from velmora import _book_pickle as _book_pickle  # noqa: F401  (whole-book pickling)
