"""The command line as a whole: the demo, the README's examples (shell and
Python, executed) and those of examples/, help, and every kind of bad input
ending with one line and its status."""

import gzip
import json
import pathlib
import re
import runpy
import shlex
import signal
import subprocess
import sys
from importlib import resources

import pytest
from clitools import cli, jsonl_lines, table_rows
from norsel_radar import __version__, sample

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text(encoding="utf-8")
PLANTED = set(sample.PLANTED)


def test_demo_and_the_bundled_data():
    proc = cli("demo")
    assert proc.returncode == 0 and proc.stderr == "" and "2024-06-01 00:00:" in proc.stdout
    rows = table_rows(proc.stdout)
    assert set(rows[:4]) == PLANTED
    as_json = json.loads(cli("demo", "--format", "json").stdout)
    assert [a["symbol"] for a in as_json["alerts"]] == rows
    bundled = resources.files("norsel_radar") / "data" / "sample_events.json"
    assert json.loads(bundled.read_text()) == sample.generate_events(30, 80, 7)


def test_readme_shell_examples(tmp_path):
    steps = []  # (command, its output) of the ```text blocks that start with "$ "
    for block in re.findall(r"^```text\n(\$ .*?)^```", README, re.M | re.S):
        steps += [c.partition("\n")[::2] for c in re.split(r"^\$ ", block, flags=re.M)[1:]]
    assert len(steps) >= 8 and steps[0][0] == "norsel-radar demo"
    prelude = f'norsel-radar() {{ {shlex.quote(sys.executable)} -m norsel_radar "$@"; }}\n'
    for command, expected in steps:
        shell = ["bash", "-c", prelude + command + " 2>&1"]
        out = subprocess.run(shell, capture_output=True, text=True, cwd=tmp_path).stdout
        assert out == expected, command


@pytest.mark.parametrize("name, shown", [
    ("README.md", ["BTC-PERP 0.66666667", "[('BTC-PERP', 1.0)]"]),
    ("quickstart.py", ["BTC-PERP 0.66666667", *PLANTED]),
    ("screener.py", ["BTC-PERP   0.6667", "refused: kind 'bad spec'", "async: fed and scanned agree: True", *PLANTED]),
    ("history.py", ["threads give the same timeline: True", "split scans merge to the whole scan: True"]),
])  # fmt: skip
def test_python_examples_run(capsys, name, shown):
    if name == "README.md":
        namespace = {"__name__": "__readme__"}  # one namespace: later blocks use earlier names
        for block in re.findall(r"^```python\n(.*?)^```", README, re.M | re.S):
            exec(compile(block, name, "exec"), namespace)
    else:
        if name == "history.py":
            pytest.importorskip("dask")
            pytest.importorskip("pyarrow")
        runpy.run_path(str(ROOT / "examples" / name), run_name="__main__")
    out, err = capsys.readouterr()
    assert all(s in out for s in shown) and err == "", out + err


def test_help_version_and_usage():
    for command in ("demo", "scan", "replay", "generate", "spec"):
        out = cli(command, "--help").stdout
        options = re.findall(r"^  (-[\w-]+(?:, --[\w-]+)?)(?: [A-Z|{][^ ]*)?(.*)$", out, re.M)
        assert options and all(rest.strip() or name == "-h, --help" for name, rest in options)
        for flag in ("--format", "--input-format", "--symbols", "--seed"):  # defaults shown
            assert flag not in out or "(default: " in out.split(flag, 2)[-1].split("\n  -", 1)[0]
    assert cli("--version").stdout == f"norsel-radar {__version__}\n"
    proc = cli()
    assert proc.returncode == 2 and proc.stderr.endswith(
        "error: the following arguments are required: COMMAND (see norsel-radar --help)\n"
    )


LINES = jsonl_lines(sample.generate_events(12, 120, 7))
FAR = len(LINES) * 7 + 1  # a bad line past the first megabyte (a replay block)

# kind: (command line, stdin, where stdout goes, the one line after "norsel-radar: ")
BAD_INPUT = {
    "binary garbage": ("scan garbage.bin", "", "pipe", "error: garbage.bin: not UTF-8 text (byte 129)"),
    "truncated gzip": ("replay cut.jsonl.gz", "", "pipe", "error: cut.jsonl.gz: truncated gzip stream"),
    "a directory": ("scan .", "", "pipe", "error: .: Is a directory"),
    "empty file": ("scan empty.jsonl", "", "pipe", "error: empty.jsonl: no events"),
    "blank stdin": ("replay -", " \n\n\t\n", "pipe", "error: <stdin>: no events"),
    "missing spec first": ("replay --spec nothere.json missing.json", "", "pipe", "error: nothere.json: No such file or directory"),
    "bad line far in": ("replay far.jsonl.gz", "", "pipe", f"error: far.jsonl.gz:{FAR}: parse: missing field `ts`"),
    "not UTF-8 in a line": ("scan latin1.jsonl", "", "pipe", "error: latin1.jsonl:4: not UTF-8 text (byte 12 of the line)"),
    "deep nesting": ("scan deep.jsonl", "", "pipe", "error: deep.jsonl:2: parse: recursion limit exceeded at line 1 column 149"),
    "both on stdin": ("scan --spec - -", "", "pipe", "error: the spec and the events cannot both be read from stdin"),
    "BOM, cut short": ("scan -", '\ufeff{"A":[', "pipe", "error: <stdin>: parse: EOF while parsing a list at line 1 column 6"),
    "full stdout": ("demo", "", "full", "error: <stdout>: No space left on device"),
    "full stdout, streamed": ("generate --symbols 3", "", "full", "error: <stdout>: No space left on device"),
    "closed stdout": ("spec", "", "closed", "error: <stdout>: Bad file descriptor"),
    "closed stdout, streamed": ("generate --symbols 3", "", "closed", "error: <stdout>: Bad file descriptor"),
    "Ctrl-C": ("replay ev.jsonl --speed 1x --every 10", "", "interrupt", "interrupted"),
}  # fmt: skip


@pytest.fixture(scope="module")
def bad_inputs(tmp_path_factory):
    d = tmp_path_factory.mktemp("bad")
    text = "\n".join(LINES) + "\n"
    (d / "ev.jsonl").write_text(text)
    (d / "garbage.bin").write_bytes(bytes(range(256)) * 8)
    (d / "cut.jsonl.gz").write_bytes(gzip.compress(text.encode())[:-300])
    (d / "empty.jsonl").write_bytes(b"")
    far = LINES * 8
    far[FAR - 1] = far[FAR - 1].replace('"ts"', '"tz"')
    (d / "far.jsonl.gz").write_bytes(gzip.compress(("\n".join(far) + "\n").encode()))
    (d / "latin1.jsonl").write_bytes(
        ("\n".join(LINES[:3]) + "\n").encode() + b'{"symbol":"\xe9"}\n'
    )
    deep = '{"symbol":"A","event":' + "[" * 100000 + "]" * 100000 + "}"
    (d / "deep.jsonl").write_text(LINES[0] + "\n" + deep + "\n")
    return d


@pytest.mark.parametrize("args, stdin, stdout, message", BAD_INPUT.values(), ids=list(BAD_INPUT))
def test_bad_input_ends_with_one_line(bad_inputs, args, stdin, stdout, message):
    cmd = [sys.executable, "-m", "norsel_radar", *args.split()]
    if stdout == "interrupt":
        proc = subprocess.Popen(cmd, cwd=bad_inputs, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        assert proc.stdout.readline().startswith(b"at ")  # replaying, paced on market time
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=60)
        status = 130
    else:
        if stdout == "closed":
            cmd = ["bash", "-c", 'exec "$@" >&-', "-", *cmd]
        with open("/dev/full", "wb") as full:
            target = {"pipe": subprocess.PIPE, "full": full}.get(stdout, subprocess.DEVNULL)
            proc = subprocess.run(
                cmd, cwd=bad_inputs, input=stdin.encode(), stdout=target, stderr=subprocess.PIPE
            )
        assert not proc.stdout
        err, status = proc.stderr, 2
    assert (proc.returncode, err.decode()) == (status, f"norsel-radar: {message}\n")
