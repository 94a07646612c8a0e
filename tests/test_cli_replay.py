"""norsel-radar replay: checkpoints by event count and by market time, a line
per alert raised or cleared, the final table once, a live view, pacing, and a
clean stop on Ctrl-C."""

import json
import os
import pty
import re
import signal
import subprocess
import sys

import pytest
from clitools import cli, jsonl_lines, radar_report, user_error
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
    return [
        (m.group(1), m.group(2), int(m.group(3).replace(",", "")), m.group(4))
        for m in TITLE.finditer(out)
    ]


@pytest.mark.parametrize("name", ["ev.jsonl", "ev.json"])
def test_count_checkpoints_end_as_scan_does(files, name):
    proc = cli("replay", files / name, "--every", 500)
    assert proc.returncode == 0 and proc.stderr == ""  # no progress bar off a terminal
    got = titles(proc.stdout)
    assert [(kind, n, end) for kind, _, n, end in got] == [
        ("at", 500, ":"),
        ("at", 1000, ":"),
        ("end of input at", 1440, ":"),
    ]
    final = proc.stdout.split(":\n")[-1]
    assert final == format_table(json.loads(radar_report(EVENTS)))
    # Nothing fed after the last checkpoint: no second copy of the table.
    again = cli("replay", files / name, "--every", 720)
    assert [(n, end) for _, _, n, end in titles(again.stdout)] == [
        (720, ":"),
        (1440, ":"),
        (1440, ": no change since the last table"),
    ]


def test_market_time_checkpoints(files):
    proc = cli("replay", files / "ev.jsonl", "--every", "10s")
    assert proc.returncode == 0, proc.stderr
    stamps = sorted(json.loads(line)["event"]["ts"] for line in LINES)
    first = stamps[0] // 10_000 * 10_000
    expected = []
    for edge in range(first + 10_000, stamps[-1] + 1, 10_000):
        expected.append(("at", utc_time(edge), sum(ts < edge for ts in stamps)))
    expected.append(("end of input at", utc_time(stamps[-1]), len(stamps)))
    assert [t[:3] for t in titles(proc.stdout)] == expected


def test_alerts_raised_and_cleared(tmp_path):
    spec = {"signals": [{"kind": "funding_flip", "params": [0.001]}], "threshold": 0.5}
    (tmp_path / "spec.json").write_text(json.dumps(spec))

    def d(ts, fr):
        return {
            "kind": "derivatives",
            "ts": ts,
            "open_interest": 1,
            "funding_rate": fr,
            "mark_price": 1,
        }

    rows = [("A", d(1000, 0.0004)), ("B", d(2000, 0.0002)), ("A", d(3000, -0.0006))]
    rows += [("B", d(4000 + i, 0.0001)) for i in range(4)]
    rows += [("A", d(9000, -0.0001)), ("B", d(10000, 0.0001))]
    (tmp_path / "ev.jsonl").write_text(
        "".join(json.dumps({"symbol": s, "event": e}) + "\n" for s, e in rows)
    )
    proc = cli("replay", "--spec", "spec.json", "ev.jsonl", "--every", 1, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    changes = [line for line in proc.stdout.splitlines() if "raised" in line or "cleared" in line]
    assert changes == [
        "1970-01-01 00:00:03.000  raised   A  1.0000",
        "1970-01-01 00:00:09.000  cleared  A  1.0000",
    ]
    assert proc.stdout.index("raised") < proc.stdout.index(
        "at 1970-01-01 00:00:03.000 UTC, 3 events"
    )


def test_live_view_on_a_terminal_and_pacing(files):
    plain = cli("replay", files / "ev.jsonl", "--live", "--speed", "1000x")
    # Off a terminal --live prints as without it; pacing changes nothing but the time.
    assert plain.returncode == 0 and plain.stdout == cli("replay", files / "ev.jsonl").stdout
    main, child = pty.openpty()
    proc = subprocess.Popen(
        [sys.executable, "-m", "norsel_radar", "replay", str(files / "ev.jsonl"), "--live"],
        stdout=child,
        stderr=subprocess.PIPE,
        env=dict(os.environ, COLUMNS="160", TERM="xterm"),
    )
    os.close(child)
    shown = b""
    while True:
        try:
            data = os.read(main, 65536)
        except OSError:
            break
        if not data:
            break
        shown += data
    assert proc.wait(timeout=60) == 0
    text = shown.decode("utf-8", "replace")
    assert "market time 2024-06-01" in text and "ETH-PERP" in text and "\x1b[" in text
    os.close(main)


def test_ctrl_c_stops_with_130(files):
    proc = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "norsel_radar",
            "replay",
            str(files / "ev.jsonl"),
            "--speed",
            "1x",
            "--every",
            "10",
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert proc.stdout.readline().startswith(b"at ")  # replaying, paced on market time
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 130 and err.decode() == "norsel-radar: interrupted\n"


@pytest.mark.parametrize(
    "args, message",
    [
        (["--every", "0"], "--every must be greater than zero"),
        (
            ["--every", "5 minutes"],
            "--every 5 minutes: give a number of events (100000) or a span of market time (30s, 5m, 1h)",
        ),
        (["--speed", "fast"], "--speed fast: give a factor such as 10x"),
    ],
)
def test_bad_options(files, args, message):
    assert user_error(cli("replay", files / "ev.jsonl", *args)) == f"norsel-radar: error: {message}"
