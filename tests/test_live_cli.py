"""``norsel-radar live`` as a real subprocess, its exchange a ccxt class whose
network is a recording (recorded_ccxt.make_exchange, given through
--exchange-factory)."""

import os
import pathlib
import re
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip("ccxt")

HERE = pathlib.Path(__file__).resolve().parent
FACTORY = "recorded_ccxt:make_exchange"
FAST = ["--interval", "0.01", "--refresh", "0.3"]


def env():
    out = dict(os.environ)
    out["PYTHONPATH"] = os.pathsep.join([str(HERE), out.get("PYTHONPATH", "")])
    return out


def live(*args, timeout=60):
    return subprocess.run(
        [sys.executable, "-m", "norsel_radar", "live", "--exchange-factory", FACTORY, *args],
        capture_output=True,
        text=True,
        env=env(),
        timeout=timeout,
    )


def tables(stdout):
    """Each printed table: its status line and its symbols in rank order."""
    out = []
    for block in stdout.strip().split("\n\n"):
        lines = block.splitlines()
        symbols = [m.group(1) for m in re.finditer(r"^\d+\s+(\S+)\s+\d\.\d{4}\s", block, re.M)]
        out.append((lines[0], symbols))
    return out


def test_live_prints_ranked_tables_until_the_duration():
    proc = live(
        "--symbols", "BTC/USDT:USDT,ETH/USDT:USDT,SOL/USDT:USDT", *FAST, "--duration", "2.5"
    )
    assert proc.returncode == 0, proc.stderr
    shown = tables(proc.stdout)
    assert len(shown) >= 3
    status, symbols = shown[-1]
    assert re.fullmatch(
        r"binanceusdm: 3 symbols, [\d,]+ events, at \d\d:\d\d:\d\d UTC \(final\)", status
    )
    assert symbols == ["SOL/USDT:USDT"]  # the planted open-interest surge, by the default spec
    assert "oi_delta = oi_delta(20,0.05)" in proc.stdout
    assert "Traceback" not in proc.stderr


def test_live_defaults_to_the_exchanges_linear_swaps():
    proc = live(*FAST, "--duration", "1.5", "--units", "quote", "--depth", "0.5%")
    assert proc.returncode == 0, proc.stderr
    assert tables(proc.stdout)[-1][0].startswith("binanceusdm: 4 symbols")


def test_live_stops_cleanly_on_ctrl_c():
    proc = subprocess.Popen(
        [sys.executable, "-m", "norsel_radar", "live", "--exchange-factory", FACTORY, *FAST],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env(),
    )
    try:
        first = proc.stdout.readline()  # the first table is out: it runs
        assert first.startswith("binanceusdm: 4 symbols"), first
        time.sleep(0.3)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 130
    assert "Traceback" not in err and "Unclosed" not in err, err


def test_live_redraws_in_place_on_a_terminal():
    import pty

    leader, follower = pty.openpty()
    proc = subprocess.Popen(
        [sys.executable, "-m", "norsel_radar", "live", "--exchange-factory", FACTORY, *FAST]
        + ["--duration", "1.2"],
        stdout=follower,
        stderr=subprocess.PIPE,
        env=env(),
    )
    os.close(follower)
    chunks = []
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # the program ended and closed its end
            break
        if not chunk:
            break
        chunks.append(chunk)
    proc.wait(timeout=30)
    os.close(leader)
    screen = b"".join(chunks).decode()
    assert proc.returncode == 0
    # every table after the first goes back over the previous one
    redraws = re.findall(r"\x1b\[(\d+)F\x1b\[J", screen)
    assert len(redraws) >= 2 and screen.count("binanceusdm: 4 symbols") == len(redraws) + 1


@pytest.mark.parametrize(
    "args, message",
    [
        (["--symbols", "DOGE/USDT:USDT"], "binanceusdm has no market DOGE/USDT:USDT"),
        (["--depth", "0"], "book depth '0': give a number of levels (20) or a band"),
        (["--interval", "0"], "--interval must be greater than zero"),
        (["--snapshot-interval", "-1"], "DerivativesRule.interval must be >= 0 seconds"),
        (["--spec", "/nonexistent/spec.json"], "/nonexistent/spec.json: No such file or directory"),
        (["--exchange-factory", "nowhere"], "--exchange-factory nowhere: give MODULE:FUNCTION"),
        (
            ["--exchange-factory", "recorded_ccxt:absent"],
            "--exchange-factory recorded_ccxt:absent:",
        ),
        (["--exchange", "okx"], "okx: cannot load markets: NetworkError"),  # as off line
    ],
)
def test_live_user_errors_are_one_line(args, message, tmp_path):
    proc = live(*args, "--duration", "1")
    assert proc.returncode == 2 and proc.stdout == "", proc.stderr
    (line,) = proc.stderr.splitlines()
    assert line.startswith("norsel-radar: error: ") and message in line, line


def test_live_bad_spec_shows_the_radars_message(tmp_path):
    spec = tmp_path / "spec.json"
    spec.write_text('{"signals":[]}')
    proc = live("--spec", spec, "--duration", "1")
    assert proc.returncode == 2
    assert (
        proc.stderr == f"norsel-radar: error: {spec}: bad spec: at least one signal is required\n"
    )


def test_readme_live_data_examples_compile_and_name_real_things():
    """The Live data examples need the network, so they are not run: they
    compile, and every name they import exists."""
    import ast
    import importlib

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
                for alias in node.names:
                    assert hasattr(module, alias.name) or importlib.import_module(
                        f"{node.module}.{alias.name}"
                    )
            elif isinstance(node, ast.Import):
                for alias in node.names:
                    pytest.importorskip(alias.name)
