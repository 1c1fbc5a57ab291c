"""The LOBSTER folder example on a two-process Dask cluster: one task per ticker-day, each
file's rows written by its worker equal to its orderbook file, the summary equal to the same
folder replayed serially."""

import os
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
    found = example.pairs(data)
    assert len(found) == 3
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
        assert row["equal %"] == 100.0 and row["mismatched"] == 0 and row["halts"] == 3
        assert {k: v for k, v in row.items() if k not in ("seconds", "rows", "trades file")} \
            == {k: v for k, v in alone.items() if k not in ("seconds", "rows", "trades file")}
        written = pq.read_table(row["rows"]).to_pandas()
        file_rows = np.loadtxt(orderbook, delimiter=",", dtype=np.int64)
        assert (written.iloc[:, 2:].to_numpy() == file_rows).all()
        assert pq.read_table(row["trades file"]).num_rows == row["trades"]
    rows = [remote[m] for m, _ in found]
    assert example.table(rows, 1.0).count("\n") == len(found) + 2
