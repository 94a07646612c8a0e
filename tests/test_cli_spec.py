"""norsel-radar spec: the bundled default spec, checks with warnings for the
members the radar ignores, and the same warnings (or errors) from scan and replay."""

import json

import pytest
from clitools import cli, user_error
from norsel_radar import sample
from norsel_radar.cli import specs


def _short(value):
    """Short test ids: a parameter's text can be 200 kB (and ids go into the environment)."""
    return value[:40] if isinstance(value, str) else None


TYPOS = {
    "signals": [{"kind": "funding_flip", "params": [0.001], "wieght": 2}],
    "treshold": 0.5,
    "zzz": 1,
}
WARNINGS = [
    "treshold: unknown member, ignored (did you mean threshold?)",
    "zzz: unknown member, ignored",
    "signals[0].wieght: unknown member, ignored (did you mean weight?)",
]


def test_default_spec_is_printed_and_used():
    proc = cli("spec")
    assert proc.returncode == 0 and json.loads(proc.stdout) == sample.default_spec()
    assert proc.stdout == specs.default_text()


@pytest.mark.parametrize(
    "spec, warnings",
    [
        (TYPOS, WARNINGS),
        (sample.default_spec(), []),
        (
            [
                [],
                [],
                [["oi_delta", [1, 0.1]], {"kind": {"book_imbalance": None}, "params": [1], "x": 0}],
            ],
            ["signals[1].x: unknown member, ignored"],
        ),
    ],
)
def test_check_warns_about_ignored_members(tmp_path, spec, warnings):
    path = tmp_path / "spec.json"
    path.write_text(json.dumps(spec))
    proc = cli("spec", "check", path)
    assert proc.returncode == 0
    assert proc.stderr.splitlines() == [f"norsel-radar: warning: {path}: {w}" for w in warnings]
    assert proc.stdout.startswith(f"{path}: ok, ")
    events = tmp_path / "ev.json"
    events.write_text(json.dumps(sample.generate_events(5, 30, 1)))
    for command in ("scan", "replay"):
        run = cli(command, "--spec", path, events)
        assert run.returncode == 0 and run.stderr == proc.stderr
        if warnings:
            strict = user_error(cli(command, "--spec", path, events, "--strict"))
            assert strict == f"norsel-radar: error: {path}: {warnings[0].replace(', ignored', '')}"
    if warnings:
        assert user_error(cli("spec", "check", path, "--strict")).startswith(
            "norsel-radar: error: "
        )


@pytest.mark.parametrize(
    "text, message",
    ids=_short,
    argvalues=[
        ('{"signals":[]}', "bad spec: at least one signal is required"),
        (
            '{"signals":[{"kind":"oi_delta","params":[1]}]}',
            "bad spec: oi_delta takes 2 parameter(s), got 1",
        ),
        ("", "parse: EOF while parsing a value at line 1 column 0"),
        (
            '{"x":' + "[" * 100000 + "]" * 100000 + "}",
            "parse: recursion limit exceeded at line 1 column 132",
        ),
    ],
)
def test_check_refuses_what_the_radar_refuses(tmp_path, text, message):
    path = tmp_path / "spec.json"
    path.write_text(text)
    assert user_error(cli("spec", "check", path)) == f"norsel-radar: error: {path}: {message}"
    assert (
        user_error(cli("scan", "--spec", path, "-", stdin="{}"))
        == f"norsel-radar: error: {path}: {message}"
    )
