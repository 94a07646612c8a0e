"""Backtesting a RadarSpec over recorded events (needs norsel_radar[history]).

Converts sample events to Parquet, replays them with checkpoints every ten
seconds of market time in this process and in partitions on Dask's threaded
scheduler (the same timeline), looks at the alerts at one checkpoint, and
joins the reports of a split scan with merge_reports. On a cluster, pass ``client=Client(...)`` or
``scheduler="tcp://host:8786"`` to `backtest` instead.
"""

from __future__ import annotations

import json
import os
import tempfile
from typing import List

from norsel_radar import Radar, Spec, sample
from norsel_radar.history import backtest, convert, merge_reports


def main() -> None:
    spec = Spec.default()
    with tempfile.TemporaryDirectory() as folder:
        jsonl = os.path.join(folder, "events.jsonl")
        with open(jsonl, "w", encoding="utf-8") as f:
            sample.write_jsonl(f, symbols=20, events_per_symbol=600, seed=3)
        parquet = os.path.join(folder, "events.parquet")
        print(f"converted {convert(jsonl, parquet).rows:,} events to Parquet")

        timeline = backtest(parquet, spec, "10s")
        print(timeline)
        print(timeline.alerts.slice(0, 3).to_pandas()[["checkpoint", "rank", "symbol", "severity"]])

        # At any checkpoint: what "alerts" of a radar fed everything up to it answers.
        last = int(timeline.grid[-1])
        print([(a.symbol, a.severity) for a in timeline.report(last).alerts])
        for episode in timeline.episodes()[:3]:
            print(episode)

        on_threads = backtest(parquet, spec, "10s", scheduler="threads", partitions=3)
        print("threads give the same timeline:", on_threads.alerts.equals(timeline.alerts))

    # Reports of disjoint symbol sets joined as one radar would rank them.
    events = sample.generate_events(12, 200, seed=5)
    names = sorted(events)
    radar = Radar(spec.to_json())

    def scan(part: List[str]) -> str:
        return radar.command(json.dumps({"cmd": "scan", "events": {n: events[n] for n in part}}))

    parts = [scan(names[:5]), scan(names[5:])]
    print("split scans merge to the whole scan:", merge_reports(parts, spec) == scan(names))


if __name__ == "__main__":
    main()
