"""norsel-radar scan: both input forms, compressed or not, from a file or stdin;
the radar's report unchanged; bad input ends with one exact line."""

import gzip
import json

import pytest
from clitools import SPEC, cli, jsonl_lines, radar_report, table_rows, user_error
from norsel_radar import Radar, sample
from norsel_radar.cli import inputs, jsonl


def _short(value):
    """Short test ids: a parameter's text can be 200 kB (and ids go into the environment)."""
    return value[:40] if isinstance(value, str) else None


EVENTS = sample.generate_events(12, 120, 7)
REPORT = radar_report(EVENTS)
LINES = jsonl_lines(EVENTS)


def _py_json(line):  # json.dumps' own spacing
    return json.dumps(json.loads(line))


def _escaped(line):  # the symbol written with an escape: read line by line
    return line.replace("-PERP", "\\u002dPERP", 1)


def _event_first(line):
    obj = json.loads(line)
    return json.dumps({"event": obj["event"], "venue": "x", "symbol": obj["symbol"]})


# (file name, content): the same events written in every way a recorder might.
FORMS = {
    "scan.json": json.dumps(EVENTS).encode(),
    "pretty.json": json.dumps(EVENTS, indent=2).encode(),
    "bom.json": b"\xef\xbb\xbf" + json.dumps(EVENTS).encode(),
    "plain.jsonl": ("\n".join(LINES) + "\n").encode(),
    "no_final_newline.jsonl": "\n".join(LINES).encode(),
    "crlf.jsonl": ("\r\n".join(LINES) + "\r\n").encode(),
    "spaced.jsonl": ("\n".join(map(_py_json, LINES)) + "\n").encode(),
    "event_first.jsonl": ("\n".join(map(_event_first, LINES)) + "\n").encode(),
    "blank_lines.jsonl": ("\n\n".join(LINES) + "\n\n").encode(),
    "escaped.jsonl": ("\n".join(map(_escaped, LINES)) + "\n").encode(),
    "bom.jsonl": b"\xef\xbb\xbf" + ("\n".join(LINES) + "\n").encode(),
}


@pytest.fixture(scope="module")
def spec_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("spec") / "spec.json"
    path.write_text(json.dumps(SPEC))
    return path


@pytest.mark.parametrize("name", sorted(FORMS))
@pytest.mark.parametrize("packing", ["plain", "gzip", "zstd"])
def test_every_form_gives_the_radars_report(tmp_path, spec_file, name, packing):
    data = FORMS[name]
    if packing == "gzip":
        data = gzip.compress(data)
    elif packing == "zstd":
        zstandard = pytest.importorskip("zstandard")
        data = zstandard.ZstdCompressor().compress(data)
    path = tmp_path / name
    path.write_bytes(data)
    runs = [
        cli("scan", "--spec", spec_file, path, "--format", "json"),
        cli("scan", path, "--format", "json"),  # the default spec is the same
        cli("scan", "-", "--format", "json", stdin=data, text=False),
    ]
    for proc in runs:
        out = proc.stdout if isinstance(proc.stdout, str) else proc.stdout.decode()
        assert proc.returncode == 0 and out == REPORT + "\n", proc.stderr


def test_table_and_detection(tmp_path):
    path = tmp_path / "ev.jsonl"
    path.write_bytes(FORMS["plain.jsonl"])
    table = cli("scan", path)
    assert table.returncode == 0 and table.stderr == ""
    assert table_rows(table.stdout) == [a["symbol"] for a in json.loads(REPORT)["alerts"]]
    # A scan form whose symbols are named "symbol" and "event" is still the scan form,
    # and --input-format says what the first object cannot.
    events = {"symbol": EVENTS["ETH-PERP"], "event": EVENTS["SOL-PERP"]}
    path = tmp_path / "odd.json"
    path.write_text(json.dumps(events))
    assert cli("scan", path, "--format", "json").stdout == radar_report(events) + "\n"
    got = user_error(cli("scan", path, "--input-format", "jsonl"))
    assert (
        got
        == f'norsel-radar: error: {path}:1: expected an object with "symbol" (a string) and "event"'
    )
    one = {"symbol": "A", "event": ["liquidation", 5, "buy", 1.5, 2.0]}
    path.write_text(json.dumps({"event": one["event"], "symbol": "A"}) + "\n")
    assert json.loads(cli("scan", path, "--format", "json").stdout)["scanned"] == 1


def _with_line(lines, number, text):
    return lines[: number - 1] + [text] + lines[number:]


# Line 17 of JSON Lines: the message names the line and counts columns in its own text.
BAD_LINES = [
    (
        '{"symbol":"ETH-PERP","event":{"kind":"derivatives",}}',
        "parse: trailing comma at line 1 column 52",
    ),
    (
        '{"symbol":"A","event":{"kind":"derivatives","ts":1,"open_interest":1e999,"funding_rate":0,"mark_price":1}}',
        "parse: number out of range at line 1 column 72",
    ),
    (
        '{"symbol":"A","event":["derivatives",-0,1,0,1]}',
        "parse: invalid type: floating point `-0.0`, expected i64",
    ),
    (
        '{"symbol":"A","event":{"kind":"liquidation","ts":2,"side":"up","qty":1,"price":1}}',
        "parse: unknown variant `up`, expected `buy` or `sell`",
    ),
    (
        '{"symbol":"A","event":{"kind":"derivatives","ts":1}',
        "parse: EOF while parsing an object at line 1 column 51",
    ),
    (
        '{"symbol":"A","event":{"kind":"liquidation","ts":2,"side":"buy","qty":1,"price":1},"event":{}}',
        "parse: missing field `kind`",
    ),
    (
        '{"symbol":"A","event":{"kind":"liquidation","ts":2,"side":"buy","qty":1,"price":"1}"}}',
        'parse: invalid type: string "1}", expected f64',
    ),
    (
        '{"symbol":"A","event":{"kind":"liquidation","ts":2,"side":"buy","qty":1,"price":1}},{"x":1}',
        "parse: trailing characters at line 1 column 84",
    ),
    (
        '{"symbol":"A","event":{"kind":"liquidation","ts":2,"side":"buy","qty":1,"price":1},{"kind":"liquidation","ts":3,"side":"buy","qty":1,"price":1}}',
        "parse: key must be a string at line 1 column 84",
    ),
    ("[1, 2]", 'expected an object with "symbol" (a string) and "event"'),
    ("{}", 'expected an object with "symbol" (a string) and "event"'),
    ('{"symbol":5,"event":{}}', 'expected an object with "symbol" (a string) and "event"'),
    (
        '{"symbol":"A","event":' + "[" * 100000 + "]" * 100000 + "}",
        "parse: recursion limit exceeded at line 1 column 149",
    ),
]


@pytest.mark.parametrize("text, message", BAD_LINES, ids=_short)
def test_a_bad_line_is_named_exactly(tmp_path, text, message):
    path = tmp_path / "bad.jsonl"
    path.write_text("\n".join(_with_line(LINES[:40], 17, text)) + "\n")
    expected = f"norsel-radar: error: {path}:17: {message}"
    assert user_error(cli("scan", path)) == expected
    assert user_error(cli("replay", path)) == expected


@pytest.mark.parametrize(
    "text, message",
    ids=_short,
    argvalues=[
        (
            '{"A":[], "B":[{"kind":"liquidation","ts":2,"side":"up","qty":1,"price":1}]}',
            ': symbol "B", event 1: parse: unknown variant `up`, expected `buy` or `sell`',
        ),
        ('{"A":[\n', ": parse: EOF while parsing a list at line 2 column 0"),
        ('\xef\xbb\xbf{"A":[', ": parse: EOF while parsing a list at line 1 column 6"),
        ('{"A":[]} x', ": parse: trailing characters at line 1 column 10"),
        ('[{"A":[]}]', ": parse: invalid type: sequence, expected a map"),
        ('{"A":[],\n"B":5}', ': symbol "B": parse: invalid type: integer `5`, expected a sequence'),
        (
            '{"A":[{"kind":"derivatives","ts":1,"open_interest":1,"funding_rate":1e999,"mark_price":1}]}',
            ": parse: number out of range at line 1 column 73",
        ),
        ("[" * 100000 + "]" * 100000, ": parse: recursion limit exceeded at line 1 column 128"),
    ],
)
def test_scan_form_errors(tmp_path, text, message):
    path = tmp_path / "bad.json"
    path.write_bytes(text.encode("latin-1") if text.startswith("\xef") else text.encode())
    assert user_error(cli("scan", path)) == f"norsel-radar: error: {path}{message}"
    assert user_error(cli("replay", path)) == f"norsel-radar: error: {path}{message}"


def test_bad_files(tmp_path):
    (tmp_path / "empty.jsonl").write_bytes(b"")
    (tmp_path / "blank.json").write_bytes(b" \n\n\t\n")
    (tmp_path / "garbage.bin").write_bytes(bytes(range(256)) * 8)
    (tmp_path / "trunc.jsonl.gz").write_bytes(gzip.compress(FORMS["plain.jsonl"])[:-300])
    (tmp_path / "latin1.jsonl").write_bytes(
        FORMS["plain.jsonl"] + b'{"symbol":"\xe9","event":{}}\n'
    )
    n = len(LINES) + 1
    cases = [
        (["scan", "empty.jsonl"], "empty.jsonl: no events"),
        (["replay", "blank.json"], "blank.json: no events"),
        (["scan", "-"], "<stdin>: no events"),
        (["scan", "."], ".: Is a directory"),
        (["scan", "missing.json"], "missing.json: No such file or directory"),
        (["scan", "garbage.bin"], "garbage.bin: not UTF-8 text (byte 129)"),
        (["scan", "trunc.jsonl.gz"], "trunc.jsonl.gz: truncated gzip stream"),
        (["replay", "trunc.jsonl.gz"], "trunc.jsonl.gz: truncated gzip stream"),
        (["scan", "latin1.jsonl"], f"latin1.jsonl:{n}: not UTF-8 text (byte 12 of the line)"),
        (["scan", "--spec", "-", "-"], "the spec and the events cannot both be read from stdin"),
        (
            ["scan", "--spec", "nothere.json", "empty.jsonl"],
            "nothere.json: No such file or directory",
        ),
    ]
    for args, message in cases:
        assert user_error(cli(*args, cwd=tmp_path, stdin="")) == f"norsel-radar: error: {message}"


def test_blocks_cut_and_feed_across_block_boundaries(tmp_path, monkeypatch):
    """Small blocks: plain and line-by-line blocks alternate, and a bad line in
    a later block is found by its number."""
    lines = list(LINES)
    lines[700] = _py_json(lines[700])  # spaced as json.dumps does: still cut as a block
    lines[900] = _event_first(lines[900])  # its block is read line by line
    path = tmp_path / "ev.jsonl"
    path.write_text("\n".join(lines) + "\n")
    monkeypatch.setattr(inputs, "READ_SIZE", 4096)
    keys = jsonl.KeyCache()
    radar, scratch = Radar(json.dumps(SPEC)), Radar(json.dumps(SPEC))
    feeder = jsonl.Feeder(radar, scratch, "ev.jsonl", keys)
    with inputs.Input(str(path)) as inp:
        kinds = []
        for block in jsonl.blocks(inp, 20_000, keys):
            kinds.append(block.bodies is not None)
            feeder.feed(block)
    assert len(kinds) > 5 and not all(kinds) and any(kinds)
    alerts = radar.command('{"cmd":"alerts"}')
    assert alerts == REPORT and feeder.events == len(LINES)
    lines[1000] = lines[1000].replace('"ts"', '"tz"')
    path.write_text("\n".join(lines) + "\n")
    got = user_error(cli("scan", path))
    assert got == f"norsel-radar: error: {path}:1001: parse: missing field `ts`"
