"""Whole-book pickling and copying: an OrderBook reduces to its attributes, which come back
through a check that they make a book the engine can work on; and a check that nothing
changed the book while its contents were being pickled or copied.

Registered with copyreg. The book is made by copyreg.__newobj__ as any instance is; its
attributes are then set by _restore, which first checks the invariants the engine relies on
and refuses a state that breaks one with ValueError "damaged OrderBook snapshot: ..." naming
what is wrong. Snapshots are files: they get truncated, edited and mixed up, and a book that
loads silently corrupt trades wrongly from then on.

Snapshots written before that check carry the instance dictionary as their state, which the
unpickler would set on the new book without asking anyone. OrderBook.__setstate__ (the one
name this adds to the class) puts such a state through the same check; it also loads the
pickles of OrderBook subclasses, which reduce the ordinary way.

Prices, orders and levels can run code of their own when they are pickled (a price's
__reduce__, say); if that code trades on or cancels from the book being pickled, the pickle
would mix the book before and after, so the second check turns it into an error instead.
"""

import copy
import copyreg

from velmora.orderbook import OrderBook


def _fingerprint(book):
    """What any engine operation changes: the attributes (by identity), the index entries
    (by identity: each time an order comes to rest it gets a new one, and holding the old ones
    keeps a new one from taking an old one's place), and the length of the trade log. Reads
    exact dicts and lists only, so it runs no code of the book's contents."""
    state = vars(book)
    orders = state.get("orders")
    trade_log = state.get("trade_log")
    return (
        list(state.items()),
        list(orders.items()) if type(orders) is dict else None,
        len(trade_log) if type(trade_log) is list else None,
    )


def _same(before, after):
    (items, entries, trades), (items_now, entries_now, trades_now) = before, after
    return (
        trades == trades_now
        and _identical(items, items_now)
        and (entries is entries_now or (entries is not None and entries_now is not None
                                        and _identical(entries, entries_now)))
    )


def _identical(pairs, pairs_now):
    return len(pairs) == len(pairs_now) and all(
        k is k2 and v is v2 for (k, v), (k2, v2) in zip(pairs, pairs_now))


class _Unchanged:
    """Pickled after the book's attributes: fails if the book changed meanwhile, and
    otherwise stands for None."""

    def __init__(self, book):
        self.book = book
        self.fingerprint = _fingerprint(book)

    def check(self):
        if not _same(self.fingerprint, _fingerprint(self.book)):
            raise RuntimeError("OrderBook changed while it was being pickled or copied")

    def __reduce_ex__(self, protocol):
        self.check()
        return (type(None), ())


class _Attributes(dict):
    """The book's attributes, as the second half of its state. Pickled, it becomes a call of
    _restore on the new book, which checks them when they load; deep-copied, it sets their
    copies on the new book as they are (a copy of a live book is what the book is, with
    nothing to be damaged in transit); copy.copy sets them themselves."""

    def __init__(self, book):
        super().__init__(vars(book))
        self.book = book
        self.unchanged = _Unchanged(book)

    def __reduce_ex__(self, protocol):
        return (_restore, (self.book, dict(self), self.unchanged))

    def __deepcopy__(self, memo):
        state = vars(memo[id(self.book)])  # the new book, made before its state is copied
        for name, value in self.items():
            state[name] = copy.deepcopy(value, memo)
        self.unchanged.check()
        return {}


def _reduce_book(book):
    # The state is (instance dict, slot state): the unpickler and copy.deepcopy set nothing
    # from the first, None; the second sets the attributes and comes back as an empty slot
    # state, through _restore when it is unpickled.
    return (copyreg.__newobj__, (type(book),), (None, _Attributes(book)))


# The engine's invariants, checked natively on the attributes of a book about to be restored:
# None, or ValueError "damaged OrderBook snapshot: ..." naming what is wrong. It hangs on the
# exact module's function type, which leaves the module's and OrderBook's namespaces as
# documented.
_check_state = getattr(type(OrderBook.__init__), "_check_restored_book")


def _restore(book, attributes, _):
    _check_state(attributes)
    state = vars(book)
    for name, value in attributes.items():
        state[name] = value
    return {}


def _setstate(book, state):
    """The unpickler's and copy's last step, as object's default would take it (a dict of
    attributes, or that and a dict of slot attributes as a pair), except that a dict of
    attributes is checked first. A snapshot in today's form has already been restored by
    _restore and brings nothing here; a copy sets its attributes as they are."""
    if isinstance(state, tuple) and len(state) == 2:
        state, slots = state
    else:
        slots = None
    if state is not None:
        _check_state(state)
        attributes = vars(book)
        for name, value in state.items():
            attributes[name] = value
    if slots:
        for name, value in slots.items():
            setattr(book, name, value)


_setstate.__name__ = "__setstate__"
_setstate.__qualname__ = "OrderBook.__setstate__"
setattr(OrderBook, "__setstate__", _setstate)  # a method the stub does not declare
copyreg.pickle(OrderBook, _reduce_book)
