"""The LOBSTER folder example on a two-process Dask cluster: one task per ticker-day, each
file's rows written by its worker equal to its orderbook file, the summary equal to the same
folder replayed serially."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from dask.distributed import Client, LocalCluster

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.fixture
def example(monkeypatch):
    # Worker processes start with this process's sys.path, so they import it by name too.
    monkeypatch.syspath_prepend(str(EXAMPLES))
    import parallel_lobster

    return parallel_lobster


def test_a_folder_on_worker_processes_equals_it_serially(example, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    data = example.demo_folder(tmp_path / "data", days=3, messages=2500)
    (tmp_path / "data" / "notes.txt").write_text("not a LOBSTER file")
    found, skipped = example.pairs(data)
    assert len(found) == 3 and [p.name for p, _ in skipped] == ["notes.txt"]
    progress = []
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address="127.0.0.1:0") as cluster, Client(cluster) as client:
        pids = client.run(os.getpid)
        remote = example.run_on(client, found, tmp_path / "out", progress.append)
    assert len(set(pids.values())) == 2 and os.getpid() not in pids.values()
    assert [line.rsplit(" ", 1)[1] for line in progress] == ["(1/3)", "(2/3)", "(3/3)"]
    serial = example.run_serial(found, tmp_path / "serial", lambda line: None)
    for message, orderbook in found:
        row, alone = remote[message], serial[message]
        assert row["equal %"] == 100.0 and row["differing"] == 0 and row["halts"] == 3
        assert row["name levels"] == row["file levels"] and row["notes"] == ""
        assert {k: v for k, v in row.items() if k not in ("seconds", "rows", "trades file")} \
            == {k: v for k, v in alone.items() if k not in ("seconds", "rows", "trades file")}
        written = pq.read_table(row["rows"]).to_pandas()
        file_rows = np.loadtxt(orderbook, delimiter=",", dtype=np.int64)
        assert (written.iloc[:, 2:].to_numpy() == file_rows).all()
        assert pq.read_table(row["trades file"]).num_rows == row["trades"]
    rows = [remote[m] for m, _ in found]
    assert example.table(rows, 1.0).split("\n\n")[0].count("\n") == len(found) + 2


def test_windows_short_names_and_depths_the_name_denies(example, tmp_path):
    import lobster_files

    data, out = tmp_path / "data", tmp_path / "out"
    data.mkdir()
    session = lobster_files.make_session(5, 3000, depth=50)
    morning = lobster_files.write(data, session, 5, 100)  # two windows of one ticker-day
    lobster_files.write(data, session, 5, 1500)
    (data / "VLMR_message_5.csv").write_bytes(morning[0].read_bytes())  # LOBSTER's short
    (data / "VLMR_orderbook_5.csv").write_bytes(morning[1].read_bytes())  # names
    deep = [data / p.name.replace("VLMR", "DEEP").replace("_5.csv", "_50.csv")
            for p in morning[:2]]
    for source, target in zip(morning[:2], deep):
        target.write_bytes(source.read_bytes())
    (data / morning[0].name.replace("VLMR", "ALONE")).write_bytes(morning[0].read_bytes())
    found, skipped = example.pairs(data)
    assert len(found) == 3
    why = {path.name: reason for path, reason in skipped}
    assert set(why) == {"VLMR_message_5.csv", "VLMR_orderbook_5.csv",
                        morning[0].name.replace("VLMR", "ALONE")}
    assert "not named TICKER_DATE_START_END" in why["VLMR_message_5.csv"]
    assert "no orderbook file ALONE_" in why[morning[0].name.replace("VLMR", "ALONE")]
    rows = example.run_serial(found, out, lambda line: None)
    written = {row["rows"] for row in rows.values()}
    assert len(written) == 3 and all(Path(w).exists() for w in written)
    summary = rows[deep[0]]
    assert (summary["name levels"], summary["file levels"]) == (50, 5)
    assert "the name says 50 levels, the rows hold 5" in summary["notes"]
    text = example.table([rows[m] for m, _ in found], 1.0)
    assert "name levels" in text and "the name says 50 levels" in text
    printed = subprocess.run([sys.executable, str(EXAMPLES / "parallel_lobster.py"), str(data),
                              str(tmp_path / "again"), "--serial"], capture_output=True,
                             text=True, timeout=300)
    assert printed.returncode == 0, printed.stderr
    assert "skipped VLMR_message_5.csv: not named" in printed.stderr
