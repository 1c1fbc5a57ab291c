"""The native follow rule (events with their LEVEL runs) and row comparison of velmora.lobster,
held to the NumPy array forms they replaced (tests/lobster_arrays.py) on generated pairs and
on pairs mutated so that levels come into view, vanish and disagree."""

import os
import re
import sys

import numpy as np
import pytest

pytest.importorskip("numpy")

from velmora import _lobster, core, lobster  # noqa: E402
from velmora.lobster import _replay  # noqa: E402

sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "reference"))
sys.path.append(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import lobster_arrays  # noqa: E402
from lobster_files import level_file, make_session  # noqa: E402


@pytest.fixture(scope="module")
def flow():
    # Halts, hidden executions and cross trades included; bursts share a time.
    return make_session(7, 3000, depth=40, bursts=0.1, gaps=0.01)


def arrays(flow, levels, start=0):
    messages, rows = level_file(flow, levels, start)
    out = np.zeros(len(messages), lobster.MESSAGE_DTYPE)
    for k, name in enumerate(("time", "type", "order_id", "size", "price", "direction")):
        column = [m[k] for m in messages]
        out[name] = ([round(t * 10**9) if isinstance(t, float) else t for t in column]
                     if name == "time" else column)
    return out, np.array(rows, np.int64)


def mutate(messages, rows, how, seed):
    """The pair with one kind of damage at random rows: sizes off by one, deeper levels
    emptied (the side falls below full depth), prices no message brought, or additions
    that state exactly a new level's size and price (the messages that explain a level)."""
    rng = np.random.default_rng(seed)
    messages, rows = messages.copy(), rows.copy()
    n, depth = len(rows), rows.shape[1] // 4
    at = rng.choice(np.arange(1, n), size=max(1, n // 15), replace=False)
    column = rng.integers(0, 4, size=len(at)) // 2 * 2  # 0 ask, 2 bid
    level = rng.integers(0, depth, size=len(at))
    if how == "sizes":
        rows[at, 4 * level + column + 1] += rng.choice([-1, 1], size=len(at))
        np.maximum(rows[:, 1::2], 0, out=rows[:, 1::2])
    elif how == "emptied":
        deep = np.maximum(level, depth - 2)
        rows[at, 4 * deep + column] = np.where(column == 0, lobster.EMPTY_ASK, lobster.EMPTY_BID)
        rows[at, 4 * deep + column + 1] = 0
    elif how == "prices":
        rows[at, 4 * level + column] += np.where(column == 0, 7, -7)
    elif how == "explained":
        messages["type"][at] = 1
        messages["direction"][at] = np.where(column == 0, -1, 1)
        messages["price"][at] = rows[at, 4 * level + column]
        messages["size"][at] = rows[at, 4 * level + column + 1]
    return messages, rows


def same_events(native, oracle):
    events, owners, window = native
    expected, expected_owners, expected_window = oracle
    assert window == expected_window
    assert owners.tolist() == expected_owners.tolist()
    for name in core.EVENT_DTYPE.names:
        assert events[name].tolist() == expected[name].tolist(), name


LEVELS = [pytest.param(1, id="level-1"), pytest.param(5, id="level-5"),
          pytest.param(10, id="level-10")]
DAMAGE = [pytest.param(how, id=how) for how in ("none", "sizes", "emptied", "prices",
                                                 "explained")]


@pytest.mark.parametrize("how", DAMAGE)
@pytest.mark.parametrize("levels", LEVELS)
def test_events_as_the_array_form_makes_them(flow, levels, how):
    messages, rows = mutate(*arrays(flow, levels, 200), how, seed=levels)
    native = lobster.all_events(messages, rows)
    same_events(native, lobster_arrays.all_events(messages, rows))
    assert native[2] > 0  # levels came into view: the rule was exercised
    # Strict (no LEVEL runs), and without an orderbook (every message, from the first).
    same_events(lobster.all_events(messages, rows, follow=False),
                lobster_arrays.all_events(messages, rows, follow=False))
    same_events(lobster.all_events(messages), lobster_arrays.all_events(messages))


@pytest.mark.parametrize("cut", [0, 1, 2, 3, 50], ids=lambda c: f"{c}-rows")
def test_events_of_a_pair_cut_short(flow, cut):
    messages, rows = mutate(*arrays(flow, 5), "emptied", seed=cut)
    same_events(lobster.all_events(messages[:cut], rows[:cut]),
                lobster_arrays.all_events(messages[:cut], rows[:cut]))


def test_level_ids_continue_from_the_pieces_before(flow):
    messages, rows = arrays(flow, 5)
    events, _, window = lobster.all_events(messages, rows, id_from=1000)
    level = events["order_id"][events["kind"] == core.LEVEL]
    assert window and level.tolist() == list(range(-(2**62) - 1000, -(2**62) - 1000 - window,
                                                   -1))


def test_messages_of_another_dtype_mean_the_same(flow):
    messages, rows = arrays(flow, 5)
    wide = np.zeros(len(messages), [(name, "i8") for name in lobster.MESSAGE_DTYPE.names])
    for name in lobster.MESSAGE_DTYPE.names:
        wide[name] = messages[name]
    wide["type"][5::97] = 257  # would narrow to a limit order
    wide["direction"][7::89] = 255  # would narrow to -1: an ask's own addition
    same_events(lobster.all_events(wide, rows), lobster_arrays.all_events(wide, rows))


@pytest.mark.parametrize("follow", [True, False], ids=["follow", "strict"])
@pytest.mark.parametrize("how", DAMAGE)
@pytest.mark.parametrize("levels", LEVELS)
def test_comparison_as_the_array_form_makes_it(flow, levels, how, follow):
    messages, rows = mutate(*arrays(flow, levels, 100), how, seed=levels + 1)
    session = lobster.replay(messages, rows, follow=follow)
    for depth, chunk in ((None, 1 << 16), (1, 7), (levels, 500)):
        got = lobster.compare(session, rows, depth, chunk=chunk)
        want = lobster_arrays.compare(session, rows, depth, chunk=chunk)
        assert (got.rows, got.equal.tolist(), got.beyond, got.inside, got.first_mismatch,
                got.first_inside) == (want.rows, want.equal.tolist(), want.beyond,
                                      want.inside, want.first_mismatch, want.first_inside)
    if how != "none":
        assert got.mismatched  # the damage shows


def test_the_codes_are_the_cores():
    assert _lobster.EVENT_CODES == {
        "LIMIT": core.LIMIT, "CANCEL": core.CANCEL, "REDUCE": core.REDUCE,
        "EXECUTE": core.EXECUTE, "LEVEL": core.LEVEL, "BID": core.BID, "ASK": core.ASK}


def test_events_too_many_for_the_room_are_counted():
    messages = np.zeros(4, lobster.MESSAGE_DTYPE)
    messages["type"], messages["direction"], messages["size"], messages["price"] = 1, 1, 5, 100
    events, owners = np.empty(2, core.EVENT_DTYPE), np.full(2, -9, np.int64)
    assert _lobster.make_events(messages, None, 0, 0, 0, 0, events, owners) == (4, 0)
    assert owners.tolist() == [0, 1]


@pytest.mark.parametrize("call", [
    pytest.param(lambda m, r, e, o: _lobster.make_events(m.tobytes()[:-1], None, 0, 0, 0, 0,
                                                         e, o), id="torn-record"),
    pytest.param(lambda m, r, e, o: _lobster.make_events(m, r[:-1], 8, 2, 1, 0, e, o),
                 id="rows-short"),
    pytest.param(lambda m, r, e, o: _lobster.make_events(m, r, 8, 3, 1, 0, e, o),
                 id="depth-past-fields"),
    pytest.param(lambda m, r, e, o: _lobster.make_events(m, r, 8, 0, 1, 0, e, o),
                 id="rows-without-depth"),
    pytest.param(lambda m, r, e, o: _lobster.make_events(m, r, 8, 2, 2, 0, e, o),
                 id="first-past-one"),
    pytest.param(lambda m, r, e, o: _lobster.make_events(m, r, 8, 2, 1, 0, bytes(400), o),
                 id="read-only-out"),
])
def test_hostile_event_calls_are_refused(call):
    messages = np.zeros(3, lobster.MESSAGE_DTYPE)
    rows = np.zeros((3, 8), np.int64)
    with pytest.raises((ValueError, TypeError, BufferError)):
        call(messages, rows, np.empty(10, core.EVENT_DTYPE), np.empty(10, np.int64))


def _snaps(count, levels=2):
    return np.zeros(count, [("seq", "i8"), ("bid_price", "i8", (levels,)),
                            ("bid_total", "i8", (levels,)), ("ask_price", "i8", (levels,)),
                            ("ask_total", "i8", (levels,))])


@pytest.mark.parametrize("row_of, snaps, initial, rows, depth, first, bad", [
    pytest.param([0, 3], 2, 8, 2, 2, 0, 2, id="snapshot-past-the-last"),
    pytest.param([0, 1], 2, 7, 2, 2, 0, 2, id="initial-short"),
    pytest.param([0, 1], 2, 8, 1, 2, 0, 2, id="rows-short"),
    pytest.param([0, 1], 2, 8, 2, 3, 0, 2, id="depth-past-the-levels"),
    pytest.param([0, 1], 2, 8, 2, 2, 0, 1, id="bad-too-small"),
])
def test_hostile_compare_calls_are_refused(row_of, snaps, initial, rows, depth, first, bad):
    with pytest.raises(ValueError):
        _lobster.compare_rows(_snaps(snaps), 2, np.array(row_of, np.int64),
                              np.zeros(initial, np.int64), np.zeros((rows, 8), np.int64), 8,
                              depth, first, np.zeros(2, np.int64), np.zeros(bad, np.int64))


def test_compare_reads_the_starting_book_for_rows_before_any_snapshot():
    snaps = _snaps(1)
    snaps["ask_price"], snaps["ask_total"] = [[101, 102]], [[5, 0]]
    initial = np.array([99, 98, 1, 2, 100, 101, 3, 4], np.int64)  # bid p, bid t, ask p, ask t
    rows = np.array([[100, 3, 99, 1, 101, 4, 98, 2],
                     [101, 5, -9_999_999_999, 0, 9_999_999_999, 0, -9_999_999_999, 0],
                     [101, 5, 99, 1, 9_999_999_999, 0, -9_999_999_999, 0]], np.int64)
    equal, bad = np.zeros(2, np.int64), np.zeros(3, np.int64)
    found = _lobster.compare_rows(snaps, 2, np.array([-1, 0, 0], np.int64), initial, rows, 8,
                                  2, 0, equal, bad)
    assert (found, bad[:found].tolist(), equal.tolist()) == (1, [2], [2, 2])


# --- the fast paths of the parsers ---------------------------------------------------------

FIELD_FORMS = ["0", "7", "-7", "+7", " 7", "7 ", "007", "-0", "12345678", "123456789",
               "1234567890123456", "12345678901234567", "123456789012345678",
               "1234567890123456789", "9223372036854775807", "9223372036854775808",
               "-9223372036854775808", "-9223372036854775809", "99999999999999999999", "",
               "-", "--1", "1-", "1x", "x1", "1.5", "\t3"]


def expected_field(text):
    """What a field means to the reader: an optional sign between blanks and digits, as a
    64-bit integer; None when it is not one."""
    if not re.fullmatch(r"[ \t]*[+-]?[0-9]+[ \t]*", text):
        return None
    value = int(text.strip(" \t"))
    return value if -2**63 <= value < 2**63 else None


@pytest.mark.parametrize("form", FIELD_FORMS, ids=repr)
def test_orderbook_fields_read_alike_near_and_far_from_the_block_end(form):
    # Prices with size 0 are not range-checked: every form can stand there.
    line = f"{form},0,5850000,0"
    want = [expected_field(form), 0, 5850000, 0]
    for tail in range(0, 40):  # the fast path needs 32 bytes after the line
        data = (line + "\n" + "9" * tail).encode()
        out = np.zeros((1, 4), np.int64)
        if None in want:
            with pytest.raises(_lobster.ParseError):
                _lobster.parse_orderbook(data, out, 4, False)
            continue
        rows, used, lines = _lobster.parse_orderbook(data, out, 4, False)
        assert (rows, used, lines) == (1, len(line) + 1, 1)
        assert out[0].tolist() == want, tail


@pytest.mark.parametrize("form", FIELD_FORMS, ids=repr)
def test_message_fields_read_alike_near_and_far_from_the_block_end(form):
    line = f"34200.000000001,1,{form},5,5850000,1"
    value = expected_field(form)
    for tail in range(0, 24):
        data = (line + "\n" + "9" * tail).encode()
        out = np.zeros(1, lobster.MESSAGE_DTYPE)
        if value is None:
            with pytest.raises(_lobster.ParseError):
                _lobster.parse_messages(data, out, False)
            continue
        assert _lobster.parse_messages(data, out, False)[0] == 1
        assert int(out["order_id"][0]) == value


def parsed_time(data):
    out = np.zeros(1, lobster.MESSAGE_DTYPE)
    try:
        _lobster.parse_messages(data, out, False)
    except _lobster.ParseError as exc:
        return exc.args
    return int(out["time"][0])


@pytest.mark.parametrize("form, ns", [
    ("34200.000000001", 34200 * 10**9 + 1), ("34200.5", 34200 * 10**9 + 500_000_000),
    ("34200.12345678", 34200 * 10**9 + 123_456_780), ("0.000000000", 0),
    ("34200.123456789", 34200 * 10**9 + 123_456_789), ("172800.0", 172800 * 10**9),
    ("34200.1234567895", 34200 * 10**9 + 123_456_790),  # a tenth digit rounds
    ("34200", None), ("34200.", None), (".5", None), ("-1.0", None), ("+34200.0", None),
    (" 34200.25", None), ("172800.000000001", None), ("12345678.5", None), ("1e3", None),
    ("34200.5x", None),
], ids=repr)
def test_message_times_read_alike_near_and_far_from_the_block_end(form, ns):
    line = f"{form},1,11,5,5850000,1"
    outcomes = {tail: parsed_time((line + "\n" + "9" * tail).encode()) for tail in range(40)}
    assert len({repr(o) for o in outcomes.values()}) == 1, outcomes  # both paths agree
    if ns is not None:
        assert outcomes[39] == ns


@pytest.mark.parametrize("seed", range(4))
def test_orderbook_lines_that_repeat_their_fields_read_as_written(seed):
    """Consecutive lines sharing most of their fields' text, some of it one byte or one digit
    apart, long numbers, signs, and now and then a line only the slow parse takes (blanks,
    "+"): every value as written, wherever the previous line's are reused."""
    rng = np.random.default_rng(seed)
    values = [0, 7, -7, 70, 5850000, 5850001, -5850000, 9_999_999_999, -9_999_999_999,
              9_999_999_990, 123456789012345, 1234567890123456, 1234567899999999,
              -1234567890123457, 12345678, 12345679, 123456789, 123456780]
    rows, lines = [], []
    for _ in range(600):
        row = [int(rng.choice(values)) if k % 2 == 0 else 0 for k in range(8)]
        text = [str(v) for v in row]
        if rng.random() < 0.05:
            text[2 * int(rng.integers(0, 4))] = " " + text[0] if rng.random() < 0.5 else "+0"
            row = [int(t) for t in text]
        rows.append(row)
        lines.append(",".join(text))
    data = ("\n".join(lines) + "\n").encode()
    out = np.zeros((len(rows), 8), np.int64)
    assert _lobster.parse_orderbook(data, out, 8, True)[0] == len(rows)
    assert out.tolist() == rows
