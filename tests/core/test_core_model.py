"""velmora.core against a plain-Python reference of its per-order rules: random market-by-order
flows (add, market, cancel, reduce, execute, modify, seeded volume) on both, the same return
values and refusals after every step, the same queues, and the core's own invariants."""

from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from velmora import core

BID, ASK = core.BID, core.ASK


class Reference:
    """Each side maps a price to its queue, oldest first, of [id, open, traded, time, seeded]
    lists; refusals raise ValueError before anything changes."""

    def __init__(self, seeded_fallback=False):
        self.sides = ({}, {})
        self.where = {}  # id -> (side, price)
        self.seeded_fallback = seeded_fallback

    def _find(self, order_id):
        side, price = self.where[order_id]
        queue = self.sides[side][price]
        return side, price, queue, next(k for k, o in enumerate(queue) if o[0] == order_id)

    def _take(self, order, side, price, quantity):
        order[1] -= quantity
        if order[1] == 0:
            queue = self.sides[side][price]
            queue.remove(order)
            del self.where[order[0]]
            if not queue:
                del self.sides[side][price]
        return order[1]

    def _match(self, side, limit, quantity):
        """Fills against `side` while its best price crosses `limit` (None: any)."""
        fills, book = [], self.sides[side]
        while quantity and book:
            best = max(book) if side == BID else min(book)
            if limit is not None and (best < limit if side == BID else best > limit):
                break
            order = book[best][0]
            fill = min(quantity, order[1])
            fills.append((order[0], best, fill))
            order[2] = True
            quantity -= fill
            self._take(order, side, best, fill)
        return tuple(fills), quantity

    def _rest(self, order_id, side, price, quantity, traded, time, seeded=False):
        self.sides[side].setdefault(price, []).append([order_id, quantity, traded, time, seeded])
        self.where[order_id] = (side, price)

    def add_limit(self, order_id, side, price, quantity, time=0):
        if quantity <= 0 or order_id in self.where:
            raise ValueError
        fills, left = self._match(1 - side, price, quantity)
        if left:
            self._rest(order_id, side, price, left, left != quantity, time)
        return fills

    def add_market(self, order_id, side, quantity):
        if quantity <= 0 or order_id in self.where:
            raise ValueError
        return self._match(1 - side, None, quantity)[0]

    def _seeded(self, side, price):
        if side is None:
            return None
        return next((o for o in self.sides[side].get(price, ()) if o[4]), None)

    def cancel(self, order_id, side=None, price=None, quantity=None):
        if order_id in self.where:
            side, price, queue, k = self._find(order_id)
            return self._take(queue[k], side, price, queue[k][1]) == 0
        order = self._seeded(side, price) if self.seeded_fallback and quantity else None
        if order is None or quantity <= 0:
            return False
        self._take(order, side, price, min(quantity, order[1]))
        return True

    def reduce(self, order_id, quantity, clamp=False, side=None, price=None):
        if quantity <= 0:
            raise ValueError
        if order_id not in self.where:
            order = self._seeded(side, price) if self.seeded_fallback else None
            return None if order is None else self._take(order, side, price,
                                                        min(quantity, order[1]))
        side, price, queue, k = self._find(order_id)
        if quantity > queue[k][1] and not clamp:
            raise ValueError
        return self._take(queue[k], side, price, min(quantity, queue[k][1]))

    def execute(self, order_id, quantity, side=None, price=None):
        if quantity <= 0:
            raise ValueError
        if order_id not in self.where:
            order = self._seeded(side, price) if self.seeded_fallback else None
            if order is None:
                return None
            quantity = min(quantity, order[1])
        else:
            side, price, queue, k = self._find(order_id)
            order = queue[k]
            if quantity > order[1]:
                raise ValueError
        order[2] = True
        self._take(order, side, price, quantity)
        return (order[0], price, quantity)

    def modify(self, order_id, price, quantity, time=0):
        if quantity <= 0:
            raise ValueError
        if order_id not in self.where:
            return None
        side, old, queue, k = self._find(order_id)
        order = queue[k]
        if price == old and quantity <= order[1]:
            order[1] = quantity  # keeps its place and its time
            return ()
        self._take(order, side, old, order[1])
        fills, left = self._match(1 - side, price, quantity)
        if left:
            self._rest(order_id, side, price, left, order[2] or left != quantity, time, order[4])
        return fills

    def orders(self):
        return [(o[0], side, price, o[1], o[2], o[3], o[4])
                for side in (BID, ASK)
                for price in sorted(self.sides[side], reverse=side == BID)
                for o in self.sides[side][price]]

    def level(self, side, price):
        queue = self.sides[side].get(price)
        return None if queue is None else (sum(o[1] for o in queue), len(queue))


PRICES = st.integers(96, 104)
QUANTITIES = st.integers(-1, 12)
UNKNOWN = 10**6  # ids from here up are never issued


class CoreVsReference(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.book, self.model = core.Book(), Reference()
        self.issued, self.clock = [], 0

    @initialize(seed=st.booleans(), fallback=st.booleans())
    def start(self, seed, fallback):
        if seed:  # a book that starts mid-session, from aggregated levels
            bids, asks = [(99, 20), (97, 5)], [(101, 8), (103, 30)]
            self.book = core.Book.from_depth(bids, asks, first_id=-100, time=5,
                                             seeded_fallback=fallback)
            self.model = Reference(fallback)
            for k, (side, (price, total)) in enumerate([(BID, lv) for lv in bids]
                                                      + [(ASK, lv) for lv in asks]):
                self.model._rest(k - 100, side, price, total, False, 5, True)

    def both(self, name, *args, **kwargs):
        """The same call on both; the same result, or a ValueError from both."""
        try:
            expected = getattr(self.model, name)(*args, **kwargs)
        except ValueError:
            before = self.book.orders()
            try:
                getattr(self.book, name)(*args, **kwargs)
            except ValueError:
                assert self.book.orders() == before
                return
            raise AssertionError(f"the core accepted {name}{args} {kwargs}")
        assert getattr(self.book, name)(*args, **kwargs) == expected

    def some_id(self, data):
        return data.draw(st.sampled_from(self.issued) if self.issued and data.draw(st.booleans())
                         else st.integers(UNKNOWN, UNKNOWN + 3))

    def tick(self):
        self.clock += 1
        return self.clock

    @rule(side=st.sampled_from((BID, ASK)), price=PRICES, quantity=st.integers(1, 12))
    def add_limit(self, side, price, quantity):
        self.issued.append(len(self.issued))
        self.both("add_limit", self.issued[-1], side, price, quantity, self.tick())

    @rule(side=st.sampled_from((BID, ASK)), quantity=st.integers(1, 30))
    def add_market(self, side, quantity):
        self.issued.append(len(self.issued))
        self.both("add_market", self.issued[-1], side, quantity)

    @rule(data=st.data())
    def cancel(self, data):
        self.both("cancel", self.some_id(data))

    @rule(data=st.data(), quantity=QUANTITIES, clamp=st.booleans())
    def reduce(self, data, quantity, clamp):
        self.both("reduce", self.some_id(data), quantity, clamp=clamp)

    @rule(data=st.data(), quantity=QUANTITIES)
    def execute(self, data, quantity):
        self.both("execute", self.some_id(data), quantity)

    @rule(data=st.data(), price=PRICES, quantity=QUANTITIES)
    def modify(self, data, price, quantity):
        self.both("modify", self.some_id(data), price, quantity, self.tick())

    @precondition(lambda self: self.issued)
    @rule(data=st.data(), quantity=QUANTITIES)
    def modify_to_own_price(self, data, quantity):
        order_id = data.draw(st.sampled_from(self.issued))
        price = self.model.where.get(order_id, (0, 100))[1]
        self.both("modify", order_id, price, quantity, self.tick())

    @rule(op=st.sampled_from(["reduce", "execute", "cancel"]), side=st.sampled_from((BID, ASK)),
          price=st.sampled_from([97, 99, 101, 103, 100]), quantity=QUANTITIES)
    def unknown_id_on_seeded_volume(self, op, side, price, quantity):
        where = {"side": side, "price": price}
        if op == "cancel":
            self.both(op, UNKNOWN, quantity=quantity, **where)
        else:
            self.both(op, UNKNOWN, quantity, **where)

    @invariant()
    def same_book(self):
        self.book._check()
        rows = self.model.orders()
        assert self.book.orders() == rows
        for order_id, side, price, quantity, traded, time, seeded in rows:
            assert self.book.order(order_id) == (side, price, quantity, traded, time, seeded)
            assert self.book.level(side, price) == self.model.level(side, price)


TestCoreVsReference = CoreVsReference.TestCase
