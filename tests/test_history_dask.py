"""Backtests on a real Dask cluster: a LocalCluster of two worker processes
(one for the module), the same timelines as in one process and as one radar
fed every event, errors raised where the work ran, a dying worker and an
unreachable scheduler as one clear error."""

import json
import os

import pytest

pytest.importorskip("pyarrow")
pytest.importorskip("numpy")
dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

from conftest import deriv, make_spec, sig  # noqa: E402
from norsel_radar import sample  # noqa: E402
from norsel_radar.history import HistoryError, backtest, convert  # noqa: E402
from norsel_radar.history import dask as on_dask  # noqa: E402
from norsel_radar.history.inputs import Source  # noqa: E402
from test_history import (  # noqa: E402
    ADVERSARIAL_SPECS,
    _mapping,
    adversarial_rows,
    assert_exact,
    same_timeline,
    write_jsonl,
)


@pytest.fixture(scope="module")
def cluster():
    # One retry for a task whose worker died: the dying-worker case stays short.
    with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
        with distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster:
            yield cluster


@pytest.fixture
def client(cluster):
    with distributed.Client(cluster) as client:
        client.wait_for_workers(2, timeout=60)
        yield client


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """The adversarial events as JSON Lines, and as Parquet in small row
    groups sorted by symbol (so partitions skip each other's row groups)."""
    folder = tmp_path_factory.mktemp("dask")
    rows = adversarial_rows()
    jsonl = write_jsonl(folder / "ev.jsonl", rows)
    parquet = str(folder / "ev.parquet")
    convert(jsonl, parquet, row_group_size=16)
    planted = list(sample.iter_events(8, 200))
    planted_path = str(folder / "planted.parquet")
    convert(write_jsonl(folder / "planted.jsonl", planted), planted_path, row_group_size=100)
    return {"rows": rows, "jsonl": jsonl, "parquet": parquet, "planted": (planted, planted_path)}


@pytest.mark.parametrize("name", list(ADVERSARIAL_SPECS))
def test_cluster_timelines_equal_one_radar(client, files, name):
    spec = ADVERSARIAL_SPECS[name]
    local = backtest(files["jsonl"], spec, 25)
    for source in (files["jsonl"], files["parquet"]):
        for partitions in (None, 3, 40):
            timeline = backtest(source, spec, 25, client=client, partitions=partitions)
            same_timeline(timeline, local)
    assert_exact(timeline, files["rows"], spec)


def test_planted_sample_on_the_cluster_and_by_address(client, cluster, files):
    planted, path = files["planted"]
    spec = json.dumps(dict(sample.default_spec(), limit=3, threshold=0.1))
    local = backtest(_mapping(planted), spec, "2s")
    same_timeline(backtest(path, spec, "2s", client=client, partitions=4), local)
    same_timeline(backtest(path, spec, "2s", scheduler=cluster.scheduler_address), local)
    same_timeline(backtest(path, spec, "2s", scheduler="threads", partitions=3), local)
    assert_exact(local, planted, spec)


def test_a_bad_row_is_named_from_the_worker(client, tmp_path):
    rows = [("A", deriv(i)) for i in range(1, 40)] + [("Z", deriv(i)) for i in range(1, 40)]
    rows[60] = ("Z", {"kind": "derivatives", "ts": 22, "open_interest": 1, "funding_rate": 0})
    path = write_jsonl(tmp_path / "bad.jsonl", rows)
    with pytest.raises(HistoryError) as exc:
        backtest(path, json.dumps(make_spec(sig("funding_flip", 1))), 5, client=client)
    assert str(exc.value) == f"{path}:61: parse: missing field `mark_price`"


def test_an_unreachable_scheduler_is_an_error(monkeypatch, files):
    monkeypatch.setattr(on_dask, "CONNECT_TIMEOUT", 2)
    with pytest.raises(HistoryError, match="scheduler tcp://127.0.0.1:9: cannot connect"):
        backtest(files["jsonl"], ADVERSARIAL_SPECS["limit 2"], 25, scheduler="tcp://127.0.0.1:9")


class Killer(Source):
    """A Parquet source whose reading ends the worker process."""

    def chunks(self, lo=None, hi=None):
        os._exit(3)


def test_a_dying_worker_is_one_clear_error(client, files):
    # Last in the module: the workers it kills are restarted by their nannies.
    source = Killer([files["parquet"]])
    with pytest.raises(HistoryError, match=r"partition 1 of 1 .*: the worker running it died"):
        backtest(source, ADVERSARIAL_SPECS["limit 2"], 25, client=client, partitions=1)
