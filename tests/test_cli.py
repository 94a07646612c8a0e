"""The command line as a whole: the demo, the README's examples (shell and
Python, executed) and those of examples/, help and version, and output that
cannot be written."""

import json
import pathlib
import re
import runpy
import shlex
import subprocess
import sys
from importlib import resources

import pytest
from clitools import cli, radar_report, table_rows
from norsel_radar import __version__, sample

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
PLANTED = set(sample.PLANTED)


def test_demo_and_the_bundled_data():
    proc = cli("demo")
    assert proc.returncode == 0 and proc.stderr == "" and "2024-06-01 00:00:" in proc.stdout
    rows = table_rows(proc.stdout)
    assert set(rows[:4]) == PLANTED
    assert [
        a["symbol"] for a in json.loads(cli("demo", "--format", "json").stdout)["alerts"]
    ] == rows
    data = resources.files("norsel_radar") / "data"
    assert json.loads((data / "default_spec.json").read_text()) == sample.default_spec()
    assert json.loads((data / "sample_events.json").read_text()) == sample.generate_events(
        30, 80, 7
    )
    for seed in (1, 2024):  # the planted symbols rank first whatever the seed
        report = json.loads(radar_report(sample.generate_events(60, 150, seed)))
        assert {a["symbol"] for a in report["alerts"][:4]} == PLANTED


def _shell_examples(text):
    """(command, expected output) pairs of the README's shell blocks, in order."""
    steps = []
    for block in re.findall(r"^```text\n(.*?)^```", text, re.M | re.S):
        if not block.startswith("$ "):
            continue
        for chunk in re.split(r"^\$ ", block, flags=re.M)[1:]:
            command, _, output = chunk.partition("\n")
            steps.append((command, output))
    return steps


def test_readme_shell_examples(tmp_path):
    steps = _shell_examples(README.read_text(encoding="utf-8"))
    assert len(steps) >= 8 and steps[0][0] == "norsel-radar demo"
    prelude = f'norsel-radar() {{ {shlex.quote(sys.executable)} -m norsel_radar "$@"; }}\n'
    for command, expected in steps:
        proc = subprocess.run(
            ["bash", "-c", prelude + command + " 2>&1"],
            capture_output=True,
            text=True,
            cwd=tmp_path,
            timeout=120,
        )
        assert proc.stdout == expected, command


def test_readme_python_examples(capsys):
    runpy.run_path(str(README.parent / "examples" / "quickstart.py"), run_name="__main__")
    out, err = capsys.readouterr()
    assert "BTC-PERP 0.66666667" in out and all(sym in out for sym in PLANTED) and err == ""
    runpy.run_path(str(README.parent / "examples" / "screener.py"), run_name="__main__")
    out, err = capsys.readouterr()
    assert "BTC-PERP   0.6667" in out and all(sym in out for sym in PLANTED) and err == ""
    assert "refused: kind 'bad spec'" in out and "async: fed and scanned agree: True" in out
    blocks = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), re.M | re.S)
    assert blocks, "README.md has no python examples"
    namespace = {"__name__": "__readme__"}
    for block in blocks:
        exec(compile(block, str(README), "exec"), namespace)
    assert capsys.readouterr().out


@pytest.mark.parametrize("command", ["demo", "scan", "replay", "generate", "spec"])
def test_help_gives_every_option_a_text_and_its_default(command):
    proc = cli(command, "--help")
    assert proc.returncode == 0
    options = re.findall(r"^  (-[\w-]+(?:, --[\w-]+)?)(?: [A-Z|{][^ ]*)?(.*)$", proc.stdout, re.M)
    assert options
    for name, rest in options:
        assert rest.strip() or name in ("-h, --help",), (command, name)
    for flag in ("--format", "--input-format", "--symbols", "--seed"):
        if flag in proc.stdout:
            assert "(default: " in proc.stdout.split(flag, 2)[-1].split("\n  -", 1)[0]
    assert cli("--version").stdout == f"norsel-radar {__version__}\n"


@pytest.mark.parametrize("command", [["demo"], ["spec"], ["generate", "--symbols", "3"]])
def test_output_that_cannot_be_written(command):
    # A full device and a closed stdout: one line, status 2, nothing at exit.
    with open("/dev/full", "w") as full:
        proc = subprocess.run(
            [sys.executable, "-m", "norsel_radar", *command], stdout=full, stderr=subprocess.PIPE
        )
    assert proc.returncode == 2
    assert proc.stderr.decode() == "norsel-radar: error: <stdout>: No space left on device\n"
    proc = subprocess.run(
        ["bash", "-c", f"{shlex.quote(sys.executable)} -m norsel_radar {' '.join(command)} >&-"],
        capture_output=True,
        text=True,
    )
    assert (
        proc.returncode == 2
        and proc.stderr == "norsel-radar: error: <stdout>: Bad file descriptor\n"
    )


def test_usage_errors():
    proc = cli()
    assert proc.returncode == 2 and proc.stderr.endswith(
        "error: the following arguments are required: COMMAND (see norsel-radar --help)\n"
    )
