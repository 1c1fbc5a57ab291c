"""A LOBSTER pair streamed piece by piece gives what the whole-file check gives, whatever the
pieces' size (down to one row, so that every message boundary is a piece boundary): the
comparison, the trades, the halts, the counts, the refusals, the sampled rows and the
command's report; the chunked reader gives the rows the whole-file reader gives."""

import gzip
import os
import sys

import numpy as np
import pytest

from velmora import lobster
from velmora.lobster import __main__ as command

sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "reference"))
from lobster_files import (  # noqa: E402
    make_session, message_lines, orderbook_lines, write)


@pytest.fixture(scope="module")
def flow():
    return make_session(21, 2500, depth=50, bursts=0.1, gaps=0.01)


def outcome(session, comparison):
    return (comparison.rows, comparison.equal.tolist(), comparison.beyond, comparison.inside,
            comparison.first_mismatch, comparison.first_inside, session.trades.tolist(),
            session.halts.tolist(), session.unknown, session.seeded, session.window,
            session.refused, session.crossed_at.tolist())


PAIRS = [
    pytest.param(10, 500, True, id="level-10-follow"),
    pytest.param(5, 100, True, id="level-5-follow"),
    pytest.param(3, 500, False, id="level-3-strict"),  # mismatches beyond the data
    pytest.param(50, 0, False, id="deep-from-the-open"),
]


@pytest.mark.parametrize("levels, start, follow", PAIRS)
@pytest.mark.parametrize("chunk", [1, 2, 3, 64, 10**6])
def test_streaming_equals_the_whole_file(flow, tmp_path, levels, start, follow, chunk):
    message, orderbook, _, _ = write(tmp_path, flow, levels, start)
    whole = lobster.check(message, orderbook, follow=follow)
    streamed = lobster.check(message, orderbook, follow=follow, chunk=chunk)
    assert outcome(*streamed) == outcome(*whole)
    assert streamed[0].count == len(whole[0].messages)
    streamed[0].book._check()
    assert streamed[0].book.depth(0, 50) == whole[0].book.depth(0, 50)
    assert streamed[0].book.depth(1, 50) == whole[0].book.depth(1, 50)


def faulty_pair(flow, tmp_path):
    """A pair whose messages the engine refuses in places and whose rows disagree."""
    message, orderbook, messages, rows = write(tmp_path, flow, 5, 300)
    messages = list(messages)
    for at in (400, 401, 900):  # an execution of far more than the order holds
        k = next(i for i in range(at, len(messages)) if messages[i][1] == 4)
        messages[k] = messages[k][:3] + (messages[k][3] + 10**6,) + messages[k][4:]
    message.write_text("\n".join(message_lines(messages)) + "\n")
    return message, orderbook


@pytest.mark.parametrize("chunk", [1, 5, 333])
def test_refusals_and_mismatches_stream_alike(flow, tmp_path, chunk):
    message, orderbook = faulty_pair(flow, tmp_path)
    whole = lobster.check(message, orderbook)
    streamed = lobster.check(message, orderbook, chunk=chunk)
    assert whole[0].refused and whole[1].inside  # the premise
    assert outcome(*streamed) == outcome(*whole)


@pytest.mark.parametrize("chunk", [1, 4, 333])
@pytest.mark.parametrize("options", [
    pytest.param({"every": "1s"}, id="every"),
    pytest.param({"every_events": 50}, id="every-events"),
    pytest.param({"at": "times"}, id="at"),
])
def test_sampled_rows_stream_alike(flow, tmp_path, chunk, options):
    message, orderbook = faulty_pair(flow, tmp_path)
    messages, rows, _ = lobster.load(message, orderbook)
    if "at" in options:
        options = {"at": np.sort(messages["time"][::37] + 1)}
    measures = ["mid", "spread", "microprice", "imbalance:5", "ofi", "volume", "vwap",
                "trades", "events"]
    whole = lobster.replay(messages, rows, measures=measures, **options).samples
    streamed, comparison = lobster.check(message, orderbook, measures=measures, chunk=chunk,
                                         **options)
    assert len(whole) > 10
    assert streamed.samples.rows.tobytes() == whole.rows.tobytes()
    assert outcome(streamed, comparison) == outcome(*lobster.check(message, orderbook))
    # Without the comparison the sampler's book is the replay's own: the same rows.
    alone, nothing = lobster.stream(message, orderbook, options=lobster.sampling(
        measures=measures, **options), compare_rows=False, rows=chunk)
    assert nothing is None and alone.samples.rows.tobytes() == whole.rows.tobytes()


@pytest.mark.parametrize("chunk", ["1", "7", "65536"])
def test_the_command_reports_alike(flow, tmp_path, capsys, chunk):
    message, orderbook = faulty_pair(flow, tmp_path)
    whole = lobster.check(message, orderbook)
    expected = command.report(*whole, message, lobster.read_orderbook(orderbook), 1.0)
    status = command.main(["check", str(message), str(orderbook), "--chunk", chunk,
                           "--no-progress"])
    printed = capsys.readouterr().out.splitlines()
    assert status == 1
    # All but the timing line, word for word.
    assert printed[:-1] == expected[:-1] and len(expected) > 20


@pytest.mark.parametrize("gz", [False, True], ids=["plain", "gzip"])
@pytest.mark.parametrize("rows", [1, 3, 1000, 10**6])
def test_chunked_reading_equals_whole_reading(flow, tmp_path, gz, rows):
    message, orderbook, _, _ = write(tmp_path, flow, 10, 0, gz=gz)
    for whole, chunks in ((lobster.read_messages(message), lobster.message_chunks(message, rows)),
                          (lobster.read_orderbook(orderbook),
                           lobster.orderbook_chunks(orderbook, rows))):
        parts = list(chunks)
        assert all(len(p) == rows for p in parts[:-1]) and 0 < len(parts[-1]) <= rows
        assert np.concatenate(parts).tobytes() == whole.tobytes()


@pytest.mark.parametrize("cut, problem", [
    (-5, "the file ends after"),
    (+3, "more than the"),
])
def test_a_pair_of_unequal_lengths_is_refused_when_streamed(flow, tmp_path, cut, problem):
    message, orderbook, messages, rows = write(tmp_path, flow, 5, 100)
    if cut < 0:
        orderbook.write_text("\n".join(orderbook_lines(rows[:cut])) + "\n")
    else:
        orderbook.write_text("\n".join(orderbook_lines(rows + rows[:cut])) + "\n")
    with pytest.raises(lobster.LobsterFormatError, match=problem) as whole:
        lobster.check(message, orderbook)
    for chunk in (1, 64):
        with pytest.raises(lobster.LobsterFormatError) as streamed:
            lobster.check(message, orderbook, chunk=chunk)
        assert str(streamed.value) == str(whole.value)


def test_a_fault_deep_in_a_streamed_file_names_its_line(flow, tmp_path):
    message, orderbook, messages, rows = write(tmp_path, flow, 5, 100, gz=True)
    lines = orderbook_lines(rows)
    lines[1500] = lines[1500].replace(",", ",x", 1)
    with gzip.open(orderbook, "wt") as f:
        f.write("\n".join(lines) + "\n")
    with pytest.raises(lobster.LobsterFormatError, match="line 1,501") as streamed:
        lobster.check(message, orderbook, chunk=100)
    with pytest.raises(lobster.LobsterFormatError) as whole:
        lobster.check(message, orderbook)
    assert str(streamed.value) == str(whole.value)
