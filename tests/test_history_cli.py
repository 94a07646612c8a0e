"""norsel-radar backtest and convert, run as a user would (subprocesses)."""

import json
import os
import pathlib
import pty
import subprocess
import sys

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pytest.importorskip("numpy")

from clitools import cli, user_error  # noqa: E402
from norsel_radar import sample  # noqa: E402
from norsel_radar.history import backtest  # noqa: E402


@pytest.fixture(scope="module")
def events(tmp_path_factory):
    folder = tmp_path_factory.mktemp("backtest")
    path = folder / "ev.jsonl"
    assert (
        cli(
            "generate", "--symbols", 12, "--events-per-symbol", 300, "--format", "jsonl", "-o", path
        ).returncode
        == 0
    )
    spec = folder / "spec.json"
    spec.write_text(json.dumps(dict(sample.default_spec(), limit=3)))
    return folder, str(path), str(spec)


def test_backtest_summary_and_outputs(events):
    folder, path, spec = events
    out = folder / "timeline.parquet"
    proc = cli("backtest", "--spec", spec, "--every", "5s", path, "-o", out)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    lines = proc.stdout.splitlines()
    expected = backtest(path, open(spec).read(), "5s")
    assert lines[0] == (
        f"3,600 events, 12 symbols; {len(expected.grid)} checkpoints every 5s"
        " from 2024-06-01 00:00:05 to 2024-06-01 00:01:50 UTC"
    )
    assert "alerts per symbol" in proc.stdout and "longest episodes:" in proc.stdout
    listed = {line.split()[0] for line in lines if line.endswith(tuple("0123456789"))}
    assert set(sample.PLANTED) <= listed
    assert lines[-1] == f"timeline written to {out} ({len(expected.alerts)} rows)"
    assert pq.read_table(out).equals(expected.alerts)
    csv = folder / "timeline.csv"
    assert cli("backtest", "--spec", spec, "--every", "5s", path, "-o", csv).returncode == 0
    assert csv.read_text().count("\n") == 1 + len(expected.alerts)


def test_backtest_where_it_runs(events):
    pytest.importorskip("distributed")
    folder, path, spec = events
    one = cli("backtest", "--spec", spec, "--every", "5s", path)
    for scheduler in ("threads", "local"):
        proc = cli("backtest", "--spec", spec, "--every", "5s", path, "--scheduler", scheduler)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout == one.stdout


def test_plot(events):
    pytest.importorskip("matplotlib")
    folder, path, spec = events
    png = folder / "severity.png"
    proc = cli("backtest", "--spec", spec, "--every", "10s", path, "--plot", png, "--top", 3)
    assert proc.returncode == 0, proc.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_convert_both_ways_and_out_of_order_warnings(tmp_path):
    lines = [
        {"symbol": "B", "event": {"kind": "liquidation", "ts": 5, "side": "buy", "qty": 1, "price": 2}},
        {"symbol": "A", "event": ["orderbook", 3, 1, 2, 3, 4]},
        {"symbol": "B", "event": {"kind": "liquidation", "ts": 4, "side": "sell", "qty": 3, "price": 2}},
    ]  # fmt: skip
    src = tmp_path / "in.jsonl"
    src.write_text("".join(json.dumps(line) + "\n" for line in lines))
    proc = cli("convert", src, "-o", tmp_path / "out.parquet")
    assert proc.returncode == 0
    assert proc.stdout == f"3 events written to {tmp_path / 'out.parquet'}\n"
    assert proc.stderr == (
        "norsel-radar: warning: 1 event out of timestamp order within their symbol, sorted into"
        f" place; the first at {src}:3: ts 4 after 5 (B)\n"
    )
    assert pq.read_table(tmp_path / "out.parquet").column("ts").to_pylist() == [3, 4, 5]
    assert cli("convert", tmp_path / "out.parquet", "-o", tmp_path / "back.jsonl").returncode == 0
    back = [json.loads(x) for x in (tmp_path / "back.jsonl").read_text().splitlines()]
    assert back[0] == {
        "symbol": "A",
        "event": {
            "kind": "orderbook",
            "ts": 3,
            "bid_volume": 1.0,
            "ask_volume": 2.0,
            "best_bid": 3.0,
            "best_ask": 4.0,
        },
    }
    proc = cli("backtest", "--every", "1", src)
    assert proc.returncode == 0 and "1 event out of timestamp order" in proc.stderr


def test_user_errors_are_one_line(events, tmp_path):
    folder, path, spec = events
    bad_spec = tmp_path / "bad_spec.json"
    bad_spec.write_text('{"signals":[]}')
    bad_line = tmp_path / "bad.jsonl"
    bad_line.write_text('{"symbol":"A","event":{"kind":"derivatives","ts":1}}\n')
    cases = [
        (["--spec", bad_spec, "--every", "1s", path], f"{bad_spec}: bad spec: at least one signal is required"),
        (["--every", "1s", bad_line], f"{bad_line}:1: parse: missing field `open_interest`"),
        (["--every", "1s", tmp_path / "missing.jsonl"], "missing.jsonl: No such file or directory"),
        (["--every", "soon", path], "every: 'soon' is not a duration"),
        (["--every", "1s", path, "-o", tmp_path / "no" / "t.parquet"], "No such file or directory"),
        (["--every", "1s", path, "-o", tmp_path / "t.json"], "the timeline is written as .parquet or .csv"),
    ]  # fmt: skip
    for args, message in cases:
        proc = cli("backtest", *args)
        assert proc.returncode == 2 and message in proc.stderr.splitlines()[-1], proc.stderr
        assert len(proc.stderr.splitlines()) == 1
    proc = cli("convert", bad_line, "-o", tmp_path / "x.parquet")
    assert user_error(proc) == (
        f"norsel-radar: error: {bad_line}:1: parse: missing field `open_interest`"
    )
    assert sorted(os.listdir(tmp_path)) == ["bad.jsonl", "bad_spec.json"]
    proc = cli("backtest", path)
    assert proc.returncode == 2 and "--every" in proc.stderr


def test_progress_bar_on_a_terminal(events):
    folder, path, spec = events
    main, other = pty.openpty()
    try:
        proc = subprocess.run(
            [sys.executable, "-m", "norsel_radar", "backtest", "--every", "5s", path],
            stdout=subprocess.PIPE,
            stderr=other,
            timeout=120,
        )
        os.close(other)
        other = -1
        seen = b""
        while True:
            try:
                piece = os.read(main, 1 << 16)
            except OSError:
                break
            if not piece:
                break
            seen += piece
    finally:
        os.close(main)
        if other >= 0:
            os.close(other)
    assert proc.returncode == 0
    assert b"3600/3600" in seen and b"events" in seen and b"/s" in seen


def test_the_readme_example(tmp_path):
    readme = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text("utf-8")
    section = readme.split("## Backtests over recorded data", 1)[1]
    commands = section.split("```sh\n", 1)[1].split("```", 1)[0].strip().splitlines()
    shown = section.split("```text\n", 1)[1].split("```", 1)[0]
    for line in commands:
        args = line.split()[1:]  # after "norsel-radar"
        proc = cli(*args, cwd=tmp_path)
        assert proc.returncode == 0, proc.stderr
    assert proc.stdout == shown
