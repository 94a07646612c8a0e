#!/usr/bin/env python3
"""Benchmark of the command line on the files people keep.

    python bench/cli.py            # 500 symbols x 2,000 events (~140 MB of JSON Lines)
    python bench/cli.py --quick    # 100 x 1,000, a few seconds
    python bench/cli.py --save bench/results.md

The data are generated once into a temporary directory: the same events as
the scan form and as JSON Lines (merged by time, as a feed recorder writes
them), each plain and gzip-compressed. Every case is a fresh process, run
round by round interleaved (A B C ... A B C) after a warm-up round; figures
are medians, peak memory is the process's maximum resident set. Every answer
is checked: each scan prints the same report as the in-process baseline.

Cases:
  baseline      read the scan form straight into a request and call command once, in process
  scan-form     norsel-radar scan EVENTS.json          (target: <= 1.3x baseline)
  scan-jsonl    norsel-radar scan EVENTS.jsonl         (target: <= 2x scan-form; memory <= 1.5x the file)
  replay-jsonl  norsel-radar replay EVENTS.jsonl       (target: >= 1 M events/s)
  ... and the same on .gz files;
  polars, duckdb  read the JSON Lines and reduce them per symbol (count, last ts): the
                same job of reading every event and grouping it by symbol, as the
                outside reference (pip install ".[bench]").
"""

from __future__ import annotations

import argparse
import gzip
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import results_file  # bench/ is the script's own folder, first on sys.path

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS_HEADING = "# Command line (bench/cli.py)"

BASELINE = """
import sys
from norsel_radar import Radar
from norsel_radar.cli import specs
path = sys.argv[1]
size = __import__("os").path.getsize(path)
prefix = b'{"cmd":"scan","events":'
buf = bytearray(len(prefix) + size + 1)
buf[: len(prefix)] = prefix
with open(path, "rb", buffering=0) as f:
    f.readinto(memoryview(buf)[len(prefix) : len(prefix) + size])
buf[-1:] = b"}"
text = buf.decode()
del buf
sys.stdout.write(Radar(specs.default_text()).command(text) + "\\n")
"""

POLARS = """
import sys, polars as pl
df = pl.read_ndjson(sys.argv[1])
out = df.group_by("symbol").agg(pl.len(), pl.col("event").struct.field("ts").max())
print(out.height)
"""

DUCKDB = """
import sys, duckdb
rows = duckdb.sql(
    "select symbol, count(*), max(event.ts) from read_json(?) group by symbol",
    params=[sys.argv[1]],
).fetchall()
print(len(rows))
"""


TIME = shutil.which("time") and os.path.exists("/usr/bin/time") and "/usr/bin/time"


def timed(argv):
    """Wall time, peak RSS (bytes) and stdout of one fresh process.

    The peak comes from GNU time wrapped around the process when it exists:
    a child's ru_maxrss counts the memory of the process that forked it, so
    it must be forked by a small one.
    """
    if TIME:
        argv = [TIME, "-f", "%M", *argv]
    start = time.perf_counter()
    proc = subprocess.run(argv, capture_output=True)
    wall = time.perf_counter() - start
    if proc.returncode != 0:
        raise SystemExit(f"{' '.join(argv)} failed: {proc.stderr.decode()}")
    err = proc.stderr.decode().splitlines()
    rss = int(err[-1]) * 1024 if TIME and err else 0
    return wall, rss, proc.stdout.decode()


def _busy_ticks():
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    idle = fields[3] + fields[4]
    return sum(fields) - idle, sum(fields)


def wait_idle(max_wait):
    """Waits (at most max_wait seconds) until the machine was mostly free for 3 s."""
    deadline = time.time() + max_wait
    while True:
        b0, t0 = _busy_ticks()
        time.sleep(3)
        b1, t1 = _busy_ticks()
        free = 1 - (b1 - b0) / max(1, t1 - t0)
        if free >= 0.85 or time.time() >= deadline:
            return free


def have(module):
    try:
        __import__(module)
    except ImportError:
        return False
    return True


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument("--quick", action="store_true", help="100 x 1,000 events, 3 rounds")
    ap.add_argument("--rounds", type=int, default=None, help="rounds after the warm-up")
    ap.add_argument("--save", metavar="PATH", help="write the results into this Markdown file")
    ap.add_argument(
        "--wait-idle",
        type=float,
        default=0,
        metavar="SECONDS",
        help="before each round, wait up to this long for a machine that is mostly idle",
    )
    args = ap.parse_args(argv)
    symbols, per_symbol = (100, 1000) if args.quick else (500, 2000)
    rounds = args.rounds or (3 if args.quick else 5)
    py = sys.executable
    tmp = tempfile.mkdtemp(prefix="norsel-cli-bench-")
    lines = []

    def say(text=""):
        print(text, flush=True)
        lines.append(text)

    try:
        say(f"norsel-radar CLI benchmark: {symbols} symbols x {per_symbol} events, {rounds} rounds")
        files = {}
        for form, name in (("scan", "ev.json"), ("jsonl", "ev.jsonl")):
            path = os.path.join(tmp, name)
            subprocess.run(
                [py, "-m", "norsel_radar", "generate", "--symbols", str(symbols),
                 "--events-per-symbol", str(per_symbol), "--format", form, "-o", path],
                check=True,
            )  # fmt: skip
            with open(path, "rb") as src, gzip.open(path + ".gz", "wb", compresslevel=6) as dst:
                shutil.copyfileobj(src, dst, 1 << 20)
            files[name] = path
            files[name + ".gz"] = path + ".gz"
        for name, path in files.items():
            say(f"  {name}: {os.path.getsize(path) / 1e6:.1f} MB")
        cli = [py, "-m", "norsel_radar"]
        cases = {
            "baseline": [py, "-c", BASELINE, files["ev.json"]],
            "scan-form": cli + ["scan", files["ev.json"], "--format", "json"],
            "scan-jsonl": cli + ["scan", files["ev.jsonl"], "--format", "json"],
            "replay-jsonl": cli + ["replay", files["ev.jsonl"]],
            "scan-form.gz": cli + ["scan", files["ev.json.gz"], "--format", "json"],
            "scan-jsonl.gz": cli + ["scan", files["ev.jsonl.gz"], "--format", "json"],
            "replay-jsonl.gz": cli + ["replay", files["ev.jsonl.gz"]],
        }
        if have("polars"):
            cases["polars"] = [py, "-c", POLARS, files["ev.jsonl"]]
            cases["polars.gz"] = [py, "-c", POLARS, files["ev.jsonl.gz"]]
        if have("duckdb"):
            cases["duckdb"] = [py, "-c", DUCKDB, files["ev.jsonl"]]
            cases["duckdb.gz"] = [py, "-c", DUCKDB, files["ev.jsonl.gz"]]
        walls = {k: [] for k in cases}
        rss = {k: 0 for k in cases}
        answers = {}
        free = []
        for r in range(rounds + 1):
            if args.wait_idle:
                free.append(wait_idle(args.wait_idle))
            for name, argv_ in cases.items():
                wall, peak, out = timed(argv_)
                if r:
                    walls[name].append(wall)
                rss[name] = max(rss[name], peak)
                answers.setdefault(name, out)
        report = answers["baseline"]
        for name in cases:
            if name.startswith("scan-"):
                assert answers[name] == report, f"{name} gave another report"
        med = {k: statistics.median(v) for k, v in walls.items()}
        events = symbols * per_symbol
        say()
        if free:
            say(
                f"Share of the machine free before the rounds: {', '.join(f'{x:.0%}' for x in free)}"
            )
            say()
        say("| case | median wall | peak memory | note |")
        say("|---|---|---|---|")
        for name in cases:
            note = ""
            if name.startswith("replay"):
                note = f"{events / med[name] / 1e6:.2f} M events/s"
            say(f"| {name} | {med[name] * 1000:.0f} ms | {rss[name] / 2**20:.0f} MiB | {note} |")
        size_jsonl = os.path.getsize(files["ev.jsonl"])
        rows = [
            (
                "scan form vs read + command in process",
                med["scan-form"] / med["baseline"],
                "<= 1.3x",
            ),
            ("scan JSON Lines vs scan form", med["scan-jsonl"] / med["scan-form"], "<= 2x"),
            (
                "scan JSON Lines, peak memory vs file size",
                rss["scan-jsonl"] / size_jsonl,
                "<= 1.5x",
            ),
            ("replay JSON Lines, M events/s", events / med["replay-jsonl"] / 1e6, ">= 1"),
            (
                "scan JSON Lines.gz vs scan form.gz",
                med["scan-jsonl.gz"] / med["scan-form.gz"],
                "(no target)",
            ),
        ]
        for ref in ("polars", "duckdb"):
            if ref in med:
                rows.append((f"scan JSON Lines vs {ref}", med["scan-jsonl"] / med[ref], "< 1x"))
                rows.append(
                    (
                        f"scan JSON Lines.gz vs {ref} on .gz",
                        med["scan-jsonl.gz"] / med[ref + ".gz"],
                        "< 1x",
                    )
                )
        say()
        say("| ratio | measured | target |")
        say("|---|---|---|")
        for what, value, target in rows:
            say(f"| {what} | {value:.2f} | {target} |")
        if args.save:
            save(args.save, symbols, per_symbol, rounds, lines)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return 0


def save(path, symbols, per_symbol, rounds, lines):
    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    body = [
        f"`python bench/cli.py`, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}:"
        f" {symbols} symbols x {per_symbol} events, medians of {rounds} interleaved rounds of"
        f" fresh processes (CPython {sys.version.split()[0]}); load average at the end {load}.",
        "",
    ]
    first = next(i for i, line in enumerate(lines) if line.startswith(("|", "Share")))
    body += lines[first:]
    results_file.write_section(path, RESULTS_HEADING, "\n".join(body))


if __name__ == "__main__":
    sys.exit(main())
