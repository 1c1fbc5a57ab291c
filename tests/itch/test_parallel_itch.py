"""examples/parallel_itch.py: one task per day file, serially and on a local Dask cluster,
the same Parquet output either way."""

import os
import sys

import pytest

sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "examples"))


def test_days_serial_and_on_dask_agree(tmp_path):
    pytest.importorskip("pyarrow")
    import parallel_itch
    from velmora import itch

    data = parallel_itch.demo_folder(tmp_path / "data", count=2)
    serial = parallel_itch.run(parallel_itch.days(data), tmp_path / "a",
                               {"symbols": None, "depth": 2, "every": "1s"})
    assert [r["day"] for r in serial] == ["day0.itch.gz", "day1.itch.gz"]
    for row in serial:
        direct = itch.replay(data / row["day"])
        assert (row["messages"], row["trades"]) == (direct.messages, len(direct.trades))
        assert os.path.isdir(os.path.join(row["out"], "trades"))
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        on_dask = parallel_itch.run(parallel_itch.days(data), tmp_path / "b",
                                    {"symbols": None, "depth": 2, "every": "1s"}, client,
                                    report=lambda line: None)
    strip = [{k: v for k, v in r.items() if k not in ("seconds", "out")} for r in on_dask]
    assert strip == [{k: v for k, v in r.items() if k not in ("seconds", "out")}
                     for r in serial]
