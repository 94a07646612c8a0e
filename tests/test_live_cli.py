"""``norsel-radar live`` as a real subprocess, its exchange a ccxt class whose
network is a recording (recorded_ccxt.make_exchange, given through
--exchange-factory)."""

import ast
import importlib
import os
import pathlib
import pty
import re
import select
import signal
import subprocess
import sys

import pytest
from norsel_radar.cli import main

pytest.importorskip("ccxt")

HERE = pathlib.Path(__file__).resolve().parent
LIVE = [sys.executable, "-m", "norsel_radar", "live", "--exchange-factory"]
RECORDED = [*LIVE, "recorded_ccxt:make_exchange", "--interval", "0.01", "--refresh", "0.3"]
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")])}


def test_live_prints_ranked_tables_until_the_duration():
    symbols = "BTC/USDT:USDT,ETH/USDT:USDT,SOL/USDT:USDT"
    args = [*RECORDED, "--symbols", symbols, "--duration", "2.5"]
    proc = subprocess.run(args, capture_output=True, text=True, env=ENV, timeout=60)
    assert proc.returncode == 0 and "Traceback" not in proc.stderr, proc.stderr
    tables = proc.stdout.strip().split("\n\n")
    assert len(tables) >= 3
    status = tables[-1].splitlines()[0]
    assert re.fullmatch(
        r"binanceusdm: 3 symbols, [\d,]+ events, at \d\d:\d\d:\d\d UTC \(final\)", status
    )
    # the planted open-interest surge, by the default spec
    assert re.findall(r"^\d+\s+(\S+)\s+\d\.\d{4}\s", tables[-1], re.M) == ["SOL/USDT:USDT"]
    assert "oi_delta = oi_delta(20,0.05)" in proc.stdout


def test_live_redraws_on_a_terminal_and_stops_cleanly_on_ctrl_c():
    """Without --symbols: the exchange's linear swaps, in quote units over a
    band of the book; every table after the first goes back over the
    previous one; Ctrl-C ends it with 130 and no traceback."""
    leader, follower = pty.openpty()
    args = [*RECORDED, "--units", "quote", "--depth", "0.5%"]
    proc = subprocess.Popen(args, stdout=follower, stderr=subprocess.PIPE, text=True, env=ENV)
    os.close(follower)
    screen = ""
    try:
        while screen.count("binanceusdm: 4 symbols") < 3:
            assert select.select([leader], [], [], 30)[0], screen
            screen += os.read(leader, 65536).decode()
        proc.send_signal(signal.SIGINT)
        err = proc.communicate(timeout=30)[1]
    finally:
        proc.kill()
        os.close(leader)
    assert proc.returncode == 130
    assert "Traceback" not in err and "Unclosed" not in err, err
    redraws = re.findall(r"\x1b\[(\d+)F\x1b\[J", screen)
    assert len(redraws) >= 2 and screen.count("binanceusdm: 4 symbols") >= len(redraws) + 1


@pytest.mark.parametrize(
    "args, message",
    [
        (["--depth", "0"], "book depth '0': give a number of levels (20) or a band"),
        (["--interval", "0"], "--interval must be greater than zero"),
        (["--snapshot-interval", "-1"], "DerivativesRule.interval must be >= 0 seconds"),
        (["--spec", "/nonexistent/spec.json"], "/nonexistent/spec.json: No such file or directory"),
        (["--spec", "{tmp}/spec.json"], "spec.json: bad spec: at least one signal is required"),
        (["--exchange-factory", "nowhere"], "--exchange-factory nowhere: give MODULE:FUNCTION"),
        (
            ["--exchange-factory", "recorded_ccxt:absent"],
            "--exchange-factory recorded_ccxt:absent:",
        ),
    ],
)
def test_live_user_errors_are_one_line(args, message, capsys, tmp_path):
    (tmp_path / "spec.json").write_text('{"signals":[]}')
    assert main(["live", *(arg.format(tmp=tmp_path) for arg in args)]) == 2
    out, err = capsys.readouterr()
    assert out == "" and err.startswith("norsel-radar: error: ") and err.count("\n") == 1, err
    assert message in err


@pytest.mark.parametrize(
    "args, message",
    [
        (["--symbols", "DOGE/USDT:USDT"], "binanceusdm has no market DOGE/USDT:USDT"),
        (["--exchange", "okx"], "okx: cannot load markets: NetworkError"),  # as off line
    ],
)
def test_live_exchange_errors_are_one_line(args, message):
    """The exchange is made, and closed: nothing more is said at exit."""
    proc = subprocess.run(
        [*RECORDED, *args, "--duration", "1"], capture_output=True, text=True, env=ENV, timeout=60
    )
    assert proc.returncode == 2 and proc.stdout == "", proc.stderr
    (line,) = proc.stderr.splitlines()
    assert line.startswith("norsel-radar: error: ") and message in line, line


def test_readme_live_data_examples_compile_and_name_real_things():
    """The Live data examples need the network, so they are not run: they
    compile, and every name they import exists."""
    readme = (HERE.parent / "README.md").read_text(encoding="utf-8")
    section = readme.split("\n## Live data\n", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"^```py\n(.*?)^```", section, re.M | re.S)
    assert len(blocks) == 2
    for block in blocks:
        tree = ast.parse(block)
        compile(tree, "README.md", "exec")
        for node in ast.walk(tree):
            if isinstance(node, ast.ImportFrom):
                module = pytest.importorskip(node.module)
                for alias in node.names:  # a name in the module, or a module of that name
                    assert hasattr(module, alias.name) or importlib.import_module(
                        f"{node.module}.{alias.name}"
                    )
            elif isinstance(node, ast.Import):
                for alias in node.names:
                    pytest.importorskip(alias.name)
