"""velmora: a limit order book with a price-time priority matching engine.

The engine lives in the native extension module ``velmora.orderbook``; ``velmora.flows``
generates seeded order flows to replay on it. Importing the package makes whole books
picklable (``velmora._book_pickle``).
"""

__version__ = "0.1.0"

from velmora import _book_pickle as _book_pickle  # noqa: F401  (whole-book pickling)
