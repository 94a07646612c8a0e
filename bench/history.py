"""Benchmarks of norsel_radar.history (results go to bench/results.md).

H1  one process, events/s from Parquet into the radar: `backtest` on a
    Parquet file, against the raw protocol on the same events: the same
    checkpoints, each symbol's events of a checkpoint in one "feed_batch"
    (array form, every event) and one "alerts" per checkpoint, the request
    texts built beforehand so that only the radar's time is counted; and
    the same replay written plainly (rows read from Parquet, encoded with
    orjson, sent), which is what a user of the raw protocol would write.
H2  a LocalCluster of 2 worker processes against 1 worker on a larger file
    (the clusters made as --scheduler local makes them, warm: the timed runs
    follow a first one), with each worker's CPU time, and each worker's peak
    resident memory in that first run on fresh workers.

Every timeline is checked against the in-process one (and H1's against the
raw replay, report by report), so that a fast wrong answer cannot pass.

usage: python bench/history.py [--events N] [--symbols N] [--every 1m]
       [--cluster-events N] [--repeat K] [--skip-cluster] [--save]
The machine has 2 cores shared with others: ratios are measured side by
side in one run, and the load average is printed with them.
"""

from __future__ import annotations

import argparse
import logging
import os
import platform
import sys
import tempfile
import time
import warnings
from typing import Any, Dict, List, Tuple

import numpy as np
import orjson
import pyarrow as pa
import pyarrow.parquet as pq
import results_file  # bench/ is the script's own folder, first on sys.path
from norsel_radar import Radar, sample
from norsel_radar.history import backtest, parse_duration

HERE = os.path.dirname(os.path.abspath(__file__))
START = 1_717_200_000_000


def make_events(symbols: int, per_symbol: int, seed: int = 11) -> Any:
    """Per symbol about one event a second: half derivatives snapshots, a third
    order books, the rest liquidations; numbers as exchanges print them.
    Sorted by symbol, then ts (as `norsel-radar convert` writes Parquet)."""
    rng = np.random.default_rng(seed)
    n = symbols * per_symbol
    names = [f"S{i:04d}-PERP" for i in range(symbols)]
    sym = np.repeat(np.arange(symbols, dtype=np.int32), per_symbol)
    gaps = rng.integers(200, 1800, size=n)
    ts = np.empty(n, dtype=np.int64)
    for i in range(symbols):
        s = slice(i * per_symbol, (i + 1) * per_symbol)
        ts[s] = START + rng.integers(0, 1000) + np.cumsum(gaps[s])
    u = rng.random(n)
    kind = np.where(u < 0.5, 0, np.where(u < 0.85, 1, 2)).astype(np.int8)
    price = np.round(100 * np.exp(np.cumsum(rng.normal(0, 0.0005, n))), 2)
    oi = np.round(50_000 * np.exp(np.cumsum(rng.normal(0, 0.002, n))), 1)
    fr = np.round(rng.normal(0, 0.0003, n), 6)
    bid = np.round(rng.gamma(2.0, 300.0, n), 3)
    ask = np.round(rng.gamma(2.0, 300.0, n), 3)
    qty = np.round(rng.gamma(1.5, 40.0, n), 3)
    kinds = np.array(["derivatives", "orderbook", "liquidation"], dtype=object)[kind]
    d, o, q = kind == 0, kind == 1, kind == 2
    side = np.where(rng.random(n) < 0.5, "buy", "sell").astype(object)

    def only(mask: Any, values: Any) -> Any:
        return pa.array(values, mask=~mask)

    return pa.table(
        {
            "symbol": pa.array(np.array(names, dtype=object)[sym]),
            "kind": pa.array(kinds),
            "ts": pa.array(ts),
            "open_interest": only(d, oi),
            "funding_rate": only(d, fr),
            "mark_price": only(d, price),
            "bid_volume": only(o, bid),
            "ask_volume": only(o, ask),
            "best_bid": only(o, price - 0.01),
            "best_ask": only(o, price + 0.01),
            "side": pa.array(side, mask=~q),
            "qty": only(q, qty),
            "price": only(q, price),
        }
    )


def spec_text() -> str:
    return orjson.dumps(sample.default_spec()).decode()


FIELDS = {
    "derivatives": ("open_interest", "funding_rate", "mark_price"),
    "orderbook": ("bid_volume", "ask_volume", "best_bid", "best_ask"),
    "liquidation": ("side", "qty", "price"),
}


def raw_requests(path: str, grid: Any) -> List[Tuple[int, List[str]]]:
    """The raw protocol's requests, built plainly: per checkpoint, one
    "feed_batch" per symbol with its events since the last one."""
    table = pq.read_table(path)
    rows = table.to_pylist()
    by: Dict[int, Dict[str, List[Any]]] = {}
    for r in rows:
        kind = r["kind"]
        g = int(np.searchsorted(grid, r["ts"]))
        if g >= len(grid):
            continue
        event = [kind, r["ts"], *(r[f] for f in FIELDS[kind])]
        by.setdefault(g, {}).setdefault(r["symbol"], []).append(event)
    out = []
    for g in sorted(by):
        texts = [
            '{"cmd":"feed_batch","symbol":'
            + orjson.dumps(s).decode()
            + ',"events":'
            + orjson.dumps(evs).decode()
            + "}"
            for s, evs in sorted(by[g].items())
        ]
        out.append((g, texts))
    return out


def raw_replay(spec: str, requests: List[Tuple[int, List[str]]]) -> Tuple[float, Dict[int, str]]:
    radar = Radar(spec)
    reports: Dict[int, str] = {}
    t = time.perf_counter()
    for g, texts in requests:
        for text in texts:
            radar.command(text)
        reports[g] = radar.command('{"cmd":"alerts"}')
    return time.perf_counter() - t, reports


def plain_replay(spec: str, path: str, grid: Any) -> float:
    """The raw protocol written plainly from Parquet: read, group, encode, send."""
    t = time.perf_counter()
    raw_replay(spec, raw_requests(path, grid))
    return time.perf_counter() - t


def check_against_raw(timeline: Any, reports: Dict[int, str]) -> None:
    last = '{"alerts":[],"scanned":0}'
    for g, checkpoint in enumerate(timeline.grid.tolist()):
        last = reports.get(g, last)
        mine = timeline.report_text(checkpoint)
        assert mine == last, f"checkpoint {checkpoint}: {mine[:200]} != {last[:200]}"


def machine_busy() -> float:
    """CPU seconds the whole machine spent busy at normal priority (/proc/stat)."""
    with open("/proc/stat", encoding="ascii") as f:
        fields = [int(x) for x in f.readline().split()[1:]] + [0] * 8
    user, _nice, system, _idle, _iowait, irq, softirq, steal = fields[:8]
    return (user + system + irq + softirq + steal) / os.sysconf("SC_CLK_TCK")


def own_cpu() -> float:
    t = os.times()
    return t.user + t.system


def load() -> str:
    one, five, fifteen = os.getloadavg()
    return f"{one:.2f} {five:.2f} {fifteen:.2f}"


def h1(args: argparse.Namespace, folder: str, lines: List[str]) -> None:
    per = args.events // args.symbols
    path = os.path.join(folder, "h1.parquet")
    pq.write_table(make_events(args.symbols, per), path, row_group_size=1 << 18)
    n = args.symbols * per
    spec = spec_text()
    every = parse_duration(args.every)
    first = backtest(path, spec, every)
    grid = first.grid
    requests = raw_requests(path, grid)
    nbytes = sum(len(t) for _, texts in requests for t in texts)
    mine, raw = [], []
    busy0, own0, wall0 = machine_busy(), own_cpu(), time.perf_counter()
    for _ in range(args.repeat):  # interleaved, so that load changes hit both
        t = time.perf_counter()
        timeline = backtest(path, spec, every)
        mine.append(time.perf_counter() - t)
        took, reports = raw_replay(spec, requests)
        raw.append(took)
    others = (machine_busy() - busy0 - (own_cpu() - own0)) / (time.perf_counter() - wall0)
    check_against_raw(timeline, reports)
    plain = plain_replay(spec, path, grid)
    m, r = float(np.median(mine)), float(np.median(raw))
    lines.append(
        f"H1 one process, {n:,} events ({args.symbols} symbols), checkpoints every"
        f" {args.every} ({len(grid):,}), load {load()}:"
    )
    lines.append(
        f"  backtest from Parquet: {m:.2f} s = {n / m / 1e6:.2f} M events/s"
        f" ({timeline.fed / n:.0%} of the events sent to the radar)"
    )
    lines.append(
        f"  raw feed_batch + alerts, requests built beforehand ({nbytes / n:.0f} bytes/event):"
        f" {r:.2f} s = {n / r / 1e6:.2f} M events/s"
    )
    lines.append(f"  ratio backtest / raw: {m / r:.2f}x (target <= 1.3x)")
    lines.append(
        f"  the raw protocol written plainly from Parquet (read, group, orjson, send):"
        f" {plain:.2f} s = {n / plain / 1e6:.2f} M events/s; backtest / that: {m / plain:.2f}x"
    )
    lines.append(
        f"  medians of {args.repeat}; other processes kept {max(others, 0):.2f} of"
        f" {os.cpu_count()} CPUs busy meanwhile; every report checked against the raw replay's"
    )


def _worker_peak() -> int:
    """The process's peak resident memory (VmHWM: unlike ru_maxrss, not
    inherited from the process that started it)."""
    with open("/proc/self/status", encoding="ascii") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def _warm_up() -> None:
    import norsel_radar.history.backtest  # noqa: F401  (pyarrow, numpy, orjson)


def h2(args: argparse.Namespace, folder: str, lines: List[str]) -> None:
    from distributed import Client
    from norsel_radar.history.dask import local_cluster

    per = args.cluster_events // args.symbols
    path = os.path.join(folder, "h2.parquet")
    table = make_events(args.symbols, per, seed=12)
    pq.write_table(table, path, row_group_size=1 << 18)
    n = table.num_rows
    size = os.path.getsize(path)
    del table
    spec = spec_text()
    reference = backtest(path, spec, args.every)
    result: Dict[int, List[float]] = {1: [], 2: []}
    busiest: Dict[int, List[float]] = {1: [], 2: []}  # CPU seconds of the busiest worker
    total: Dict[int, List[float]] = {1: [], 2: []}  # CPU seconds of all workers
    peaks: Dict[int, List[int]] = {}
    loads: List[str] = []
    others: Dict[int, List[float]] = {1: [], 2: []}  # CPUs kept busy by other processes
    clusters = {w: local_cluster(w) for w in (1, 2)}  # as --scheduler local makes them
    try:
        clients = {w: Client(c) for w, c in clusters.items()}
        for w in (1, 2):
            # A first run on fresh workers gives their peak memory; the
            # timed runs after it find them warm, as a standing cluster is.
            client = clients[w]
            client.restart()
            client.run(_warm_up)
            timeline = backtest(path, spec, args.every, client=client, partitions=w)
            assert timeline.alerts.equals(reference.alerts), "cluster timeline differs"
            peaks[w] = sorted(client.run(_worker_peak).values())
        for _ in range(args.repeat):
            for w in (1, 2):
                client = clients[w]
                before = client.run(time.process_time)
                busy0, own0 = machine_busy(), own_cpu()
                t = time.perf_counter()
                timeline = backtest(path, spec, args.every, client=client, partitions=w)
                wall = time.perf_counter() - t
                busy, own = machine_busy() - busy0, own_cpu() - own0
                result[w].append(wall)
                after = client.run(time.process_time)
                spent = [after[k] - before[k] for k in after]
                others[w].append(max(0.0, busy - own - sum(spent)) / wall)
                busiest[w].append(max(spent))
                total[w].append(sum(spent))
                loads.append(load())
                assert timeline.alerts.equals(reference.alerts), "cluster timeline differs"
        for c in clients.values():
            c.close()
    finally:
        for c in clusters.values():
            c.close()
    one, two = float(np.median(result[1])), float(np.median(result[2]))
    lines.append(
        f"H2 LocalCluster, {n:,} events ({args.symbols} symbols, Parquet {size / 1e6:.0f} MB),"
        f" checkpoints every {args.every}:"
    )
    lines.append(
        f"  1 worker: {one:.2f} s ({n / one / 1e6:.2f} M events/s); other processes kept"
        f" {float(np.median(others[1])):.2f} CPUs busy meanwhile"
    )
    lines.append(
        f"  2 workers: {two:.2f} s ({n / two / 1e6:.2f} M events/s); other processes kept"
        f" {float(np.median(others[2])):.2f} CPUs busy meanwhile"
    )
    lines.append(f"  2 workers against 1: {one / two:.2f}x faster (target >= 1.6x)")
    cpu1, cpu2 = float(np.median(busiest[1])), float(np.median(busiest[2]))
    lines.append(
        f"  worker CPU time: 1 worker {cpu1:.2f} s; 2 workers {float(np.median(total[2])):.2f} s"
        f" in all, {cpu2:.2f} s the busier: the work per worker went down {cpu1 / cpu2:.2f}x"
        " (what the wall clock shows when the two cores are free)"
    )
    lines.append(
        "  peak resident memory per worker: 1 worker "
        + ", ".join(f"{p / 2**20:.0f} MiB" for p in peaks[1])
        + "; 2 workers "
        + ", ".join(f"{p / 2**20:.0f} MiB" for p in peaks[2])
    )
    lines.append(
        f"  medians of {args.repeat} on warm workers, runs interleaved; load averages after each:"
        f" {'; '.join(loads)}"
    )


def main() -> None:
    logging.getLogger("distributed").setLevel(logging.ERROR)
    warnings.filterwarnings("ignore", message="Port 8787 is already in use")
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--events", type=int, default=2_000_000)
    p.add_argument("--symbols", type=int, default=200)
    p.add_argument("--every", default="1m")
    p.add_argument("--cluster-events", type=int, default=10_000_000)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--skip-cluster", action="store_true")
    p.add_argument("--skip-one", action="store_true", help="only the cluster (H2)")
    p.add_argument("--save", action="store_true", help="write the results into bench/results.md")
    args = p.parse_args()
    lines: List[str] = []
    with tempfile.TemporaryDirectory() as folder:
        if not args.skip_one:
            h1(args, folder, lines)
        for line in lines:
            print(line, flush=True)
        if not args.skip_cluster:
            before = len(lines)
            h2(args, folder, lines)
            for line in lines[before:]:
                print(line, flush=True)
    if args.save:
        command = " ".join(["python bench/history.py", *sys.argv[1:]])
        body = (
            f"`{command}`, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; "
            f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
            f"CPython {platform.python_version()}.\n\n```\n" + "\n".join(lines) + "\n```"
        )
        results_file.write_section(
            os.path.join(HERE, "results.md"), "# History (bench/history.py)", body
        )


if __name__ == "__main__":
    sys.exit(main())
