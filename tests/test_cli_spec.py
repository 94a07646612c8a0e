"""norsel-radar spec: the bundled default spec, checks with warnings for the
members the radar ignores, and the same warnings (or errors) from scan and
replay. (The README's examples, run by test_cli.py, show one of each with the
default spec, which warns about nothing.)"""

import json

import pytest
from clitools import cli, main_error
from norsel_radar import sample
from norsel_radar.cli import specs

# fmt: off
TYPOS = {"signals": [{"kind": "funding_flip", "params": [0.001], "wieght": 2}], "treshold": 0.5, "zzz": 1}
ARRAY_FORM = [[], [], [["oi_delta", [1, 0.1]], {"kind": {"book_imbalance": None}, "params": [1], "x": 0}]]
# fmt: on


def test_default_spec_is_printed():
    proc = cli("spec")
    assert proc.returncode == 0 and proc.stdout == specs.default_text()
    assert json.loads(proc.stdout) == sample.default_spec()


@pytest.mark.parametrize("spec, warnings", [
    (TYPOS, ["treshold: unknown member, ignored (did you mean threshold?)", "zzz: unknown member, ignored", "signals[0].wieght: unknown member, ignored (did you mean weight?)"]),
    (ARRAY_FORM, ["signals[1].x: unknown member, ignored"]),
], ids=["typos", "array form"])  # fmt: skip
def test_check_scan_and_replay_warn_alike(tmp_path, spec, warnings):
    path, events = tmp_path / "spec.json", tmp_path / "ev.json"
    path.write_text(json.dumps(spec))
    events.write_text(json.dumps(sample.generate_events(5, 30, 1)))
    check, scan = cli("spec", "check", path), cli("scan", "--spec", path, events)
    assert check.returncode == scan.returncode == 0 and check.stdout.startswith(f"{path}: ok, ")
    expected = [f"norsel-radar: warning: {path}: {w}" for w in warnings]
    assert check.stderr.splitlines() == scan.stderr.splitlines() == expected
    strict = f"norsel-radar: error: {path}: {warnings[0].replace(', ignored', '')}"
    assert main_error("replay", "--spec", path, events, "--strict") == strict
    assert main_error("spec", "check", path, "--strict") == strict


@pytest.mark.parametrize("text, message", [
    ('{"signals":[]}', "bad spec: at least one signal is required"),
    ("", "parse: EOF while parsing a value at line 1 column 0"),
    ('{"x":' + "[" * 100000 + "]" * 100000 + "}", "parse: recursion limit exceeded at line 1 column 132"),
], ids=["no signal", "empty", "deep nesting"])  # fmt: skip
def test_check_refuses_what_the_radar_refuses(tmp_path, text, message):
    path = tmp_path / "spec.json"
    path.write_text(text)
    for command in (["spec", "check", path], ["scan", "--spec", path, path]):
        assert main_error(*command) == f"norsel-radar: error: {path}: {message}"
