"""norsel-radar scan: every form of input, compressed or not, from a file or
stdin, gives the radar's report unchanged; a bad event is named exactly, by
scan and replay alike."""

import gzip
import json

import pytest
from clitools import cli, jsonl_lines, main_error, radar_report, table_rows
from norsel_radar import sample
from norsel_radar.cli import inputs, main, replay, scan

EVENTS = sample.generate_events(12, 120, 7)
REPORT = radar_report(EVENTS)
LINES = jsonl_lines(EVENTS)


def _spaced(line):  # json.dumps' own spacing: still cut as a plain block
    return json.dumps(json.loads(line))


def _event_first(line):  # not plain: its block is read line by line
    obj = json.loads(line)
    return json.dumps({"event": obj["event"], "venue": "x", "symbol": obj["symbol"]})


def _joined(lines, end="\n", sep="\n"):
    return sep.join(lines) + end


# The same events written in every way a recorder might; one packing each.
FORMS = [
    ("scan.json", json.dumps(EVENTS), "gzip"),
    ("pretty.json", json.dumps(EVENTS, indent=2), "zstd"),
    ("bom.json", "\ufeff" + json.dumps(EVENTS), None),
    ("plain.jsonl", _joined(LINES), "gzip"),
    ("no_final_newline.jsonl", _joined(LINES, end=""), None),
    ("crlf.jsonl", _joined(LINES, "\r\n", "\r\n"), "zstd"),
    ("spaced.jsonl", _joined(map(_spaced, LINES)), None),
    ("event_first.jsonl", _joined(map(_event_first, LINES)), "gzip"),
    ("blank_lines.jsonl", _joined(LINES, "\n\n", "\n\n"), None),
    ("escaped.jsonl", _joined(x.replace("-PERP", "\\u002dPERP", 1) for x in LINES), "zstd"),
    ("bom.jsonl", "\ufeff" + _joined(LINES), None),
]


@pytest.mark.parametrize("name, text, packing", FORMS, ids=[f[0] for f in FORMS])
def test_every_form_gives_the_radars_report(tmp_path, name, text, packing):
    data = text.encode()
    if packing == "gzip":
        data = gzip.compress(data)
    elif packing == "zstd":
        data = pytest.importorskip("zstandard").ZstdCompressor().compress(data)
    (tmp_path / name).write_bytes(data)
    proc = cli("scan", tmp_path / name, "--format", "json")
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, REPORT + "\n", "")
    if packing == "gzip":  # the same from stdin
        stdin = cli("scan", "-", "--format", "json", stdin=data, text=False)
        assert stdin.stdout == (REPORT + "\n").encode(), stdin.stderr


def test_table_and_detection(tmp_path):
    path = tmp_path / "ev.jsonl"
    path.write_text(_joined(LINES))
    table = cli("scan", path)
    assert table.returncode == 0 and table.stderr == ""
    assert table_rows(table.stdout) == [a["symbol"] for a in json.loads(REPORT)["alerts"]]
    # A scan form whose symbols are named "symbol" and "event" is still the scan form,
    # and --input-format says what the first object cannot.
    events = {"symbol": EVENTS["ETH-PERP"], "event": EVENTS["SOL-PERP"]}
    path = tmp_path / "odd.json"
    path.write_text(json.dumps(events))
    assert cli("scan", path, "--format", "json").stdout == radar_report(events) + "\n"
    assert main_error("scan", path, "--input-format", "jsonl") == (
        f'norsel-radar: error: {path}:1: expected an object with "symbol" (a string) and "event"'
    )
    path.write_text('{"event": ["liquidation", 5, "buy", 1.5, 2.0], "symbol": "A"}\n')
    assert json.loads(cli("scan", path, "--format", "json").stdout)["scanned"] == 1


# (file, bad text, message after the file name); a .jsonl text is line 17 of
# good lines, and columns count in that line's own text.
BAD = [
    ("bad.jsonl", '{"symbol":"ETH-PERP","event":{"kind":"derivatives",}}', ":17: parse: trailing comma at line 1 column 52"),
    ("bad.jsonl", '{"symbol":"A","event":{"kind":"derivatives","ts":1,"open_interest":1e999,"funding_rate":0,"mark_price":1}}', ":17: parse: number out of range at line 1 column 72"),
    ("bad.jsonl", '{"symbol":"A","event":{"kind":"derivatives","ts":1}', ":17: parse: EOF while parsing an object at line 1 column 51"),
    ("bad.jsonl", '{"symbol":"A","event":{"kind":"liquidation","ts":2,"side":"buy","qty":1,"price":1},"event":{}}', ":17: parse: missing field `kind`"),
    ("bad.jsonl", '{"symbol":"A","event":{"kind":"liquidation","ts":2,"side":"buy","qty":1,"price":"1}"}}', ':17: parse: invalid type: string "1}", expected f64'),
    ("bad.jsonl", '{"symbol":"A","event":{"kind":"liquidation","ts":2,"side":"buy","qty":1,"price":1}},{"x":1}', ":17: parse: trailing characters at line 1 column 84"),
    ("bad.jsonl", '{"symbol":"A","event":{"kind":"liquidation","ts":2,"side":"buy","qty":1,"price":1},{"kind":"liquidation","ts":3,"side":"buy","qty":1,"price":1}}', ":17: parse: key must be a string at line 1 column 84"),
    ("bad.jsonl", '{"symbol":5,"event":{}}', ':17: expected an object with "symbol" (a string) and "event"'),
    ("bad.json", '{"A":[], "B":[{"kind":"liquidation","ts":2,"side":"up","qty":1,"price":1}]}', ': symbol "B", event 1: parse: unknown variant `up`, expected `buy` or `sell`'),
    ("bad.json", '{"A":[],\n"B":5}', ': symbol "B": parse: invalid type: integer `5`, expected a sequence'),
    ("bad.json", '{"A":[\n', ": parse: EOF while parsing a list at line 2 column 0"),
    ("bad.json", '{"A":[]} x', ": parse: trailing characters at line 1 column 10"),
    ("bad.json", '[{"A":[]}]', ": parse: invalid type: sequence, expected a map"),
    ("bad.json", '{"A":[{"kind":"derivatives","ts":1,"open_interest":1,"funding_rate":1e999,"mark_price":1}]}', ": parse: number out of range at line 1 column 73"),
    ("bad.json", "[" * 100000 + "]" * 100000, ": parse: recursion limit exceeded at line 1 column 128"),
]  # fmt: skip


@pytest.mark.parametrize("name, text, message", BAD, ids=[m[:50] for _, _, m in BAD])
def test_a_bad_event_is_named_exactly(tmp_path, name, text, message):
    if name.endswith(".jsonl"):
        text = _joined(LINES[:16] + [text] + LINES[17:40])
    path = tmp_path / name
    path.write_text(text)
    for command in ("scan", "replay"):
        assert main_error(command, path) == f"norsel-radar: error: {path}{message}"


def test_small_blocks_of_both_kinds(tmp_path, monkeypatch, capsys):
    """Blocks of 20 kB, cut plainly or line by line (the one holding an
    event-first line): the same report; a bad line in a later block is found
    by its number."""
    for module in (scan, replay):
        monkeypatch.setattr(module, "BLOCK", 20_000)
    monkeypatch.setattr(inputs, "READ_SIZE", 4096)
    lines = list(LINES)
    lines[700], lines[900] = _spaced(lines[700]), _event_first(lines[900])
    path = tmp_path / "ev.jsonl"
    path.write_text(_joined(lines))
    assert main(["scan", str(path), "--format", "json"]) == 0
    assert capsys.readouterr().out == REPORT + "\n"
    lines[1000] = lines[1000].replace('"ts"', '"tz"')
    path.write_text(_joined(lines))
    got = main_error("scan", path)
    assert got == f"norsel-radar: error: {path}:1001: parse: missing field `ts`"
