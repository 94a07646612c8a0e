"""norsel-radar replay: checkpoints by event count and by market time, a line
per alert raised or cleared, the final table once, a live view and pacing.
(Ctrl-C: the bad-input table of test_cli.py.)"""

import json
import os
import re

import pytest
from clitools import cli, jsonl_lines, main_error, on_terminal, radar_report
from norsel_radar import sample
from norsel_radar.cli.table import format_table, utc_time

EVENTS = sample.generate_events(12, 120, 7)
LINES = jsonl_lines(EVENTS)
TITLE = re.compile(
    r"^(at|end of input at) (.+?) UTC, ([\d,]+) events(:|: no change since the last table)$", re.M
)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("replay")
    (d / "ev.jsonl").write_text("\n".join(LINES) + "\n")
    (d / "ev.json").write_text(json.dumps(EVENTS))
    return d


def titles(out):
    return [(m[1], m[2], int(m[3].replace(",", "")), m[4]) for m in TITLE.finditer(out)]


@pytest.mark.parametrize("name", ["ev.jsonl", "ev.json"])
def test_count_checkpoints_end_as_scan_does(files, name):
    proc = cli("replay", files / name, "--every", 500)
    assert proc.returncode == 0 and proc.stderr == ""  # no progress bar off a terminal
    got = [(kind, n, end) for kind, _, n, end in titles(proc.stdout)]
    assert got == [("at", 500, ":"), ("at", 1000, ":"), ("end of input at", 1440, ":")]
    assert proc.stdout.split(":\n")[-1] == format_table(json.loads(radar_report(EVENTS)))
    if name == "ev.json":  # nothing fed after the last checkpoint: no second copy of the table
        out = cli("replay", files / name, "--every", 720).stdout
        again = [(n, end) for _, _, n, end in titles(out)]
        assert again == [(720, ":"), (1440, ":"), (1440, ": no change since the last table")]


def test_market_time_checkpoints(files):
    proc = cli("replay", files / "ev.jsonl", "--every", "10s")
    assert proc.returncode == 0, proc.stderr
    stamps = sorted(json.loads(line)["event"]["ts"] for line in LINES)
    edges = range(stamps[0] // 10_000 * 10_000 + 10_000, stamps[-1] + 1, 10_000)
    expected = [("at", utc_time(edge), sum(ts < edge for ts in stamps)) for edge in edges]
    expected.append(("end of input at", utc_time(stamps[-1]), len(stamps)))
    assert [t[:3] for t in titles(proc.stdout)] == expected


def test_alerts_raised_and_cleared(tmp_path):
    spec = {"signals": [{"kind": "funding_flip", "params": [0.001]}], "threshold": 0.5}
    (tmp_path / "spec.json").write_text(json.dumps(spec))
    rows = [("A", 1000, 0.0004), ("B", 2000, 0.0002), ("A", 3000, -0.0006)]
    rows += [("B", 4000 + i, 0.0001) for i in range(4)] + [("A", 9000, -0.0001)]
    rows += [("B", 10000, 0.0001)]
    lines = [f'{{"symbol":"{s}","event":["derivatives",{ts},1,{fr},1]}}\n' for s, ts, fr in rows]
    (tmp_path / "ev.jsonl").write_text("".join(lines))
    proc = cli("replay", "--spec", "spec.json", "ev.jsonl", "--every", 1, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    changes = [line for line in proc.stdout.splitlines() if "raised" in line or "cleared" in line]
    raised, cleared = "00:00:03.000  raised   A  1.0000", "00:00:09.000  cleared  A  1.0000"
    assert changes == ["1970-01-01 " + raised, "1970-01-01 " + cleared]
    assert proc.stdout.index(raised) < proc.stdout.index("at 1970-01-01 00:00:03.000 UTC, 3 events")


def test_live_view_on_a_terminal_and_pacing(files):
    plain = cli("replay", files / "ev.jsonl", "--live", "--speed", "1000x")
    # Off a terminal --live prints as without it; pacing changes nothing but the time.
    assert plain.returncode == 0 and plain.stdout == cli("replay", files / "ev.jsonl").stdout
    env = dict(os.environ, COLUMNS="160", TERM="xterm")
    status, shown = on_terminal("replay", files / "ev.jsonl", "--live", env=env)
    assert status == 0
    assert "market time 2024-06-01" in shown and "ETH-PERP" in shown and "\x1b[" in shown


def test_bad_options(files):
    for args, message in [
        (["--every", "0"], "--every must be greater than zero"),
        (["--every", "5 minutes"], "--every 5 minutes: give a number of events (100000) or a span of market time (30s, 5m, 1h)"),
        (["--speed", "fast"], "--speed fast: give a factor such as 10x"),
    ]:  # fmt: skip
        assert main_error("replay", files / "ev.jsonl", *args) == f"norsel-radar: error: {message}"
