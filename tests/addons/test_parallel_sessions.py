"""The many-sessions example on a two-process Dask cluster: every session's book, pickled
back from its worker, equals the same session run serially in this process."""

import os
import sys
from pathlib import Path

import pytest
from dask.distributed import Client, LocalCluster

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
SEEDS, EVENTS = [11, 12, 13, 14], 400


@pytest.fixture
def example(monkeypatch):
    # Worker processes start with this process's sys.path, so they import it by name too.
    monkeypatch.syspath_prepend(str(EXAMPLES))
    import parallel_sessions

    return parallel_sessions


def outcome(book):
    """A finished session as a caller sees it. Each process issues its own order
    identifiers, in the same order for the same flow: they are compared by rank."""
    ids = {i for t in book.trade_log for i in (t.aggressor_id, t.filler_id)} | set(book.orders)
    rank = {i: r for r, i in enumerate(sorted(ids, key=int))}
    trades = [(repr(t.price), t.quantity_filled, t.aggressor_side, rank[t.aggressor_id],
               rank[t.filler_id], t.trade_type) for t in book.trade_log]
    resting = [(rank[i], o.remaining_quantity, o.status, repr(o.price))
               for i, (_, o) in book.orders.items()]
    return trades, resting, str(book), repr(book.best_bid()), repr(book.best_ask())


def test_sessions_on_worker_processes_equal_serial_sessions(example):
    progress = []
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address="127.0.0.1:0") as cluster, Client(cluster) as client:
        pids = client.run(os.getpid)
        remote = example.run_on(client, SEEDS, EVENTS, progress.append)
    assert len(set(pids.values())) == 2 and os.getpid() not in pids.values()
    assert [line.rsplit(" ", 1)[1] for line in progress] == ["(1/4)", "(2/4)", "(3/4)", "(4/4)"]
    assert sorted(int(line.split()[1]) for line in progress) == SEEDS
    serial = example.run_serial(SEEDS, EVENTS, lambda line: None)
    for seed in SEEDS:
        book, seconds, session_seconds = remote[seed]
        assert 0 < seconds < session_seconds and book.trade_log
        assert outcome(book) == outcome(serial[seed][0]), f"session {seed}"
    rows = [example.summary(seed, EVENTS, *remote[seed]) for seed in SEEDS]
    assert [r["trades"] for r in rows] == [len(serial[s][0].trade_log) for s in SEEDS]
    assert example.table(rows, 1.0).count("\n") == len(SEEDS) + 2
