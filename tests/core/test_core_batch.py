"""velmora.core batch replay: the documented layouts, malformed and hostile buffers, and
stopping at a refused event with the fills so far."""

import struct

import numpy as np
import pytest

from velmora import core

BID, ASK, LIMIT, MARKET, CANCEL = core.BID, core.ASK, core.LIMIT, core.MARKET, core.CANCEL
RECORD = struct.Struct("=bb6xqqqq")  # the documented raw layout


def timed(row):
    """An event row with its time (0 when the row leaves it out)."""
    return tuple(row) + (0,) * (6 - len(row))


def events(*rows):
    return np.array([timed(row) for row in rows], dtype=core.EVENT_DTYPE)


def raw(*rows):
    return b"".join(RECORD.pack(*timed(row)) for row in rows)


FLOW = [
    (LIMIT, ASK, 1, 101, 5),
    (LIMIT, ASK, 2, 100, 3),
    (LIMIT, BID, 3, 99, 4),
    (CANCEL, 0, 1, 0, 0),
    (MARKET, BID, 4, 0, 10),
    (LIMIT, ASK, 5, 98, 6),
]
EXPECTED = [(4, 4, 2, 100, 3, BID, MARKET, 0), (5, 5, 3, 99, 4, ASK, LIMIT, 0)]


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda: events(*FLOW), id="structured-array"),
        pytest.param(lambda: raw(*FLOW), id="bytes"),
        pytest.param(lambda: bytearray(raw(*FLOW)), id="bytearray"),
        pytest.param(lambda: memoryview(b"\0" * 7 + raw(*FLOW))[7:], id="unaligned-memoryview"),
        pytest.param(lambda: np.frombuffer(raw(*FLOW), dtype=np.uint8), id="uint8-array"),
        pytest.param(lambda: events(*[r for row in FLOW for r in (row, (CANCEL, 0, -1, 0, 0))])[::2],
                     id="strided-view"),
    ],
)
def test_every_documented_layout_gives_the_same_fills(make):
    book = core.Book()
    fills = book.replay(make()).fills
    assert fills.dtype == core.FILL_DTYPE
    assert fills.tolist() == EXPECTED
    assert book.orders() == [(5, ASK, 98, 2, True, 0, False)]


def test_empty_inputs():
    book = core.Book()
    assert book.replay(b"").fills.tolist() == []
    assert book.replay(events()).fills.shape == (0,)


@pytest.mark.parametrize(
    "value, exc, message",
    [
        pytest.param(np.zeros(3, np.float64), TypeError, "EVENT_DTYPE", id="float64-array"),
        pytest.param(np.zeros(2, np.dtype([("kind", "i1"), ("pad", "V39")])), TypeError,
                     "EVENT_DTYPE", id="other-40-byte-dtype"),
        pytest.param(np.zeros((2, 2), core.EVENT_DTYPE), TypeError,
                     r"one-dimensional array of velmora\.core\.EVENT_DTYPE, not 2-dimensional "
                     r"\(numpy\.lib\.recfunctions\.unstructured_to_structured\(table, ",
                     id="two-dimensional"),
        pytest.param(np.zeros((2, 6), np.int64), TypeError, "unstructured_to_structured",
                     id="table-of-numbers"),
        pytest.param(b"\0" * 41, ValueError, "whole 40-byte records", id="partial-record"),
        pytest.param(memoryview(b"\0" * 64)[::2], TypeError, "contiguous",
                     id="non-contiguous-bytes"),
        pytest.param("not a buffer", TypeError, "EVENT_DTYPE, not str", id="str"),
        pytest.param(None, TypeError, "EVENT_DTYPE, not NoneType", id="none"),
        pytest.param([(core.LIMIT, BID, 2, 100, 1)], TypeError,
                     r"^events must be an array of velmora\.core\.EVENT_DTYPE, not list: "
                     r"numpy\.array\(rows, dtype=velmora\.core\.EVENT_DTYPE\) makes one",
                     id="list"),
        pytest.param(np.zeros(2, core.FILL_DTYPE), TypeError, "EVENT_DTYPE", id="fill-dtype"),
    ],
)
def test_malformed_inputs_are_refused_before_any_event(value, exc, message):
    book = core.Book()
    book.add_limit(1, BID, 100, 1)
    with pytest.raises(exc, match=message):
        book.replay(value)
    assert book.orders() == [(1, BID, 100, 1, False, 0, False)]


def event_like(**change):
    """A dtype of EVENT_DTYPE's names and offsets, some fields of another type."""
    fields = core.EVENT_DTYPE.fields
    return np.dtype({"names": list(fields), "offsets": [fields[n][1] for n in fields],
                     "formats": [change.get(n, fields[n][0]) for n in fields],
                     "itemsize": core.EVENT_DTYPE.itemsize})


@pytest.mark.parametrize("dtype, first", [
    pytest.param(event_like(price="f8"), "field 'price' is float64 at offset 16, where "
                 "EVENT_DTYPE has int64 at offset 16", id="float-price-column"),
    pytest.param(event_like(quantity="u8", price="f8"), "field 'price' is float64",
                 id="first-of-two"),
    pytest.param(core.EVENT_DTYPE.newbyteorder(">"), "field 'order_id' is >i8 at offset 8",
                 id="byte-swapped"),
    pytest.param(np.dtype([("kind", "i1"), ("pad", "V39")]), "it has no field 'side', where "
                 "EVENT_DTYPE has int8 at offset 1", id="missing-field"),
    pytest.param(np.dtype("f8"), "its items are float64, not records", id="plain-floats"),
    pytest.param(np.dtype(core.EVENT_DTYPE.descr + [("extra", "i8")]),
                 "its records are 48 bytes, not 40", id="extra-field"),
])
def test_a_wrong_event_dtype_names_its_first_differing_field(dtype, first):
    with pytest.raises(TypeError, match=r"^events must be an array of velmora\.core\."
                       r"EVENT_DTYPE or a bytes-like buffer of 40-byte records: "
                       + first.replace("(", r"\(").replace(")", r"\)")):
        core.Book().replay(np.zeros(2, dtype))


class Misdescribed(np.ndarray):
    """40-byte float records whose dtype attribute, as Python sees it, misbehaves (the
    buffer NumPy exports is the array's own)."""

    shown = None

    @property
    def dtype(self):
        if isinstance(self.shown, Exception):
            raise self.shown
        return self.shown


class Fields(dict):
    def get(self, name, default=None):
        raise RuntimeError("no fields today")


@pytest.mark.parametrize("shown, says", [
    pytest.param(RuntimeError("dtype raises"), "not items of format", id="dtype-raises"),
    pytest.param("not a dtype", "not items of format", id="dtype-is-a-str"),
    pytest.param(type("D", (), {"fields": Fields()})(), "not items of format",
                 id="fields-get-raises"),
    pytest.param(type("D", (), {"fields": {"kind": "no tuple"}})(),
                 "field 'kind' is described as 'no tuple'", id="field-not-a-pair"),
])
def test_a_hostile_dtype_still_gets_a_type_error(shown, says):
    events = np.zeros((2, 5), np.float64).view(np.dtype([("x", "f8", 5)])).reshape(2)
    hostile = events.view(Misdescribed)
    hostile.shown = shown
    with pytest.raises(TypeError, match="EVENT_DTYPE or a bytes-like buffer of 40-byte") as info:
        core.Book().replay(hostile)
    assert says in str(info.value)


def test_a_released_memoryview_is_refused():
    view = memoryview(raw(*FLOW))
    view.release()
    with pytest.raises(ValueError, match="released"):
        core.Book().replay(view)


def test_the_buffer_is_released_after_the_call():
    data = bytearray(raw(*FLOW))
    core.Book().replay(data)
    data.extend(b"\0" * 40)  # a bytearray cannot be resized while a view is held
    data.clear()


@pytest.mark.parametrize(
    "bad, exc, message",
    [
        pytest.param((LIMIT, BID, 1, 50, 1), ValueError, "event 2: order id 1 is already",
                     id="duplicate-id"),
        pytest.param((LIMIT, BID, 9, 50, 0), ValueError, "event 2: quantity must be positive",
                     id="zero-quantity"),
        pytest.param((7, BID, 9, 50, 1), ValueError, "event 2: kind must be", id="bad-kind"),
        pytest.param((MARKET, 2, 9, 0, 1), ValueError, "event 2: side must be", id="bad-side"),
    ],
)
def test_a_refused_event_stops_the_replay_with_the_fills_so_far(bad, exc, message):
    book = core.Book()
    flow = [FLOW[0], (LIMIT, BID, 3, 101, 2), bad, (LIMIT, BID, 20, 50, 1)]
    with pytest.raises(exc, match=message) as info:
        book.replay(events(*flow))
    assert info.value.applied == 2
    assert info.value.fills.tolist() == [(1, 3, 1, 101, 2, BID, LIMIT, 0)]
    # Events before the refused one are applied; it and the later ones are not.
    assert book.orders() == [(1, ASK, 101, 3, True, 0, False)]
    book._check()


class Exporter:
    """Exports a buffer through __buffer__ and changes the book while doing so, and again
    when the buffer is released."""

    def __init__(self, book, data):
        self.book, self.data = book, bytearray(data)

    def __buffer__(self, flags):
        self.book.add_limit(100, ASK, 100, 1)
        return memoryview(self.data)

    def __release_buffer__(self, view):
        self.book.cancel(100)
        self.book.add_limit(101, BID, 1, 1)
        view.release()
        self.data.clear()  # only possible once our own view is gone


def test_python_code_around_the_buffer_export_sees_a_consistent_book():
    book = core.Book()
    exporter = Exporter(book, raw((MARKET, BID, 1, 0, 2), (LIMIT, BID, 2, 99, 1)))
    fills = book.replay(exporter).fills
    assert fills.tolist() == [(0, 1, 100, 100, 1, BID, MARKET, 0)]
    assert book.orders() == [(2, BID, 99, 1, False, 0, False), (101, BID, 1, 1, False, 0, False)]
    assert exporter.data == bytearray()
    book._check()


def test_batch_and_per_event_calls_mix():
    book = core.Book()
    book.add_limit(1, ASK, 100, 5)
    assert (book.replay(events((MARKET, BID, 2, 0, 2))).fills.tolist()
            == [(0, 2, 1, 100, 2, BID, MARKET, 0)])
    assert book.add_market(3, BID, 10) == ((1, 100, 3),)


@pytest.mark.parametrize("orders", [4095, 4096, 4097, 9000, 20_000])
@pytest.mark.parametrize("stop", [False, True], ids=["whole", "stopped"])
def test_fills_past_the_growth_of_the_fill_buffer(orders, stop):
    # One-unit asks swept by market orders of 7 make a fill per ask, across the points where
    # the fill buffer grows; a refused last event hands back the fills so far the same way.
    rows = [(LIMIT, ASK, k + 1, 1000 + k % 50, 1, k) for k in range(orders)]
    rows += [(MARKET, BID, orders + 1 + k, 0, 7, orders + k) for k in range(orders // 7 + 1)]
    expected = []
    book = core.Book()
    for kind, side, order_id, price, quantity, t in rows:
        if kind == LIMIT:
            book.add_limit(order_id, side, price, quantity, t)
        else:
            expected += [(order_id, f[0], f[1], f[2], t) for f in book.add_market(order_id, side,
                                                                                   quantity)]
    assert len(expected) == orders
    if stop:
        rows.append((LIMIT, ASK, 1, 1000, 0, 0))  # a bad quantity
        with pytest.raises(ValueError) as caught:
            core.Book().replay(events(*rows))
        fills = caught.value.fills
    else:
        fills = core.Book().replay(events(*rows)).fills
    got = list(zip(fills["aggressor_id"].tolist(), fills["resting_id"].tolist(),
                   fills["price"].tolist(), fills["quantity"].tolist(), fills["time"].tolist()))
    assert got == expected
    assert fills["seq"].tolist() == sorted(fills["seq"].tolist())
