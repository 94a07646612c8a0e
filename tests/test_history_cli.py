"""norsel-radar backtest and convert, run as a user would (subprocesses): the
README's example, a LocalCluster and a plot, the progress bar, out-of-order
warnings and one-line errors."""

import json
import os
import pathlib

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pytest.importorskip("numpy")

from clitools import cli, on_terminal  # noqa: E402
from norsel_radar import sample  # noqa: E402
from norsel_radar.cli import main  # noqa: E402
from norsel_radar.history import backtest  # noqa: E402

README = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text("utf-8")


@pytest.fixture(scope="module")
def readme_run(tmp_path_factory):
    """The README's commands (generate, convert, backtest) run in a folder:
    (the folder, the backtest's output, the output the README shows)."""
    folder = tmp_path_factory.mktemp("readme")
    section = README.split("## Backtests over recorded data", 1)[1]
    commands = section.split("```sh\n", 1)[1].split("```", 1)[0].strip().splitlines()
    for line in commands:
        proc = cli(*line.split()[1:], cwd=folder)  # after "norsel-radar"
        assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    return folder, proc.stdout, section.split("```text\n", 1)[1].split("```", 1)[0]


def test_the_readme_example(readme_run):
    folder, out, shown = readme_run
    assert out == shown
    expected = backtest(str(folder / "events.jsonl"), json.dumps(sample.default_spec()), "10s")
    assert pq.read_table(folder / "timeline.parquet").equals(expected.alerts)
    assert out.endswith(f"({len(expected.alerts)} rows)\n")
    assert set(sample.PLANTED) <= {line.split()[0] for line in out.splitlines()[4:8]}


def test_on_a_local_cluster_with_a_plot(readme_run):
    pytest.importorskip("distributed")
    pytest.importorskip("matplotlib")
    folder, out, _ = readme_run
    png = folder / "severity.png"
    args = ("--every", "10s", "--top", 5, "events.parquet", "--scheduler", "local", "--plot", png)
    proc = cli("backtest", *args, cwd=folder)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == out.rsplit("timeline written", 1)[0] + f"plot written to {png}\n"
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_progress_bar_on_a_terminal(readme_run):
    events = readme_run[0] / "events.jsonl"
    status, shown = on_terminal("backtest", "--every", "1m", events, stream="stderr")
    assert status == 0 and "18000/18000" in shown and "events" in shown and "/s" in shown


def test_convert_and_out_of_order_warnings(tmp_path):
    src, out = tmp_path / "in.jsonl", tmp_path / "out.parquet"
    lines = ['"B","event":["liquidation",5,"buy",1,2]', '"A","event":["orderbook",3,1,2,3,4]']
    lines.append('"B","event":["liquidation",4,"sell",3,2]')
    src.write_text("".join('{"symbol":%s}\n' % line for line in lines))
    warning = "1 event out of timestamp order within their symbol, sorted into place; the first"
    warning = f"norsel-radar: warning: {warning} at {src}:3: ts 4 after 5 (B)\n"
    proc = cli("convert", src, "-o", out)
    assert proc.returncode == 0 and proc.stdout == f"3 events written to {out}\n"
    assert proc.stderr == warning
    assert pq.read_table(out).column("ts").to_pylist() == [3, 4, 5]
    proc = cli("backtest", "--every", "1", src)
    assert proc.returncode == 0 and proc.stderr == warning


def test_user_errors_are_one_line(readme_run, tmp_path, monkeypatch, capsys):
    (tmp_path / "bad_spec.json").write_text('{"signals":[]}')
    (tmp_path / "bad.jsonl").write_text('{"symbol":"A","event":{"kind":"derivatives","ts":1}}\n')
    monkeypatch.chdir(tmp_path)
    for args, message in [
        ("backtest --spec bad_spec.json --every 1s EV", "bad_spec.json: bad spec: at least one signal is required"),
        ("backtest --every 1s bad.jsonl", "bad.jsonl:1: parse: missing field `open_interest`"),
        ("convert bad.jsonl -o x.parquet", "bad.jsonl:1: parse: missing field `open_interest`"),
        ("backtest --every 1s missing.jsonl", "missing.jsonl: No such file or directory"),
        ("backtest --every soon EV", "every: 'soon' is not a duration"),
        ("backtest --every 1s EV -o no/t.parquet", "No such file or directory"),  # after the summary
        ("backtest --every 1s EV -o t.json", "the timeline is written as .parquet or .csv"),
    ]:  # fmt: skip
        assert main(args.replace("EV", str(readme_run[0] / "events.jsonl")).split()) == 2
        err = capsys.readouterr().err
        assert err.startswith("norsel-radar: error: ") and err.count("\n") == 1 and message in err
    assert sorted(os.listdir(tmp_path)) == ["bad.jsonl", "bad_spec.json"]  # no partial output
