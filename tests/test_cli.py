"""The norsel-radar command line (run as `python -m norsel_radar`), the bundled
sample data, and the README's Python examples."""

import json
import pathlib
import re
import subprocess
import sys

import pytest

from norsel_radar import Radar, sample

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
PLANTED = set(sample.PLANTED)
SPEC = sample.default_spec()
GOOD = {"kind": "derivatives", "ts": 1, "open_interest": 1.0, "funding_rate": 0.0, "mark_price": 1.0}


def cli(*args, stdin=None, cwd=None):
    return subprocess.run([sys.executable, "-m", "norsel_radar", *map(str, args)], input=stdin,
                          capture_output=True, text=True, cwd=cwd, timeout=120)


def user_error(proc):
    """The one stderr line of a failed run (exit 2, no traceback, no stdout)."""
    assert proc.returncode == 2, proc.stderr
    assert proc.stdout == "" and "Traceback" not in proc.stderr
    lines = proc.stderr.splitlines()
    assert len(lines) == 1, proc.stderr
    return lines[0]


def table_rows(text):
    """The symbols of the table rows, in rank order."""
    return [m.group(1) for m in re.finditer(r"^\s*\d+\s+(\S+)\s+\d\.\d{4}\s", text, re.M)]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """A spec file and the same generated events in both input forms."""
    d = tmp_path_factory.mktemp("cli")
    (d / "spec.json").write_text(json.dumps(SPEC))
    assert cli("generate", "--symbols", 12, "--events-per-symbol", 120, "-o", d / "ev.json").returncode == 0
    assert cli("generate", "--symbols", 12, "--events-per-symbol", 120, "--format", "jsonl",
               "-o", d / "ev.jsonl").returncode == 0
    return d


def test_demo_ranks_the_planted_symbols_first():
    proc = cli("demo")
    assert proc.returncode == 0 and proc.stderr == ""
    rows = table_rows(proc.stdout)
    assert set(rows[:4]) == PLANTED
    assert "last event (UTC)" in proc.stdout and "2024-06-01 00:00:" in proc.stdout
    report = json.loads(cli("demo", "--format", "json").stdout)
    assert [a["symbol"] for a in report["alerts"]] == rows
    assert "$ norsel-radar demo\n" + proc.stdout + "```" in README.read_text(encoding="utf-8")


@pytest.mark.parametrize("name", ["ev.json", "ev.jsonl"])
def test_scan_json_is_the_radars_report(files, name):
    events = json.loads((files / "ev.json").read_text())
    expected = Radar(json.dumps(SPEC)).command(json.dumps({"cmd": "scan", "events": events}))
    proc = cli("scan", "--spec", files / "spec.json", files / name, "--format", "json")
    assert proc.returncode == 0 and proc.stdout == expected + "\n"
    table = cli("scan", "--spec", files / "spec.json", files / name)
    assert table.returncode == 0
    assert table_rows(table.stdout) == [a["symbol"] for a in json.loads(expected)["alerts"]]
    assert set(table_rows(table.stdout)[:4]) == PLANTED


@pytest.mark.parametrize("name", ["ev.json", "ev.jsonl"])
def test_stdin(files, name):
    proc = cli("scan", "--spec", files / "spec.json", "-", stdin=(files / name).read_text())
    assert proc.returncode == 0
    assert proc.stdout == cli("scan", "--spec", files / "spec.json", files / name).stdout


def test_replay_prints_every_n_and_ends_like_scan(files):
    proc = cli("replay", "--spec", files / "spec.json", files / "ev.jsonl", "--every", 500)
    assert proc.returncode == 0 and proc.stderr == ""  # no progress bar off a terminal
    titles = re.findall(r"^(after [\d,]+ events|end of input, [\d,]+ events):$", proc.stdout, re.M)
    assert titles == [f"after {n:,} events" for n in (500, 1000)] + ["end of input, 1,440 events"]
    final = proc.stdout.split("end of input, 1,440 events:\n", 1)[1]
    assert final == cli("scan", "--spec", files / "spec.json", files / "ev.jsonl").stdout + "\n"
    # The scan form is replayed symbol by symbol; the end state is the same.
    other = cli("replay", "--spec", files / "spec.json", files / "ev.json")
    assert other.stdout.split(":\n", 1)[1] == final


def test_generate_is_deterministic_and_both_forms_agree(files):
    scan_form = json.loads((files / "ev.json").read_text())
    assert scan_form == sample.generate_events(12, 120, 7)
    grouped = {}
    for line in (files / "ev.jsonl").read_text().splitlines():
        record = json.loads(line)
        grouped.setdefault(record["symbol"], []).append(record["event"])
    assert grouped == scan_form and list(scan_form) == sample.symbol_names(12)
    ts = [json.loads(line)["event"]["ts"] for line in (files / "ev.jsonl").read_text().splitlines()]
    assert ts == sorted(ts)
    assert cli("generate", "--symbols", 3, "--events-per-symbol", 5, "--seed", 1).stdout == \
        cli("generate", "--symbols", 3, "--events-per-symbol", 5, "--seed", 1).stdout
    assert sample.generate_events(3, 50, 1) != sample.generate_events(3, 50, 2)


def test_bundled_data_matches_the_generator():
    from importlib import resources

    data = resources.files("norsel_radar") / "data"
    assert json.loads((data / "default_spec.json").read_text()) == SPEC
    assert json.loads((data / "sample_events.json").read_text()) == sample.generate_events(30, 80, 7)


@pytest.mark.parametrize("seed", [1, 7, 2024])
def test_planted_symbols_rank_first_for_any_seed(seed):
    events = sample.generate_events(symbols=60, events_per_symbol=150, seed=seed)
    report = json.loads(Radar(json.dumps(SPEC)).command(json.dumps({"cmd": "scan", "events": events})))
    assert {a["symbol"] for a in report["alerts"][:4]} == PLANTED


def bad_line(lines, n, text):
    lines = list(lines)
    lines[n - 1] = text
    return "\n".join(lines) + "\n"


MISSING_TS = {k: v for k, v in GOOD.items() if k != "ts"}


@pytest.mark.parametrize("command", ["scan", "replay"])
@pytest.mark.parametrize("line, message", [
    (json.dumps({"symbol": "ETH-PERP", "event": MISSING_TS}), "parse: missing field `ts`"),
    (json.dumps({"symbol": "ETH-PERP", "event": dict(GOOD, kind="Derivatives")}),
     "parse: unknown variant `Derivatives`, expected one of `derivatives`, `orderbook`, `liquidation`"),
    ('{"symbol":"ETH-PERP","event":{"kind":"derivatives",}}', "parse: trailing comma at line 1 column 52"),
    ('{"symbol":"A","event":{"kind":"derivatives","ts":-0,"open_interest":1,"funding_rate":0,'
     '"mark_price":1}}', "parse: invalid type: floating point `-0.0`, expected i64"),
    ('{"symbol":"A","event":{"kind":"derivatives","ts":1,"open_interest":1e999,"funding_rate":0,'
     '"mark_price":1}}', "number out of range"),
    ("[1, 2]", 'expected an object with "symbol" (a string) and "event"'),
])
def test_bad_jsonl_line_names_its_line(files, tmp_path, command, line, message):
    lines = (files / "ev.jsonl").read_text().splitlines()[:40]
    path = tmp_path / "bad.jsonl"
    path.write_text(bad_line(lines, 17, line))
    assert user_error(cli(command, "--spec", files / "spec.json", path)) == \
        f"norsel-radar: error: {path}:17: {message}"


@pytest.mark.parametrize("command", ["scan", "replay"])
@pytest.mark.parametrize("text, message", [
    ('{"A":[], "B":[{"kind":"liquidation","ts":2,"side":"up","qty":1,"price":1}]}',
     'symbol "B", event 1: parse: unknown variant `up`, expected `buy` or `sell`'),
    ('{"A":[]},"events":{}', "parse: trailing characters at line 1 column 9"),
    ('{"A":[\n', "parse: EOF while parsing a list at line 2 column 0"),
    ('[{"A":[]}]', "parse: invalid type: sequence, expected a map"),
    ('{"A":[],\n"B":5}', 'symbol "B": parse: invalid type: integer `5`, expected a sequence'),
])
def test_bad_scan_form(files, tmp_path, command, text, message):
    path = tmp_path / "bad.json"
    path.write_text(text)
    got = user_error(cli(command, "--spec", files / "spec.json", path))
    assert re.fullmatch(rf"norsel-radar: error: {re.escape(str(path))}(:1)?: {re.escape(message)}", got)


@pytest.mark.parametrize("spec, message", [
    ('{"signals":[]}', "bad spec: at least one signal is required"),
    ("{}", "parse: missing field `signals` at line 1 column 2"),
    ('{"signals":[{"kind":"oi_delta","params":[1]}]}', "bad spec: oi_delta takes 2 parameter(s), got 1"),
])
def test_bad_spec_shows_the_radars_message(files, tmp_path, spec, message):
    path = tmp_path / "spec.json"
    path.write_text(spec)
    for command in ("scan", "replay"):
        got = user_error(cli(command, "--spec", path, files / "ev.json"))
        assert got == f"norsel-radar: error: {path}: {message}"
    with pytest.raises(ValueError) as exc:
        Radar(spec)
    assert str(exc.value) == message


@pytest.mark.parametrize("args, pattern", [
    (["scan", "--spec", "{spec}", "missing.json"], r"missing\.json: No such file or directory"),
    (["scan", "--spec", "missing.json", "{events}"], r"missing\.json: No such file or directory"),
    (["replay", "--spec", "{spec}", "missing.jsonl"], r"missing\.jsonl: No such file or directory"),
    (["generate", "-o", "no/such/dir/out.json"], r"no/such/dir/out\.json: No such file or directory"),
    (["generate", "--symbols", "-1"], r"--symbols and --events-per-symbol must not be negative"),
    (["replay", "--spec", "{spec}", "{events}", "--every", "-2"], r"--every must not be negative"),
    ([], r"error: the following arguments are required: COMMAND"),
    (["scan", "{events}"], r"error: the following arguments are required: --spec"),
    (["scan", "--spec", "{spec}", "{events}", "--format", "xml"], r"argument --format: invalid choice"),
    (["frobnicate"], r"argument COMMAND: invalid choice: 'frobnicate'"),
])
def test_user_errors(files, tmp_path, args, pattern):
    args = [a.format(spec=files / "spec.json", events=files / "ev.json") for a in args]
    assert re.search(pattern, user_error(cli(*args, cwd=tmp_path)))


def test_quickstart_example_runs():
    proc = subprocess.run([sys.executable, str(README.parent / "examples" / "quickstart.py")],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    assert "BTC-PERP 0.66666667" in proc.stdout and all(sym in proc.stdout for sym in PLANTED)


def test_readme_python_blocks_run(capsys):
    blocks = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), re.M | re.S)
    assert blocks, "README.md has no python examples"
    namespace = {"__name__": "__readme__"}
    for block in blocks:
        exec(compile(block, str(README), "exec"), namespace)
    assert capsys.readouterr().out
