"""Backtests on Dask: the partitions as tasks, on the threaded scheduler or
on a ``distributed`` cluster (a LocalCluster of worker processes, or any
scheduler address).

A task builds its own radar on the thread that runs it (radars are bound to
their thread and never travel); the spec travels as JSON, the checkpoints as
(first, step, count, last), Parquet inputs as their paths (each task reads
only its symbols, skipping row groups whose symbols lie outside its range),
other inputs as the task's slice of the table. The partitions' partial
alerts come back to the caller, who joins them.

Failures: a task's own error (a bad row, an unreadable file) is raised as
it is; a worker that dies while running a task is retried by the scheduler
and, when it keeps dying, ends the run with one `HistoryError` naming the
partition. A scheduler that cannot be reached, or that has no workers for a
minute, is an error too, not a wait.
"""

from __future__ import annotations

import os
import threading
import uuid
from importlib import import_module
from typing import Any, Callable, List, Optional, Tuple

from ..types import Spec
from .backtest import Plan, ProgressFn, Survey, plan, run_partition, survey, tabled
from .engine import Partial
from .errors import HistoryError
from .inputs import Source
from .timeline import Timeline, assemble

__all__ = ["local_cluster", "run_distributed", "run_threads"]

#: Seconds to wait for a scheduler to answer, and for a first worker.
CONNECT_TIMEOUT = 30
WORKER_TIMEOUT = 60
#: Most events of one partition by default (a partition's events are in
#: memory at once).
PARTITION_EVENTS = 10_000_000


def _import_dask() -> Any:
    try:
        dask = import_module("dask")
    except ImportError:
        raise ImportError(
            'backtests on Dask need dask and distributed: pip install "norsel_radar[history]"'
        ) from None
    return dask


def _args(p: Plan, lo: Optional[str], hi: Optional[str]) -> Tuple[Any, ...]:
    return (lo, hi, p.spec_json, p.grid_args(), p.window, p.spec.labels)


def _distributed() -> Any:
    try:
        return import_module("distributed")
    except ImportError:
        raise ImportError(
            'backtests on a Dask cluster need distributed: pip install "norsel_radar[history]"'
        ) from None


def run_threads(
    source: Source,
    spec: Spec,
    every: int,
    start: Optional[int],
    end: Optional[int],
    partitions: Optional[int],
    progress: Optional[ProgressFn],
) -> Timeline:
    """The partitions as tasks of Dask's threaded scheduler, in this process."""
    dask = _import_dask()
    source = tabled(source)
    workers = os.cpu_count() or 1
    summary = survey(source)
    p = plan(summary, spec, every, start, end, partitions or default_partitions(summary, workers))
    lock = threading.Lock()
    done = 0

    def step(n: int) -> None:
        nonlocal done
        with lock:
            done += n
            if progress is not None:
                progress(done, p.events)

    tasks = [
        dask.delayed(run_partition, pure=False)(source, *_args(p, lo, hi), step)
        for (lo, hi), _ in p.ranges
    ]
    partials: List[Partial] = list(dask.compute(*tasks, scheduler="threads", num_workers=workers))
    if progress is not None:
        progress(p.events, p.events)
    return assemble(partials, p.grid, spec, every)


def default_partitions(summary: Survey, threads: int) -> int:
    """One partition per worker thread, more when a partition would hold
    more than PARTITION_EVENTS events (a partition's events are in memory
    at once)."""
    return max(threads, -(-summary.rows // PARTITION_EVENTS))


def local_cluster(workers: Optional[int] = None) -> Any:
    """A LocalCluster of single-threaded worker processes (one per processor
    unless given), without the dashboard.

    Its workers keep glibc's own memory thresholds: distributed starts
    workers with MALLOC_TRIM_THRESHOLD_=65536, which also fixes the mmap
    threshold, so that every large array a partition makes and drops is
    mapped and unmapped anew (a third more time here)."""
    dask = _import_dask()
    with dask.config.set({"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}):
        return _distributed().LocalCluster(
            n_workers=workers or os.cpu_count() or 1,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
        )


def run_distributed(
    source: Source,
    spec: Spec,
    every: int,
    start: Optional[int],
    end: Optional[int],
    partitions: Optional[int],
    client: Any,
    scheduler: Optional[str],
    progress: Optional[ProgressFn],
) -> Timeline:
    """The partitions as tasks of a distributed cluster: ``client``, or a
    client of ``scheduler`` (an address, or "local" for a LocalCluster
    started and stopped here)."""
    _import_dask()
    Client = _distributed().Client
    owned: List[Any] = []
    try:
        if client is None:
            if scheduler == "local":
                cluster = local_cluster()
                owned.append(cluster)
                client = Client(cluster)
            else:
                try:
                    client = Client(scheduler, timeout=CONNECT_TIMEOUT)
                except (OSError, TimeoutError) as exc:
                    raise HistoryError(f"scheduler {scheduler}: cannot connect ({exc})") from None
            owned.append(client)
        return _on_client(client, source, spec, every, start, end, partitions, progress)
    finally:
        for thing in reversed(owned):
            thing.close()


def _on_client(
    client: Any,
    source: Source,
    spec: Spec,
    every: int,
    start: Optional[int],
    end: Optional[int],
    partitions: Optional[int],
    progress: Optional[ProgressFn],
) -> Timeline:
    as_completed = _distributed().as_completed
    if not client.scheduler_info().get("workers"):
        try:
            client.wait_for_workers(1, timeout=WORKER_TIMEOUT)
        except TimeoutError:
            raise HistoryError(f"the scheduler has had no worker for {WORKER_TIMEOUT} s") from None
    threads = sum(client.nthreads().values()) or 1
    if source.is_parquet_only():
        # The files are read where the tasks run, which may be other machines.
        found = client.gather(
            client.map(survey, [Source([path]) for path in source.paths], pure=False)
        )
        summary = Survey()
        for part in found:
            summary.merge(part)
    else:
        source = tabled(source)
        summary = survey(source)
    p = plan(summary, spec, every, start, end, partitions or default_partitions(summary, threads))
    run = uuid.uuid4().hex[:8]
    homes = _homes(client, [size for _, size in p.ranges])
    futures = []
    for i, ((lo, hi), _) in enumerate(p.ranges):
        task_source: Any = source
        if source.memory is not None:
            part = Source(chunks=list(source.chunks(lo, hi)))
            task_source = client.scatter(part, workers=[homes[i]], hash=False)
        futures.append(
            client.submit(
                run_partition,
                task_source,
                *_args(p, lo, hi),
                key=f"norsel-backtest-{run}-{i}",
                workers=[homes[i]],
                allow_other_workers=True,
            )
        )
    which = {f.key: i for i, f in enumerate(futures)}
    sizes = [size for _, size in p.ranges]
    partials: List[Optional[Partial]] = [None] * len(futures)
    done = 0
    try:
        for future in as_completed(futures):
            i = which[future.key]
            partials[i] = _result(future, i, p)
            done += sizes[i]
            if progress is not None:
                progress(done, p.events)
    finally:
        client.cancel([f for f in futures if not f.done()])
    return assemble([x for x in partials if x is not None], p.grid, spec, every)


def _homes(client: Any, sizes: List[int]) -> List[str]:
    """A worker for each partition: the largest partitions first, each to the
    worker thread with the least work so far. (Left to itself the scheduler
    may queue two partitions on one worker while another is idle; a
    partition may still move if its worker goes away.)"""
    threads = client.nthreads()
    slots = [[0, address] for address, n in sorted(threads.items()) for _ in range(max(n, 1))]
    homes = [""] * len(sizes)
    for i in sorted(range(len(sizes)), key=lambda k: -sizes[k]):
        slot = min(slots, key=lambda x: x[0])
        slot[0] += sizes[i]
        homes[i] = slot[1]
    return homes


def _result(future: Any, i: int, p: Plan) -> Partial:
    KilledWorker = _distributed().KilledWorker
    (lo, hi), _ = p.ranges[i]
    what = f"partition {i + 1} of {len(p.ranges)} (symbols from {lo or 'the first'!r} to {hi or 'the last'!r})"
    try:
        out: Partial = future.result()
        return out
    except KilledWorker as exc:
        raise HistoryError(f"{what}: the worker running it died ({exc})") from None
    except (HistoryError, MemoryError):
        raise
    except Exception as exc:  # anything else a worker raised, as one line
        raise HistoryError(f"{what}: {type(exc).__name__}: {exc}") from exc


Step = Callable[[int], None]
