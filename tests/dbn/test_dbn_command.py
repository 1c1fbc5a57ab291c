"""python -m velmora.dbn: the summary and book commands, and their errors."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("numpy")
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "reference"))
import dbn_files  # noqa: E402

from velmora.dbn.__main__ import main  # noqa: E402


@pytest.fixture(scope="module")
def flow_file(tmp_path_factory):
    flow = dbn_files.make_flow(3, 4000, instruments=(38, 39, 40, 41), publishers=(1,))
    path = dbn_files.write(tmp_path_factory.mktemp("cmd") / "f.dbn", flow)
    return path, flow


def test_summary_lists_the_busiest_books(flow_file, capsys):
    path, flow = flow_file
    assert main(["summary", str(path), "--limit", "3"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert f"{len(flow.records):,} records" in out[0] and "4 books" in out[0]
    table = out[3:6]
    counts = [int(line.split()[2]) for line in table]
    expected = sorted((sum(r[1] == i for r in flow.records) for i in (38, 39, 40, 41)),
                      reverse=True)[:3]
    assert counts == expected
    assert out[-1] == "... 1 more books (--limit)"


def test_book_writes_parquet_for_the_chosen_symbols(flow_file, tmp_path, capsys):
    pq = pytest.importorskip("pyarrow.parquet")
    path, flow = flow_file
    assert main(["book", str(path), "--symbols", "SYM39,SYM41", "--depth", "3", "--every",
                 "1ms", "--out", str(tmp_path / "o")]) == 0
    assert sorted(os.listdir(tmp_path / "o" / "top")) == ["symbol=SYM39", "symbol=SYM41"]
    trades = pq.read_table(tmp_path / "o" / "trades").to_pandas()
    assert len(trades) == sum(r[7] in "TF" and r[1] in (39, 41) for r in flow.records)
    assert set(trades["action"]) == {"T", "F"}
    lines = capsys.readouterr().out.splitlines()
    assert [line.split()[0] for line in lines[1:]] == ["SYM39", "SYM41"]


@pytest.mark.parametrize("argv, message", [
    (["summary", "/nonexistent/x.dbn"], "No such file"),
    (["book", "FILE", "--symbols", "NOPE", "--out", "o"], "no symbol 'NOPE'"),
    (["book", "FILE", "--every", "soon", "--out", "o"], "cannot read the interval"),
    (["summary", "NOTDBN"], "not a DBN file"),
], ids=["missing-file", "unknown-symbol", "bad-interval", "not-dbn"])
def test_errors_are_one_line(flow_file, tmp_path, argv, message, capsys):
    other = tmp_path / "x.txt"
    other.write_text("hello, world")
    argv = [str(flow_file[0]) if a == "FILE" else str(other) if a == "NOTDBN" else a
            for a in argv]
    assert main(argv) == 1
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1


def test_runs_as_a_module_without_a_bar_off_a_terminal(flow_file):
    done = subprocess.run([sys.executable, "-m", "velmora.dbn", "summary", str(flow_file[0])],
                          capture_output=True, text=True)
    assert done.returncode == 0 and "M records/s" in done.stdout
    assert done.stderr == ""


@pytest.mark.parametrize("zstd", [False, True], ids=["plain", "zstd"])
def test_progress_reports_the_file_bytes_read_to_the_end(tmp_path, zstd):
    from velmora import dbn
    flow = dbn_files.make_flow(4, 3000)
    path = dbn_files.write(tmp_path / "p.dbn", flow, zstd=zstd)
    seen = []
    dbn.replay(path, progress=seen.append, block=4096)
    assert len(seen) > 1 and seen == sorted(seen) and seen[-1] == path.stat().st_size


def test_the_bar_draws_on_a_terminal_only(tmp_path):
    import io
    from velmora._progress import progress_bar

    class Terminal(io.StringIO):
        def isatty(self):
            return True
    path = tmp_path / "f"
    path.write_bytes(b"x" * 2000)
    assert progress_bar(str(path), io.StringIO()) is None
    screen = Terminal()
    show = progress_bar(str(path), screen)
    show(1000)
    assert "50.0%" in screen.getvalue() and "1.0 kB of 2.0 kB" in screen.getvalue()
