"""The training run of the profile-guided build: replays every benchmark flow once on the
instrumented module, so that the optimiser learns which paths the engine takes.

    python reference/train.py <folder holding the instrumented velmora package>

Run by the build (cmake/train_profile.cmake); it needs nothing beyond the package and
sortedcontainers. The package's folder comes first on the path, ahead of any installed velmora.
"""

import os
import sys

sys.path[:0] = [sys.argv[1], os.path.dirname(os.path.abspath(__file__))]

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
