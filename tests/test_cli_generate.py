"""norsel-radar generate: the sample data, streamed; compressed output; no
half-written file when it fails or is interrupted."""

import gzip
import json
import os
import signal
import subprocess
import sys
import time

from clitools import cli, main_error
from norsel_radar import sample

GENERATE = [sys.executable, "-m", "norsel_radar", "generate"]


def test_forms_match_the_sample_module(tmp_path):
    scan = cli("generate", "--symbols", 6, "--events-per-symbol", 50, "--seed", 3)
    assert json.loads(scan.stdout) == sample.generate_events(6, 50, 3)
    out = tmp_path / "ev.jsonl.gz"
    args = ("--symbols", 6, "--events-per-symbol", 50, "--seed", 3, "--format", "jsonl")
    assert cli("generate", *args, "-o", out).returncode == 0
    rows = [json.loads(line) for line in gzip.decompress(out.read_bytes()).splitlines()]
    assert [(r["symbol"], r["event"]) for r in rows] == list(sample.iter_events(6, 50, 3))
    stamps = [r["event"]["ts"] for r in rows]
    assert stamps == sorted(stamps)  # merged across symbols by time
    streamed = sample.iter_symbol_events("ETH-PERP", 40, 3)
    assert sample.symbol_events("ETH-PERP", 40, 3) == list(streamed)


def test_streams_its_first_bytes_at_once():
    # 100,000 symbols of JSON Lines: the first line comes without building everything.
    cmd = [*GENERATE, "--symbols", "100000", "--format", "jsonl"]
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first = proc.stdout.readline()
    proc.stdout.close()  # the reader goes away, as `| head -1` does
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=120) == 2 and json.loads(first)["event"]["kind"]
    assert err == "norsel-radar: error: <stdout>: Broken pipe\n"


def test_no_half_written_file(tmp_path):
    out = tmp_path / "ev.json"
    proc = subprocess.Popen([*GENERATE, "--symbols", "3000", "-o", str(out)])
    deadline = time.monotonic() + 60
    while not os.listdir(tmp_path) and time.monotonic() < deadline:  # writing has begun
        time.sleep(0.01)
    proc.send_signal(signal.SIGINT)
    assert proc.wait(timeout=60) == 130
    assert os.listdir(tmp_path) == []
    for args, message in [
        (["-o", tmp_path / "no" / "dir.json"], "No such file or directory"),
        (["--symbols", -1], "--symbols and --events-per-symbol must not be negative"),
    ]:
        assert main_error("generate", *args).endswith(message)
