"""Whole-book pickling and copying: an OrderBook reduces to its attributes, plus a check
that nothing changed the book while its contents were being pickled or copied.

Registered with copyreg, so neither the module nor OrderBook gains a name. The reduced
form is the one an ordinary instance has (copyreg.__newobj__ and the instance dictionary as
state), so loading needs nothing of this module. Prices, orders and levels can run code of
their own when they are pickled (a price's __reduce__, say); if that code trades on or
cancels from the book being pickled, the pickle would mix the book before and after, so the
check turns it into an error instead.
"""

import copyreg

from velmora.orderbook import OrderBook


def _fingerprint(book):
    """What any engine operation changes: the attributes (by identity), the identifiers of
    the resting orders in arrival order, and the length of the trade log. Reads exact
    dicts and lists only, so it runs no code of the book's contents."""
    state = vars(book)
    orders = state.get("orders")
    trade_log = state.get("trade_log")
    return (
        list(state.items()),
        list(orders) if type(orders) is dict else None,
        len(trade_log) if type(trade_log) is list else None,
    )


def _same(before, after):
    (items, order_ids, trades), (items_now, order_ids_now, trades_now) = before, after
    return (
        len(items) == len(items_now)
        and all(k is k2 and v is v2 for (k, v), (k2, v2) in zip(items, items_now))
        and order_ids == order_ids_now
        and trades == trades_now
    )


class _Unchanged(dict):
    """Pickled (or deep-copied) right after the book's attributes: fails if the book changed
    meanwhile, and otherwise stands for an empty dict, which restores nothing."""

    def __init__(self, book):
        super().__init__()
        self.book = book
        self.fingerprint = _fingerprint(book)

    def __reduce_ex__(self, protocol):
        if not _same(self.fingerprint, _fingerprint(self.book)):
            raise RuntimeError("OrderBook changed while it was being pickled or copied")
        return (dict, ())


def _reduce_book(book):
    # The state is (instance dict, slot state): the unpickler and copy.deepcopy update the
    # new book's dictionary from the first and set no attribute from an empty second one.
    return (copyreg.__newobj__, (type(book),), (dict(vars(book)), _Unchanged(book)))


copyreg.pickle(OrderBook, _reduce_book)
