"""Backtests on a real Dask cluster: a LocalCluster of two worker processes
(one for the module), the same timelines as one radar fed every event, errors
raised where the work ran, a dying worker and an unreachable scheduler as one
clear error."""

import json
import os

import pytest

pytest.importorskip("pyarrow")
pytest.importorskip("numpy")
dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

from conftest import deriv, make_spec, sig  # noqa: E402
from norsel_radar.history import HistoryError, backtest, convert  # noqa: E402
from norsel_radar.history import dask as on_dask  # noqa: E402
from norsel_radar.history.inputs import Source  # noqa: E402
from test_history import CASES, SPEC, assert_exact, same_timeline, write_jsonl  # noqa: E402


@pytest.fixture(scope="module")
def client():
    # One retry for a task whose worker died: the dying-worker case stays short.
    with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
        cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, dashboard_address=None
        )
        with cluster, distributed.Client(cluster) as client:
            client.wait_for_workers(2, timeout=60)
            yield client


@pytest.mark.parametrize("case", list(CASES))
def test_cluster_timelines_equal_one_radar(client, tmp_path, case):
    # Parquet in small row groups sorted by symbol: partitions skip each
    # other's row groups, read by the workers themselves.
    rows, spec, every, options, _ = CASES[case]
    jsonl = write_jsonl(tmp_path / "ev.jsonl", rows)
    parquet = str(tmp_path / "ev.parquet")
    convert(jsonl, parquet, row_group_size=16)
    timeline = backtest(jsonl, spec, every, **options, client=client)
    assert_exact(timeline, rows, spec)
    address = client.scheduler.address  # by its address; one partition per symbol
    for how in ({"client": client, "partitions": 3}, {"scheduler": address, "partitions": 40}):
        same_timeline(backtest(parquet, spec, every, **options, **how), timeline)


def test_a_bad_row_is_named_from_the_worker(client, tmp_path):
    rows = [("A", deriv(i)) for i in range(1, 40)] + [("Z", deriv(i)) for i in range(1, 40)]
    rows[60] = ("Z", {"kind": "derivatives", "ts": 22, "open_interest": 1, "funding_rate": 0})
    path = write_jsonl(tmp_path / "bad.jsonl", rows)
    with pytest.raises(HistoryError) as exc:
        backtest(path, json.dumps(make_spec(sig("funding_flip", 1))), 5, client=client)
    assert str(exc.value) == f"{path}:61: parse: missing field `mark_price`"


def test_an_unreachable_scheduler_is_an_error(monkeypatch):
    monkeypatch.setattr(on_dask, "CONNECT_TIMEOUT", 2)
    with pytest.raises(HistoryError, match="scheduler tcp://127.0.0.1:9: cannot connect"):
        backtest({"A": [deriv(1)]}, SPEC, 25, scheduler="tcp://127.0.0.1:9")


class Killer(Source):
    """A Parquet source whose reading ends the worker process."""

    def chunks(self, lo=None, hi=None):
        os._exit(3)


def test_a_dying_worker_is_one_clear_error(client, tmp_path):
    # Last in the module: the workers it kills are restarted by their nannies.
    path = str(tmp_path / "ev.parquet")
    convert(write_jsonl(tmp_path / "ev.jsonl", [("A", deriv(1))]), path)
    with pytest.raises(HistoryError, match=r"partition 1 of 1 .*: the worker running it died"):
        backtest(Killer([path]), SPEC, 25, client=client, partitions=1)
