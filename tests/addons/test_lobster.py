"""velmora.lobster against LOBSTER files made from a plain-Python book (reference/lobster_files.py): every
row of deep and shallow files, from the session's start or its middle, replays exactly;
differences the data cannot explain are told from real ones; every malformed file is refused
with its name and line; the command's two modes."""

import importlib.util
import os
import subprocess
import sys
import zlib

import numpy as np
import pytest

from velmora import lobster

# The generator lives at the top of the repository: the benchmark and the example use it too.
sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "reference"))
from lobster_files import (  # noqa: E402
    EMPTY_BID, level_file, make_session, message_lines, orderbook_lines, write)


@pytest.fixture(scope="module")
def session():
    return make_session(21, 6000, depth=50)


def replayed(paths, follow=True):
    messages, rows, _ = lobster.load(*paths[:2])
    result = lobster.replay(messages, rows, follow=follow)
    return result, lobster.compare(result, rows), rows


@pytest.mark.parametrize("levels, start, follow, gz, decimals", [
    pytest.param(50, 0, False, False, 9, id="deep-from-the-open"),
    pytest.param(50, 1500, False, True, 9, id="deep-mid-session-gz"),
    pytest.param(10, 1500, True, False, 9, id="level-10-mid-session"),
    pytest.param(3, 700, True, True, 4, id="level-3-gz-tenths-of-ms"),
    pytest.param(1, 600, True, False, 9, id="level-1-mid-session"),
])
def test_every_row_replays_exactly(session, tmp_path, levels, start, follow, gz, decimals):
    paths = write(tmp_path, session, levels, start, gz=gz, decimals=decimals)
    result, comparison, rows = replayed(paths, follow)
    messages = paths[2]
    assert comparison.rows == len(messages) - 1 and comparison.mismatched == 0
    assert comparison.equal.tolist() == [comparison.rows] * levels
    assert (result.snapshots == rows).all() and result.book is not None
    result.book._check()
    assert (result.unknown, result.refused, len(result.crossed_at)) == (0, [], 0)
    if start:  # the premise: orders rested before the file, and messages name them
        assert result.seeded > 0
    if follow:  # the premise: levels did come into view from beyond the file's depth
        assert result.window > 0 and session.max_levels > levels
    else:
        assert result.window == 0 and session.max_levels <= levels
    trades = [m for m in messages if 4 <= m[1] <= 6]
    assert [(t[1], t[2], t[3], t[4], t[5]) for t in trades] == \
        result.trades[["type", "order_id", "size", "price", "direction"]].tolist()
    assert (result.trades["book_size"] == np.where(result.trades["type"] == 4,
                                                   result.trades["size"], 0)).all()
    scale = 10 ** (9 - decimals)
    assert result.trades["time"].tolist() == [t[0] // scale * scale for t in trades]
    assert result.halts["state"].tolist() == [m[4] for m in messages if m[1] == 7]


def test_the_generated_session_holds_every_message_type(session):
    assert {m[1] for m in session.messages} == set(range(1, 8))
    assert [m[4] for m in session.messages if m[1] == 7] == [-1, 0, 1]  # halt, quotes, trading


@pytest.mark.parametrize("levels, start", [(5, 1500), (2, 200)])
def test_strict_replay_differs_only_where_the_data_is_silent(session, tmp_path, levels, start):
    result, comparison, _ = replayed(write(tmp_path, session, levels, start), follow=False)
    assert comparison.beyond > 0 and comparison.inside == 0 and comparison.first_inside is None
    assert comparison.equal[0] > comparison.equal[-1]


def corrupt(messages, rows, fault):
    """A fault at the 400th message of the kind asked: the replay disagrees from there."""
    messages = list(messages)
    at = next(i for i in range(400, len(messages)) if messages[i][1] == (1 if fault != "drop"
                                                                          else 3))
    if fault == "size":
        messages[at] = messages[at][:3] + (messages[at][3] + 7,) + messages[at][4:]
    elif fault == "side":
        messages[at] = messages[at][:5] + (-messages[at][5],)
    else:
        del messages[at], rows[at]
    return messages, rows, at


@pytest.mark.parametrize("levels, follow", [(50, False), (5, True), (5, False)])
@pytest.mark.parametrize("fault", ["size", "side", "drop"])
def test_a_faulty_message_shows_as_unexplained(session, levels, follow, fault):
    messages, rows = level_file(session, levels, 100)
    messages, rows, at = corrupt(messages, rows, fault)
    array = np.zeros(len(messages), lobster.MESSAGE_DTYPE)
    array[:] = messages
    result = lobster.replay(array, np.array(rows), follow=follow)
    comparison = lobster.compare(result, np.array(rows))
    assert comparison.inside > 0 and comparison.first_inside >= at - (fault == "drop")


def edit(path, line, text):
    lines = path.read_text().splitlines()
    lines[line - 1] = text(lines[line - 1])
    path.write_text("\n".join(lines) + "\n")


def replace_field(k, value):
    return lambda line: ",".join(value if i == k else f for i, f in enumerate(line.split(",")))


MALFORMED = [
    ("message", 5, lambda line: line + ",1", "expected 6 comma-separated fields, found 7"),
    ("message", 7, replace_field(2, "12a"), "field 3 is not a 64-bit integer: '12a'"),
    ("message", 3, replace_field(0, "noon"), "field 1 .time. is not a number"),
    ("message", 9, replace_field(1, "8"), "unknown event type 8"),
    ("message", 4, replace_field(3, "-100"), "negative size -100"),
    ("message", 6, replace_field(4, "0"), "price 0 out of range"),
    ("message", 6, replace_field(4, "99999999990"), "price 99999999990 out of range"),
    ("message", 8, replace_field(5, "0"), "direction must be 1 .buy. or -1 .sell., got 0"),
    ("message", 5, replace_field(3, "99999999999999999999"), "field 4 is not a 64-bit"),
    ("orderbook", 11, lambda line: line.rsplit(",", 1)[0], "expected 20 comma-separated"),
    ("orderbook", 2, replace_field(6, "x"), "field 7 is not a 64-bit integer: 'x'"),
    ("orderbook", 12, replace_field(5, "-3"), "negative size -3"),
    ("orderbook", 4, replace_field(4, "0"), "ask price 0 at level 2 out of range"),
    ("orderbook", 13, replace_field(2, str(EMPTY_BID)), "bid price -9999999999 at level 1"),
    ("orderbook", 1, lambda line: ",".join([line.split(",")[0], "1", line.split(",")[0], "1",
                                            *line.split(",")[4:]]),
     "the first row is a crossed book"),
]


@pytest.mark.parametrize("which, line, change, problem", MALFORMED,
                         ids=[f"{m[0]}-{m[3][:24]}" for m in MALFORMED])
def test_malformed_fields_name_file_and_line(session, tmp_path, which, line, change, problem):
    paths = write(tmp_path, session, 5, 100)
    target = paths[0] if which == "message" else paths[1]
    edit(target, line, change)
    with pytest.raises(lobster.LobsterFormatError, match=problem) as info:
        lobster.load(*paths[:2])
    assert (info.value.path, info.value.line) == (str(target), line)
    assert f"{target}, line {line}:" in str(info.value)


@pytest.mark.parametrize("which", ["message", "orderbook"])
@pytest.mark.parametrize("keep", [0.3, 0.7])
def test_truncated_gzip_names_where_it_breaks(session, tmp_path, which, keep):
    paths = write(tmp_path, session, 5, 100, gz=True)
    target = paths[0] if which == "message" else paths[1]
    data = target.read_bytes()[:int(len(target.read_bytes()) * keep)]
    target.write_bytes(data)
    whole = zlib.decompressobj(31).decompress(data).count(b"\n")  # lines that survive
    with pytest.raises(lobster.LobsterFormatError, match="truncated or corrupt") as info:
        lobster.load(*paths[:2])
    assert (info.value.path, info.value.line) == (str(target), whole + 1)


def test_an_orderbook_shorter_than_the_messages(session, tmp_path):
    message, orderbook, messages, rows = write(tmp_path, session, 5, 100)
    orderbook.write_text("\n".join(orderbook_lines(rows[:-3])) + "\n")
    with pytest.raises(lobster.LobsterFormatError, match=f"ends after {len(rows) - 3:,} rows, "
                       f"but the message file {message.name} has {len(rows):,}") as info:
        lobster.load(message, orderbook)
    assert (info.value.path, info.value.line) == (str(orderbook), len(rows) - 2)


@pytest.mark.parametrize("content, line, problem", [
    pytest.param("", None, "holds no rows", id="empty"),
    pytest.param("1,2,3,4,5,6,7,8,9,10\n" * 3, 1, "10 fields: an orderbook row holds 4 per level",
                 id="not-whole-levels"),
    pytest.param("\n5850000,100,5849900,100\n\n5850000,100,5849900,-1\n", 4, "negative size -1",
                 id="blank-lines-counted"),
])
def test_whole_file_faults(tmp_path, content, line, problem):
    path = tmp_path / "X_2026-01-02_0_1_orderbook_1.csv"
    path.write_text(content)
    with pytest.raises(lobster.LobsterFormatError, match=problem) as info:
        lobster.read_orderbook(path)
    assert info.value.line == line


@pytest.mark.parametrize("second, third, refused", [
    pytest.param((2, 1, 7, 50, 5_000_000, 1), (3, 4, 7, 500, 5_000_000, 1),
                 [(1, "order id 7 is already resting in the book"),
                  (2, "cannot execute order 7 for 500: it has 100 open")], id="duplicate-overdraw"),
    pytest.param((2, 1, 9, 2**63 - 1, 5_000_000, 1), (3, 2, 9, 1, 5_000_000, 1),
                 [(1, "the level's total quantity would exceed 2**63 - 1")], id="level-overflow"),
])
def test_refused_events_are_skipped_and_reported(second, third, refused):
    messages = np.array([(1, 1, 7, 100, 5_000_000, 1), second, third,
                         (4, 1, 8, 20, 5_010_000, -1)], lobster.MESSAGE_DTYPE)
    result = lobster.replay(messages, levels=2)
    assert result.refused == refused
    assert result.snapshots[:, :4].tolist() == [[lobster.EMPTY_ASK, 0, 5_000_000, 100]] * 3 + \
        [[5_010_000, 20, 5_000_000, 100]]
    result.book._check()


def test_without_an_orderbook_the_replay_starts_empty(session):
    messages, rows = level_file(session, 50)
    array = np.array(messages, lobster.MESSAGE_DTYPE)
    result = lobster.replay(array, levels=50)
    assert result.first == 0 and (result.snapshots == np.array(rows)).all()


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", "velmora.lobster", *map(str, args)],
                          capture_output=True, text=True, cwd=cwd, timeout=120)


def test_the_command_checks_and_writes(session, tmp_path):
    message, orderbook, messages, rows = write(tmp_path, session, 5, 100)
    checked = run("check", message, orderbook, "--depth", 3, cwd=tmp_path)
    assert checked.returncode == 0, checked.stderr
    assert f"{len(rows) - 1:>12,}  100.000 %" in checked.stdout
    assert "every row equal to the file's at depth 3" in checked.stdout
    strict = run("check", message, orderbook, "--strict", cwd=tmp_path)
    assert strict.returncode == 1 and "unexplained, at levels the messages describe: 0" in \
        strict.stdout
    parquet = importlib.util.find_spec("pyarrow") is not None
    for out in ("rows.csv", "rows.parquet")[:1 + parquet]:
        written = run("replay", message, "--out", tmp_path / out, cwd=tmp_path)
        assert written.returncode == 0, written.stderr
    assert (tmp_path / "rows.csv").read_text() == orderbook.read_text()
    alone = tmp_path / "alone.csv"
    alone.write_bytes(message.read_bytes())  # no partner: from an empty book
    written = run("replay", alone, orderbook, "--out", tmp_path / "given.csv", "--progress",
                  cwd=tmp_path)
    assert written.returncode == 0 and "100.0 %" in written.stderr
    assert (tmp_path / "given.csv").read_text() == orderbook.read_text()
    empty = run("replay", alone, "--out", tmp_path / "empty.csv", "--levels", 5, cwd=tmp_path)
    assert "from an empty book" in empty.stdout
    assert (tmp_path / "empty.csv").read_text().count("\n") == len(rows)
    if parquet:
        import pyarrow.parquet as pq

        table = pq.read_table(tmp_path / "rows.parquet")
        assert table.column("bid_size_5").to_pylist() == [row[19] for row in rows]
        trades = pq.read_table(tmp_path / "rows_trades.parquet")
        assert trades.num_rows == sum(4 <= m[1] <= 6 for m in messages)
    edit(orderbook, 9, replace_field(1, "-1"))
    failed = run("check", message, orderbook, cwd=tmp_path)
    assert failed.returncode == 2 and f"{orderbook}, line 9: negative size -1" in failed.stderr


@pytest.mark.parametrize("name, partner", [
    ("AAPL_2012-06-21_34200000_57600000_message_10.csv",
     "AAPL_2012-06-21_34200000_57600000_orderbook_10.csv"),
    ("BRK_B_2020-01-02_34200000_57600000_orderbook_1.csv.gz",
     "BRK_B_2020-01-02_34200000_57600000_message_1.csv.gz"),
    ("notes.csv", None),
])
def test_lobster_file_names(name, partner):
    parsed = lobster.parse_name(name)
    assert (parsed.partner() if parsed else None) == partner


def opening_addition(messages, rows, place, full):
    """The first addition (after 200) that opens a new level at `place` of its side (-1: the
    deepest the row shows), the row before showing `full` levels of that side if given."""
    for at in range(200, len(messages)):
        kind, direction, price = messages[at][1], messages[at][5], messages[at][4]
        if kind != 1:
            continue
        column = 2 if direction == 1 else 0
        shown = [p for p, s in zip(rows[at][column::4], rows[at][column + 1::4]) if s]
        before = [p for p, s in zip(rows[at - 1][column::4], rows[at - 1][column + 1::4]) if s]
        if len(shown) > max(place, 0) and shown[place] == price and price not in before \
                and full in (None, len(before)):
            return at
    raise AssertionError(f"no addition opens place {place}")


@pytest.mark.parametrize("levels, follow, place, full", [
    pytest.param(5, True, 0, None, id="default-best"),
    pytest.param(5, True, 1, None, id="default-mid-depth"),
    pytest.param(5, True, 4, 5, id="default-deepest-after-a-full-row"),
    pytest.param(50, False, 0, None, id="strict-best"),
    pytest.param(50, False, 1, None, id="strict-mid-depth"),
    pytest.param(50, False, -1, None, id="strict-deepest"),
])
def test_an_addition_the_rows_disagree_with_is_reported(session, tmp_path, levels, follow,
                                                        place, full):
    # The message adds 7 more than the rows show at a level it opens: no level came into
    # view from beyond the file's depth there, so the default mode must not take the row's.
    # (Strict on the deep file, which it replays exactly: only the fault differs.)
    messages, rows = level_file(session, levels, 100)
    at = opening_addition(messages, rows, place, full)
    messages[at] = messages[at][:3] + (messages[at][3] + 7,) + messages[at][4:]
    array = np.array(messages, lobster.MESSAGE_DTYPE)
    result = lobster.replay(array, np.array(rows), follow=follow)
    comparison = lobster.compare(result, np.array(rows))
    assert comparison.first_mismatch == at and comparison.first_inside == at
    message = tmp_path / f"VLMR_2026-03-02_0_1_message_{levels}.csv"
    orderbook = tmp_path / f"VLMR_2026-03-02_0_1_orderbook_{levels}.csv"
    message.write_text("\n".join(message_lines(messages)) + "\n")
    orderbook.write_text("\n".join(orderbook_lines(rows)) + "\n")
    checked = run("check", message, orderbook, *([] if follow else ["--strict"]), cwd=tmp_path)
    assert checked.returncode == 1, checked.stdout + checked.stderr
    assert f"first mismatch: after line {at + 1:,} " in checked.stdout


DEMO_MESSAGES = """\
34200.000000001,1,11,100,1000000,1
34200.500000000,4,5,50,1000100,-1
34201.000000000,2,11,40,1000000,1
34201.500000000,{third}
34202.000000000,3,11,60,1000000,1
"""
DEMO_ROWS = """\
1000100,200,1000000,100,1000200,300,999900,50
1000100,150,1000000,100,1000200,300,999900,50
1000100,150,1000000,60,1000200,300,999900,50
1000100,150,{row3},1000200,300,{row3b}
1000100,150,{row4},1000200,300,{row4b}
"""


@pytest.mark.parametrize("third, rows, default, strict_mode", [
    # The README's pair: 999800 comes into view from beyond the file's depth.
    pytest.param("5,0,30,1000050,1", dict(row3="1000000,60", row3b="999900,50",
                                          row4="999900,50", row4b="999800,70"),
                 (0, [4, 4]), (1, [4, 3]), id="readme-pair"),
    # Its hidden execution made an addition of 30 that the rows show as 70.
    pytest.param("1,12,30,1000050,1", dict(row3="1000050,70", row3b="1000000,60",
                                           row4="1000050,70", row4b="999900,50"),
                 (1, [2, 2]), (1, [2, 2]), id="addition-of-30-shown-as-70"),
    # An addition of 70 pushes 999900 out of view; it comes back with 60, changed out of view.
    pytest.param("1,12,70,1000050,1", dict(row3="1000050,70", row3b="1000000,60",
                                           row4="1000050,70", row4b="999900,60"),
                 (0, [4, 4]), (1, [4, 3]), id="level-back-in-view-changed"),
])
@pytest.mark.parametrize("strict", [False, True], ids=["default", "strict"])
def test_the_readme_pair_and_its_faults(tmp_path, third, rows, default, strict_mode, strict):
    message, orderbook = tmp_path / "m.csv", tmp_path / "o.csv"
    message.write_text(DEMO_MESSAGES.format(third=third))
    orderbook.write_text(DEMO_ROWS.format(**rows))
    status, equal = strict_mode if strict else default
    checked = run("check", message, orderbook, *(["--strict"] if strict else []), cwd=tmp_path)
    assert checked.returncode == status, checked.stdout + checked.stderr
    _, comparison = lobster.check(message, orderbook, follow=not strict)
    assert comparison.equal.tolist() == equal


def test_a_refused_event_fails_the_check_even_when_the_rows_agree(tmp_path):
    # Id 8 is added twice below the file's one level: the engine refuses the second, and
    # since the rows never show either, every row agrees.
    message, orderbook = tmp_path / "m.csv", tmp_path / "o.csv"
    message.write_text("34200.0,1,7,100,5000000,1\n34201.0,1,8,50,4990000,1\n"
                       "34202.0,1,8,50,4980000,1\n")
    orderbook.write_text("5010000,10,5000000,100\n" * 3)
    checked = run("check", message, orderbook, cwd=tmp_path)
    assert checked.returncode == 1 and "every row equal to the file's at depth 1, but the " \
        "engine refused 1 of the messages" in checked.stdout, checked.stdout


FIRST_ROWS = [
    pytest.param("5010000,10,5000000,5,5020000,10,5000000,7", 1,
                 "two bid levels at price 5000000 .levels 1 and 2.", id="two-bids-at-one-price"),
    pytest.param("5010000,10,5000000,5,5010000,10,4990000,7", 1,
                 "two ask levels at price 5010000 .levels 1 and 2.", id="two-asks-at-one-price"),
    pytest.param("5010000,10,5000000,5,5020000,10,5015000,7", 1,
                 "crossed book: bid 5015000 at level 2 is not below ask 5010000 at level 1",
                 id="crossed-below-level-1"),
]


@pytest.mark.parametrize("first, line, problem", FIRST_ROWS)
def test_a_first_row_that_is_no_book_is_refused(tmp_path, first, line, problem):
    message, orderbook = tmp_path / "m.csv", tmp_path / "o.csv"
    message.write_text("34200.0,1,7,5,5000000,1\n34201.0,3,7,5,5000000,1\n")
    orderbook.write_text(f"{first}\n5010000,10,4990000,7,5020000,10,0,0\n")
    with pytest.raises(lobster.LobsterFormatError, match=problem) as info:
        lobster.load(message, orderbook)
    assert (info.value.path, info.value.line) == (str(orderbook), line)
    checked = run("check", message, orderbook, cwd=tmp_path)
    assert checked.returncode == 2 and f"{orderbook}, line 1: " in checked.stderr
    assert "Traceback" not in checked.stderr


@pytest.mark.parametrize("keep", [1, 5, 9])
def test_a_gzip_file_cut_inside_its_header(session, tmp_path, keep):
    message, orderbook, _, _ = write(tmp_path, session, 5, 100, gz=True)
    orderbook.write_bytes(orderbook.read_bytes()[:keep])
    checked = run("check", message, orderbook, cwd=tmp_path)
    assert checked.returncode == 2 and f"error: {orderbook}, line 1: " in checked.stderr, \
        checked.stderr


def test_missing_inputs_and_byte_order_marks(session, tmp_path):
    message, orderbook, _, rows = write(tmp_path, session, 5, 100)
    with pytest.raises(FileNotFoundError, match="no such file"):
        lobster.read_messages(tmp_path / "absent.csv")
    checked = run("check", tmp_path / "absent.csv", orderbook, cwd=tmp_path)
    assert checked.returncode == 2 and "absent.csv" in checked.stderr
    message.write_bytes(b"\xef\xbb\xbf" + message.read_bytes())  # as some editors save
    _, comparison = lobster.check(message, orderbook)
    assert comparison.mismatched == 0 and comparison.rows == len(rows) - 1


def test_a_level_count_in_the_name_that_the_rows_deny_is_warned(session, tmp_path):
    message, orderbook, _, _ = write(tmp_path, session, 5, 100)
    named = tmp_path / "VLMR_2026-03-02_0_1_orderbook_50.csv"
    named.write_bytes(orderbook.read_bytes())
    with pytest.warns(UserWarning, match="the name says 50 levels, the rows hold 5"):
        lobster.read_orderbook(named)
    with pytest.warns(UserWarning, match="the name says 5 levels, the orderbook rows of "
                      "other.csv hold 4"):
        rows = np.zeros((3, 16), np.int64)
        lobster.check_lengths(np.zeros(3, lobster.MESSAGE_DTYPE), rows, message,
                              tmp_path / "other.csv")


@pytest.mark.parametrize("out", ["message", "orderbook", "trades-sibling", ".", "rows.xlsx"])
def test_replay_refuses_an_output_it_cannot_or_must_not_write(session, tmp_path, out):
    message, orderbook, _, _ = write(tmp_path, session, 5, 100)
    if out == "trades-sibling":  # rows.csv would put its trades over this message file
        message = message.rename(tmp_path / "rows_trades.csv")
    target = {"message": message, "orderbook": orderbook, "trades-sibling": tmp_path / "rows.csv",
              ".": tmp_path, "rows.xlsx": tmp_path / "rows.xlsx"}[out]
    before = message.read_bytes(), orderbook.read_bytes()
    written = run("replay", message, orderbook, "--out", target, cwd=tmp_path)
    assert written.returncode == 2 and written.stderr.startswith("error: "), written.stderr
    assert "Traceback" not in written.stderr
    assert (message.read_bytes(), orderbook.read_bytes()) == before
    assert not (tmp_path / "rows.xlsx").exists()


def test_write_refuses_a_suffix_it_does_not_write(session, tmp_path):
    messages, rows = level_file(session, 5, 100)
    result = lobster.replay(np.array(messages, lobster.MESSAGE_DTYPE), np.array(rows))
    with pytest.raises(ValueError, match="the suffix '.xlsx' names no format"):
        lobster.write(result, tmp_path / "out.xlsx")
    assert not list(tmp_path.iterdir())
    assert lobster.write(result, tmp_path / "out.xlsx", "csv")[1].name == "out_trades.xlsx"


def test_a_file_that_starts_with_an_execution(tmp_path):
    # Row 0 already holds the execution's effect: the replay starts after it and counts its
    # shares as taken from the visible book.
    message, orderbook = tmp_path / "m.csv", tmp_path / "o.csv"
    message.write_text("34200.0,4,3,40,5010000,-1\n34201.0,4,3,20,5010000,-1\n"
                       "34202.0,3,4,60,5010000,-1\n")
    orderbook.write_text("5010000,80,5000000,5\n5010000,60,5000000,5\n"
                         "9999999999,0,5000000,5\n")
    session, comparison = lobster.check(message, orderbook)
    assert comparison.mismatched == 0 and session.seeded == 2
    assert session.trades[["message", "size", "book_size"]].tolist() == [(0, 40, 40),
                                                                         (1, 20, 20)]
