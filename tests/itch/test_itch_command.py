"""python -m velmora.itch: the summary and book commands, and their errors."""

import os
import subprocess
import sys

import pytest

from velmora.itch.__main__ import main

sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "reference"))
from itch_files import generate  # noqa: E402


@pytest.fixture(scope="module")
def day(tmp_path_factory):
    path = tmp_path_factory.mktemp("cmd") / "day.itch.gz"
    info = generate(path, seed=8, stocks=10, messages=4000)
    return path, info


def test_summary_lists_the_busiest_stocks(day, capsys):
    path, info = day
    assert main(["summary", str(path), "--limit", "4"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert "messages" in out[0] and "stocks" in out[0]
    table = out[3:7]
    counts = [int(line.split()[1]) for line in table]
    assert counts == sorted(counts, reverse=True) and len(table) == 4
    assert out[-1] == f"... {len(info['symbols']) - 4} more stocks (--limit)"


def test_book_writes_parquet_for_the_chosen_symbols(day, tmp_path, capsys):
    pytest.importorskip("pyarrow")
    path, info = day
    chosen = info["active"][:2]
    assert main(["book", str(path), "--symbols", ",".join(chosen), "--depth", "3",
                 "--every", "1s", "--out", str(tmp_path / "o")]) == 0
    assert sorted(os.listdir(tmp_path / "o" / "top")) == [f"symbol={s}" for s in sorted(chosen)]
    lines = capsys.readouterr().out.splitlines()
    assert [line.split()[0] for line in lines[1:]] == sorted(chosen)


@pytest.mark.parametrize("argv, message", [
    (["summary", "/nonexistent/x.itch"], "cannot open /nonexistent/x.itch"),
    (["book", "FILE", "--symbols", "TOOLONGNAME", "--out", "o"], "1 to 8 characters"),
    (["book", "FILE", "--every", "soon", "--out", "o"], "cannot read the interval"),
], ids=["missing-file", "bad-symbol", "bad-interval"])
def test_errors_are_one_line(day, argv, message, capsys):
    argv = [str(day[0]) if a == "FILE" else a for a in argv]
    assert main(argv) == 1
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1


def test_runs_as_a_module(day):
    done = subprocess.run([sys.executable, "-m", "velmora.itch", "summary", str(day[0])],
                          capture_output=True, text=True)
    assert done.returncode == 0 and "M messages/s" in done.stdout
    assert done.stderr == ""  # no progress bar off a terminal
