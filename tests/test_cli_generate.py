"""norsel-radar generate: the sample data, streamed; compressed output; no
half-written file when it fails or is interrupted."""

import gzip
import json
import os
import signal
import subprocess
import sys
import time

from clitools import cli, user_error
from norsel_radar import sample


def test_forms_match_the_sample_module(tmp_path):
    scan = cli("generate", "--symbols", 6, "--events-per-symbol", 50, "--seed", 3)
    assert json.loads(scan.stdout) == sample.generate_events(6, 50, 3)
    out = tmp_path / "ev.jsonl.gz"
    assert (
        cli(
            "generate",
            "--symbols",
            6,
            "--events-per-symbol",
            50,
            "--seed",
            3,
            "--format",
            "jsonl",
            "-o",
            out,
        ).returncode
        == 0
    )
    rows = [json.loads(line) for line in gzip.decompress(out.read_bytes()).decode().splitlines()]
    assert [(r["symbol"], r["event"]) for r in rows] == list(sample.iter_events(6, 50, 3))
    stamps = [r["event"]["ts"] for r in rows]
    assert stamps == sorted(stamps)  # merged across symbols by time
    assert sample.symbol_events("ETH-PERP", 40, 3) == list(
        sample.iter_symbol_events("ETH-PERP", 40, 3)
    )


def test_streams_its_first_bytes_at_once():
    # 100,000 symbols of JSON Lines: the first line comes without building everything.
    proc = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "norsel_radar",
            "generate",
            "--symbols",
            "100000",
            "--format",
            "jsonl",
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    first = proc.stdout.readline()
    proc.stdout.close()  # the reader goes away, as `| head -1` does
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=120) == 2 and json.loads(first)["event"]["kind"]
    assert err == "norsel-radar: error: <stdout>: Broken pipe\n"


def test_no_half_written_file(tmp_path):
    out = tmp_path / "ev.json"
    proc = subprocess.Popen(
        [sys.executable, "-m", "norsel_radar", "generate", "--symbols", "3000", "-o", str(out)],
        stderr=subprocess.PIPE,
    )
    deadline = time.monotonic() + 60
    while not os.listdir(tmp_path) and time.monotonic() < deadline:  # writing has begun
        time.sleep(0.01)
    proc.send_signal(signal.SIGINT)
    assert proc.wait(timeout=60) == 130
    assert os.listdir(tmp_path) == []
    assert user_error(cli("generate", "-o", tmp_path / "no" / "dir.json")).endswith(
        "No such file or directory"
    )
    assert user_error(cli("generate", "--symbols", -1)).endswith(
        "--symbols and --events-per-symbol must not be negative"
    )
