"""The training run of the profile-guided build: replays every benchmark flow once on the
instrumented module, so that the optimiser learns which paths the engine takes.

Run by the build (CMake, VELMORA_PGO) with only the instrumented package on the path; it needs
nothing beyond the package and sortedcontainers.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import flows  # noqa: E402
from velmora.orderbook import Order, OrderBook  # noqa: E402


def main():
    for flow in flows.build(quick=True):
        book, orders = OrderBook(), []
        flows.replay(book, Order, flow.setup, orders)
        flows.replay(book, Order, flow.events, orders)
        str(book)


if __name__ == "__main__":
    main()
