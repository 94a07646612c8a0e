#!/usr/bin/env python3
"""Benchmark of the dashboard (norsel-radar serve) with many viewers.

    python bench/web.py            # 2,000 symbols, 50 s of market time at 10x
    python bench/web.py --quick    # 500 symbols, 2 windows of each kind
    python bench/web.py --save bench/results.md

One `serve` process replays generated JSON Lines (the first 50 s of market
time, while every symbol trades: a steady load), paced at 10x market time
and looped (the radar's report is taken at every pacing step, ten times a
second, as a desk would watch it). Its CPU time (user + system, all
threads, from /proc) is read over alternating windows of one round of the
replay each: no viewer, then 50 viewers streaming on loopback from this
process, and so on;
the viewers connect before their window starts. The figure is what the 50
viewers add to the server's CPU time per second of replay (medians over the
windows).

The same cost is also measured where nothing else moves: the dashboard's
server in this process (a thread), its board written 20 times a second with
the default spec's ten rows, streamed to 100 viewers and then to 1 (in a
child process); the difference of this process's CPU time, per frame and
viewer.

Then the page in the system's headless chromium (when there is one), besides
the 50 viewers, reads for every update the time from the report being taken
by the radar's thread to the page having rendered it.

Targets: the page reflects a radar update within 1 s; 50 viewers add less
than 10% to the replay's CPU time.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

import results_file  # bench/ is the script's own folder, first on sys.path

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS_HEADING = "# Dashboard (bench/web.py)"
TICK = os.sysconf("SC_CLK_TCK")
#: Milliseconds of market time replayed.
SPAN_MS = 50_000


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK  # utime, stime


def get_state(url: str) -> dict:
    with urllib.request.urlopen(url.rstrip("/") + "/state", timeout=10) as resp:
        return json.loads(resp.read())


# ---------------------------------------------------------------- viewers


class Viewers:
    """Streams opened from this process, read and thrown away."""

    def __init__(self, url: str) -> None:
        m = re.match(r"http://([^:/]+):(\d+)/", url)
        assert m
        self.host, self.port = m.group(1), int(m.group(2))
        self.frames = 0
        self.bytes = 0
        self.tasks: list = []
        self.writers: list = []

    async def open(self, n: int) -> None:
        ready = []
        for _ in range(n):
            reader, writer = await asyncio.open_connection(self.host, self.port)
            writer.write(f"GET /stream HTTP/1.1\r\nHost: {self.host}:{self.port}\r\n\r\n".encode())
            self.writers.append(writer)
            first = asyncio.get_running_loop().create_future()
            ready.append(first)
            self.tasks.append(asyncio.ensure_future(self._read(reader, first)))
        await asyncio.gather(*ready)  # each has its first frame, the whole state

    async def _read(self, reader: asyncio.StreamReader, first: asyncio.Future) -> None:
        while True:
            data = await reader.read(1 << 16)
            if not data:
                break
            self.bytes += len(data)
            self.frames += data.count(b"event: ")
            if not first.done():
                first.set_result(None)

    async def close(self) -> None:
        for writer in self.writers:
            writer.close()
        for task in self.tasks:
            task.cancel()
        await asyncio.gather(*self.tasks, return_exceptions=True)
        self.tasks, self.writers = [], []


async def windows(url: str, pid: int, n: int, count: int, seconds: float) -> dict:
    """CPU seconds of the server per second of wall time, by window kind."""
    shares: dict = {0: [], n: []}
    frames = []
    for _ in range(count):
        for k in (0, n):
            viewers = Viewers(url)
            if k:
                await viewers.open(k)
            await asyncio.sleep(0.5)  # connections settled
            c0, t0, f0 = cpu_seconds(pid), time.monotonic(), viewers.frames
            await asyncio.sleep(seconds)
            c1, t1, f1 = cpu_seconds(pid), time.monotonic(), viewers.frames
            shares[k].append((c1 - c0) / (t1 - t0))
            if k:
                frames.append((f1 - f0) / k / (t1 - t0))
            await viewers.close()
            print(f"  {k:3d} viewers: server CPU {shares[k][-1]:.3f} s/s", flush=True)
    return {"shares": shares, "frames": statistics.median(frames)}


def start_serve(path: str, speed: str) -> tuple:
    proc = subprocess.Popen(
        [sys.executable, "-m", "norsel_radar", "serve", "--port", "0", "--replay", path]
        + ["--speed", speed, "--loop"],
        stdout=subprocess.PIPE,
        text=True,
    )
    head = proc.stdout.readline() + proc.stdout.readline()
    m = re.search(r"open (http://\S+)", head)
    assert m, head
    return proc, m.group(1)


def make_browser():
    chromium, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if not chromium or not driver:
        return None
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        return None
    os.environ.setdefault("SE_OFFLINE", "true")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        options.add_argument(arg)
    return webdriver.Chrome(options=options, service=Service(driver))


VIEWERS_CHILD = """
import asyncio, sys
async def one(port):
    r, w = await asyncio.open_connection("127.0.0.1", port)
    w.write(b"GET /stream HTTP/1.1\\r\\nHost: 127.0.0.1\\r\\n\\r\\n")
    while await r.read(65536):
        pass
async def main(port, n):
    await asyncio.gather(*[one(port) for _ in range(n)])
asyncio.run(main(int(sys.argv[1]), int(sys.argv[2])))
"""


def per_frame_cost(updates: int = 200) -> float:
    """Microseconds of server CPU per frame and viewer, in process."""
    import resource
    import socket
    import threading

    import uvicorn
    from norsel_radar import Spec
    from norsel_radar.web.app import create_app
    from norsel_radar.web.board import AlertRow, Board
    from norsel_radar.web.hub import Hub
    from norsel_radar.web.server import _Server

    spec = Spec.default()
    costs = {}
    for n in (100, 1):
        board = Board(spec, "bench")
        hub = Hub(board, interval=0.0)
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        config = uvicorn.Config(create_app(hub), lifespan="off", ws="none", log_config=None)
        server = _Server(config, hub)

        thread = threading.Thread(target=_serve_here, args=(hub, server, sock), daemon=True)
        thread.start()
        while not server.started:
            time.sleep(0.01)
        child = subprocess.Popen(
            [sys.executable, "-c", VIEWERS_CHILD, str(sock.getsockname()[1]), str(n)]
        )
        while len(hub.viewers) < n:
            time.sleep(0.05)
        time.sleep(0.5)
        usage = resource.getrusage(resource.RUSAGE_SELF)
        c0, f0 = usage.ru_utime + usage.ru_stime, hub.published
        for v in range(updates):
            rows = [
                AlertRow(f"SYM{i}-PERP", 0.5 + v * 1e-6, {x: 0.5 for x in spec.labels}, v)
                for i in range(10)
            ]
            board.report(rows, 30, v * 100, sample_ts(v))
            if v % 5 == 0:
                board.checkpoint()
            time.sleep(0.05)
        usage = resource.getrusage(resource.RUSAGE_SELF)
        costs[n] = (usage.ru_utime + usage.ru_stime - c0, hub.published - f0)
        child.kill()
        child.wait()
        server.should_exit = True
        thread.join(10)
    (many, frames), (one, _) = costs[100], costs[1]
    return 1e6 * (many - one) / frames / 99


def _serve_here(hub, server, sock) -> None:
    async def main() -> None:
        hub.start(asyncio.get_running_loop())
        await server.serve(sockets=[sock])

    asyncio.run(main())


def sample_ts(v: int) -> int:
    return 1_717_200_000_000 + 50 * v


async def watch(browser, url: str, n: int, seconds: float) -> list:
    """The page's lags (ms) over ``seconds``, with ``n`` viewers besides."""
    viewers = Viewers(url)
    await viewers.open(n)
    try:
        loop = asyncio.get_running_loop()
        await loop.run_in_executor(None, browser.get, url)
        await asyncio.sleep(seconds)
        script = "return window.norselRadar.lags"
        return await loop.run_in_executor(None, browser.execute_script, script)
    finally:
        await viewers.close()


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument("--quick", action="store_true", help="500 x 300 events, 2 short windows")
    ap.add_argument("--rounds", type=int, default=None, help="windows of each kind")
    ap.add_argument("--viewers", type=int, default=50)
    ap.add_argument("--speed", default="10x")
    ap.add_argument("--save", metavar="PATH", help="write the results into this Markdown file")
    args = ap.parse_args(argv)

    symbols, per_symbol = (500, 300) if args.quick else (2000, 500)
    count = 2 if args.quick else (args.rounds or 8)
    speed = float(args.speed.rstrip("x"))
    seconds = SPAN_MS / 1000.0 / speed  # one round of the replay
    from norsel_radar import sample

    tmp = tempfile.mkdtemp(prefix="bench-web-")
    try:
        path = os.path.join(tmp, "events.jsonl")
        print(f"generating {symbols} x {per_symbol} events ...", flush=True)
        # The first SPAN seconds of market time, while every symbol trades:
        # a steady load, the same in every window (each window is one round
        # of the looped replay).
        end = sample.START_TS + SPAN_MS
        with open(path, "w") as f:
            pairs = (p for p in sample.iter_events(symbols, per_symbol, seed=7) if p[1]["ts"] < end)
            f.writelines(sample.iter_jsonl(pairs))
        with open(path) as f:
            fed = sum(1 for _ in f)
        print("cost per frame and viewer, in process ...", flush=True)
        micro = per_frame_cost()
        proc, url = start_serve(path, args.speed)
        try:
            time.sleep(2.0)  # past the start
            result = asyncio.run(windows(url, proc.pid, args.viewers, count, seconds))
            lags: list = []
            browser = make_browser()
            if browser is not None:
                try:
                    lags = asyncio.run(watch(browser, url, args.viewers, 10.0))
                finally:
                    browser.quit()
        finally:
            proc.send_signal(signal.SIGINT)
            proc.wait(timeout=30)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    base = statistics.median(result["shares"][0])
    loaded = statistics.median(result["shares"][args.viewers])
    added = (loaded - base) / base
    lines = [
        f"`python bench/web.py{' --quick' if args.quick else ''}`,"
        f" {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}: {symbols} symbols x"
        f" {per_symbol} events generated, the first {SPAN_MS // 1000} s of market time"
        f" ({fed:,} events of JSON Lines, {fed * speed * 1000 // SPAN_MS:,.0f} events/s"
        f" paced at {args.speed}), replayed in a loop;"
        f" {count} windows of {seconds:g} s of each kind, interleaved (CPython"
        f" {platform.python_version()}, {os.cpu_count()} CPUs); load average at the end"
        f" {', '.join(f'{x:.2f}' for x in os.getloadavg())}.",
        "",
        "| window | server CPU per second (median) | all windows |",
        "|---|---|---|",
        f"| no viewer | {base:.3f} s | {', '.join(f'{x:.3f}' for x in result['shares'][0])} |",
        f"| {args.viewers} viewers streaming ({result['frames']:.1f} frames/s each) |"
        f" {loaded:.3f} s | {', '.join(f'{x:.3f}' for x in result['shares'][args.viewers])} |",
        "",
        "| measure | result | target |",
        "|---|---|---|",
        f"| CPU time added by {args.viewers} viewers | {100 * added:+.1f}%"
        f" ({1e6 * (loaded - base) / args.viewers / result['frames']:.0f} µs per frame and viewer)"
        " | < 10% |",
        f"| server CPU per frame and viewer, in process (100 viewers against 1) |"
        f" {micro:.1f} µs: {args.viewers} viewers at 4 frames/s cost"
        f" {args.viewers * 4 * micro / 1e4:.2f}% of a core, {100 * args.viewers * 4 * micro / 1e6 / base:.1f}%"
        " of the replay above | |",
    ]
    if lags:
        q = statistics.quantiles(lags, n=100, method="inclusive")
        lines.append(
            f"| report taken to page rendered, {len(lags)} updates with {args.viewers}"
            f" viewers besides | median {statistics.median(lags):.0f} ms, p99 {q[98]:.0f} ms,"
            f" max {max(lags)} ms | <= 1 s |"
        )
    else:
        lines.append("| report taken to page rendered | (no chromium and selenium here) | <= 1 s |")
    text = "\n".join(lines)
    print()
    print(text)
    if args.save:
        results_file.write_section(args.save, RESULTS_HEADING, text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
