"""velmora: a limit order book with a price-time priority matching engine.

The engine lives in the native extension module ``velmora.orderbook``.
"""
