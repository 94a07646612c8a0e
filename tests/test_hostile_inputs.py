"""Hostile request and spec texts: nesting far past the limit, requests of
about 100 MB, every string escape at every word offset, numbers with thousands
of digits, and control characters in symbols. Each gets its exact answer and
the radar keeps working."""

import pytest

from conftest import FUNDING, I64_MIN, alerts, command, error_response, make_spec, new_radar, run, sig

VERSION, VERSION_REPLY = '{"cmd":"version"}', '{"version":"0.2.0"}'
FEED = '{"cmd":"feed","symbol":%s,"event":{"kind":"derivatives","ts":%s,"open_interest":%s,' \
       '"funding_rate":%s,"mark_price":1}}'
WRITTEN = {8: "\\b", 9: "\\t", 10: "\\n", 12: "\\f", 13: "\\r", 34: '\\"', 92: "\\\\"}


def written(text):
    """A text as reports write it: only quote, backslash and controls escaped."""
    return "".join(WRITTEN.get(ord(c)) or ("\\u%04x" % ord(c) if ord(c) < 32 else c) for c in text)


def empty_symbol_report(symbol_text):
    return ('{"alerts":[{"symbol":"%s","severity":0.0,"factors":{"funding_flip(0.001)":0.0,'
            '"severity":0.0},"ts":%d}],"scanned":1}' % (symbol_text, I64_MIN))


def scan_symbol(radar, literal):
    return command(radar, '{"cmd":"scan","events":{%s:[]}}' % literal)


# ---------------------------------------------------------------- nesting

@pytest.mark.parametrize("prefix, depth, unit", [
    ("", 0, "["), ("", 0, '{"a":'), ("", 0, '[{"a":'), ('{"cmd":"version","x":', 1, "["),
    ('{"cmd":"set_spec","spec":{"signals":[],"x":', 2, '{"":'), ('{"cmd":"scan","events":{"S":', 2, "["),
], ids=["arrays", "objects", "mixed", "member", "set_spec-member", "scan-events"])
def test_nesting_far_past_the_limit(radar, prefix, depth, unit):
    # the 128th level opens at this byte; count the openers of the repeated unit
    openers = [i for i, c in enumerate(unit * 128) if c in "[{"]
    column = len(prefix) + openers[127 - depth] + 1
    expected = error_response("parse: recursion limit exceeded at line 1 column %d" % column)
    for closing in ("", "]" * 100_000):
        assert command(radar, prefix + unit * 100_000 + closing) == expected
    assert command(radar, VERSION) == VERSION_REPLY


@pytest.mark.parametrize("deep", ["[" * 100_000, "[" * 100_000 + "]" * 100_000,
                                  '{"a":' * 100_000 + "1" + "}" * 100_000, '{"a":[' * 50_000])
@pytest.mark.parametrize("template", [
    '{"signals":[{"kind":"funding_flip","params":[0.001]}],"x":DEEP}',
    '{"x":DEEP,"signals":[{"kind":"funding_flip","params":[0.001]}]}', '{"signals":DEEP}'])
def test_deep_nesting_in_spec_text_does_not_crash(deep, template):
    try:
        radar = new_radar(template.replace("DEEP", deep))
    except ValueError:
        return
    assert command(radar, VERSION) == VERSION_REPLY


# ---------------------------------------------------------------- size

EVENT_PAIR = ('{"kind":"derivatives","ts":%d,"open_interest":%d.5,"funding_rate":%s,"mark_price":2},'
              '{"kind":"liquidation","ts":%d,"side":"sell","qty":%d,"price":1}')


def test_request_of_100_mb_is_answered():
    spec = make_spec(FUNDING, sig("oi_delta", 20, 0.05), sig("liq_cluster", 5, 10), threshold=-1)
    block = ",".join(EVENT_PAIR % (i, 100 + i % 7, ("0.0004", "-0.0006")[i % 2], i, i % 5) for i in range(50))
    batch = '{"cmd":"feed_batch","symbol":"S","events":[%s]}'
    big, small = new_radar(spec), new_radar(spec)
    text = batch % ",".join([block] * (100_000_000 // len(block)))
    assert len(text) > 99_000_000 and command(big, text) == '{"ok":true}'
    del text
    # states are bounded by their windows: the last blocks alone give the same state
    assert command(small, batch % ",".join([block] * 3)) == '{"ok":true}'
    assert alerts(big).raw == alerts(small).raw and alerts(big)["alerts"][0]["severity"] > 0
    lines = 100_000_000
    assert command(big, "\n" * lines + " " + VERSION + " \r\n\t") == VERSION_REPLY
    assert command(big, "\n" * lines + "  x") == error_response(
        "parse: expected value at line %d column 3" % (lines + 1))


# ---------------------------------------------------------------- strings

ESCAPES = r'\" \\ \/ \b \f \n \r \t \u0041\u00e9\u00C9\u20AC\ud83d\ude00\uDBFF\uDFFF'
DECODED = '" \\ / \b \f \n \r \t A\u00e9\u00c9\u20ac\U0001f600\U0010ffff'


@pytest.mark.parametrize("offset", range(17))
def test_every_escape_round_trips_at_every_offset(radar, offset):
    pad = "\u00e9x/"[offset % 3] * offset  # ASCII, multi-byte and solidus padding
    literal = '"%s%s%s"' % (pad, ESCAPES, pad)
    assert scan_symbol(radar, literal) == empty_symbol_report(written(pad + DECODED + pad))


@pytest.mark.parametrize("code", range(32))
def test_control_characters_in_symbols_echoed_escaped(radar, code):
    literal = '"a\\u%04X%s"' % (code, "b" * (code % 9))
    assert scan_symbol(radar, literal) == empty_symbol_report(written("a" + chr(code) + "b" * (code % 9)))
    # a raw control character is rejected where it stands
    raw = '{"cmd":"feed","symbol":"%s%s"}' % ("x" * code, chr(code))
    where = "line 2 column 0" if code == 10 else "line 1 column %d" % (25 + code)
    assert command(radar, raw) == error_response(
        "parse: control character (\\u0000-\\u001F) found while parsing a string at " + where)


def test_nul_inside_symbols_is_part_of_the_text(radar):
    rep = run(radar, '{"cmd":"scan","events":{"a\\u0000b":[],"a":[],"a\\u0000":[],"\\u0000":[]}}')
    assert [a["symbol"] for a in rep["alerts"]] == ["\x00", "a", "a\x00", "a\x00b"] and '"a\\u0000b"' in rep.raw
    for symbol in ["a", "a\\u0000", "a\\u0000b"]:  # three stored symbols, not one
        assert command(radar, FEED % ('"%s"' % symbol, 1, 1, 0)) == '{"ok":true}'
    assert alerts(radar)["scanned"] == 3


# short hex digits and what follows a leading surrogate (other bad escapes are decode vectors)
@pytest.mark.parametrize("literal, message, end", [
    (r'"\u12"', "invalid escape", 7),
    (r'"\u12G4"', "invalid escape", 7),
    (r'"\ud800\u12"', "invalid escape", 13),
    (r'"\ud800\n"', "unexpected end of hex escape", 9),
    ('"\\u00', "EOF while parsing a string", 5),
    ('"abc\\', "EOF while parsing a string", 5),
])
def test_invalid_escapes(radar, literal, message, end):
    prefix = '{"cmd":"feed","symbol":'
    text = prefix + literal + (',"event":{}}' if literal.endswith('"') else "")
    assert command(radar, text) == error_response("parse: %s at line 1 column %d" % (message, len(prefix) + end))


# ---------------------------------------------------------------- long numbers

@pytest.mark.parametrize("field, literal, message", [
    ("ts", "1" + "0" * 400, "number out of range"),
    ("ts", "-" + "9" * 5000, "number out of range"),
    ("oi", "1" + "0" * 400, "number out of range"),
    ("ts", "0" * 3000 + "1", "invalid number"),
    ("ts", "1" + "0" * 2000 + "e-2000", "invalid type: floating point `1.0`, expected i64"),
    ("ts", "-0." + "0" * 3000 + "1", "invalid type: floating point `-0.0`, expected i64"),
    ("ts", "123." + "9" * 4000, "invalid type: floating point `124.0`, expected i64"),
], ids=["ts-1e400", "ts-9x5000", "oi-1e400", "leading-zeros", "mantissa-exponent", "-0.0001", "rounds-up"])
def test_numbers_with_thousands_of_digits_rejected(radar, field, literal, message):
    text = FEED % (('"S"', literal, 1, 0) if field == "ts" else ('"S"', 1, literal, 0))
    if message in ("number out of range", "invalid number"):  # syntax errors carry where the reader stopped
        stop = len(literal) if message == "number out of range" else 2
        message += " at line 1 column %d" % (text.index(literal) + stop)
    assert command(radar, text) == error_response("parse: " + message)
    assert alerts(radar)["scanned"] == 0


@pytest.mark.parametrize("oi, fr", [
    ("1" + "0" * 300, "0.0004" + "0" * 5000),
    ("0." + "0" * 4000 + "1", "4" + "0" * 3000 + "e-3004"),
    ("1" + "0" * 2000 + "e-2000", "0.00039999999999999999999999" + "9" * 3000),
], ids=["trailing-zeros", "exponent", "nines"])
def test_f64_fields_with_thousands_of_digits_accepted(oi, fr):
    radars = [new_radar(make_spec(FUNDING, threshold=-1)) for _ in range(2)]
    for radar, values in zip(radars, [(oi, fr), ("1", "0.0004")]):
        assert command(radar, FEED % ('"S"', 1, 1, "-0.0006")) == '{"ok":true}'
        assert command(radar, FEED % ('"S"', 2, *values)) == '{"ok":true}'
    assert alerts(radars[0]).raw == alerts(radars[1]).raw
    assert alerts(radars[0])["alerts"][0]["severity"] > 0
