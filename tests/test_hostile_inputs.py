"""Hostile request and spec texts: nesting far past the limit, requests of
about 100 MB, every string escape at every word offset, numbers with thousands
of digits. Each gets its exact answer and the radar keeps working."""

import json

import pytest
from conftest import FUNDING, alerts, command, error_response, make_spec, new_radar, sig

VERSION, VERSION_REPLY, OK = '{"cmd":"version"}', '{"version":"0.2.0"}', '{"ok":true}'
FEED = (
    '{"cmd":"feed","symbol":%s,"event":{"kind":"derivatives","ts":%s,"open_interest":%s,'
    '"funding_rate":%s,"mark_price":1}}'
)


# the error names the column where the 128th level opens
@pytest.mark.parametrize(
    "prefix, unit, column",
    [
        ("", "[", 128),
        ("", '{"a":', 636),
        ("", '[{"a":', 380),
        ('{"cmd":"version","x":', "[", 148),
        ('{"cmd":"set_spec","spec":{"signals":[],"x":', '{"":', 544),
        ('{"cmd":"scan","events":{"S":', "[", 154),
    ],
)
def test_nesting_far_past_the_limit(radar, prefix, unit, column):
    expected = error_response("parse: recursion limit exceeded at line 1 column %d" % column)
    for closing in ("", "]" * 100_000):
        assert command(radar, prefix + unit * 100_000 + closing) == expected
    assert command(radar, VERSION) == VERSION_REPLY


# A member the RadarSpec reader ignores nests within the limit like every
# other: 127 levels counting the outermost object, the 128th refused where it
# opens, on the constructor's road as on set_spec's.
@pytest.mark.parametrize(
    "template, outer, unit, closing",
    [
        ('{"signals":[["funding_flip",[1]]],"x":%s}', 1, "[", "]"),
        ('{"x":%s,"signals":[["funding_flip",[1]]]}', 1, '{"a":', "}"),
        ('{"signals":[{"kind":"funding_flip","params":[1],"x":%s}]}', 3, "[", "]"),
    ],
    ids=["array-member", "object-member", "signal-member"],
)
def test_ignored_spec_members_nest_within_the_limit(template, outer, unit, closing):
    def nested(levels):
        return template % (unit * levels + ("1" if unit != "[" else "") + closing * levels)

    deepest = 127 - outer
    assert command(new_radar(nested(deepest)), VERSION) == VERSION_REPLY
    column = template.index("%s") + len(unit) * deepest + 1
    for levels in (deepest + 1, 100_000):  # far past the limit, refused at the same place
        with pytest.raises(ValueError) as info:
            new_radar(nested(levels))
        assert str(info.value) == "parse: recursion limit exceeded at line 1 column %d" % column
    set_spec = '{"cmd":"set_spec","spec":%s}'
    assert command(new_radar(nested(deepest)), set_spec % nested(deepest - 1)) == OK
    assert command(new_radar(nested(deepest)), set_spec % nested(deepest)) == error_response(
        "parse: recursion limit exceeded at line 1 column %d" % (column - len(unit) + 25)
    )


def test_request_of_100_mb_is_answered():
    pair = (
        '{"kind":"derivatives","ts":%d,"open_interest":%d.5,"funding_rate":%s,"mark_price":2},'
        '{"kind":"liquidation","ts":%d,"side":"sell","qty":%d,"price":1}'
    )
    spec = make_spec(FUNDING, sig("oi_delta", 20, 0.05), sig("liq_cluster", 5, 10), threshold=-1)
    block = ",".join(
        pair % (i, 100 + i % 7, ("0.0004", "-0.0006")[i % 2], i, i % 5) for i in range(50)
    )
    batch = '{"cmd":"feed_batch","symbol":"S","events":[%s]}'
    big, small = new_radar(spec), new_radar(spec)
    text = batch % ",".join([block] * (100_000_000 // len(block)))
    assert len(text) > 99_000_000 and command(big, text) == OK
    del text
    # states are bounded by their windows: the last blocks alone give the same state
    assert command(small, batch % ",".join([block] * 3)) == OK
    assert alerts(big).raw == alerts(small).raw and alerts(big)["alerts"][0]["severity"] > 0
    lines = 100_000_000
    assert command(big, "\n" * lines + " " + VERSION + " \r\n\t") == VERSION_REPLY
    assert command(big, "\n" * lines + "  x") == error_response(
        "parse: expected value at line %d column 3" % (lines + 1)
    )


ESCAPES = r"\" \\ \/ \b \f \n \r \t \u0041\u00e9\u00C9\u20AC\ud83d\ude00\uDBFF\uDFFF\u007f"
DECODED = '" \\ / \b \f \n \r \t A\u00e9\u00c9\u20ac\U0001f600\U0010ffff\x7f'


@pytest.mark.parametrize("offset", range(32))
def test_every_escape_round_trips_at_every_offset(radar, offset):
    pad = "\u00e9x/"[offset % 3] * offset  # ASCII, multi-byte and solidus padding
    literal = pad + ESCAPES + "\\u%04X" % offset + pad  # and every control character
    # written back with only quote, backslash and controls escaped (hex in lower case; DEL is no control)
    symbol = json.dumps(pad + DECODED + chr(offset) + pad, ensure_ascii=False)
    assert command(radar, '{"cmd":"scan","events":{"%s":[]}}' % literal) == (
        '{"alerts":[{"symbol":%s,"severity":0.0,"factors":{"funding_flip(0.001)":0.0,"severity":0.0},'
        '"ts":-9223372036854775808}],"scanned":1}' % symbol
    )


def test_nul_inside_symbols_is_part_of_the_text(radar):
    for symbol in ["a\\u0000b", "a", "a\\u0000", "\\u0000"]:  # four stored symbols, not one
        assert command(radar, FEED % ('"%s"' % symbol, 1, 1, 0)) == OK
    assert [a["symbol"] for a in alerts(radar)["alerts"]] == ["\x00", "a", "a\x00", "a\x00b"]


# short hex digits, also after a leading surrogate (other bad escapes are decode vectors)
@pytest.mark.parametrize(
    "literal, message, end",
    [
        (r'"\u12"', "invalid escape", 7),
        (r'"\u12G4"', "invalid escape", 7),
        (r'"\ud800\u12"', "invalid escape", 13),
        ('"\\u00', "EOF while parsing a string", 5),
    ],
)
def test_invalid_escapes(radar, literal, message, end):
    prefix = '{"cmd":"feed","symbol":'
    text = prefix + literal + (',"event":{}}' if literal.endswith('"') else "")
    assert command(radar, text) == error_response(
        "parse: %s at line 1 column %d" % (message, len(prefix) + end)
    )


# read to the nearest double, which the ts type error names and an f64 field takes; None: out of range
LONG_NUMBERS = {
    "1e400": ("1" + "0" * 400, None),
    "-9x5000": ("-" + "9" * 5000, None),
    "1e300": ("1" + "0" * 300, "1e+300"),
    "trailing-zeros": ("0.0004" + "0" * 5000, "0.0004"),
    "exponent": ("4" + "0" * 3000 + "e-3004", "0.0004"),
    "underflow": ("0." + "0" * 4000 + "1", "0.0"),
    "nines": ("0.00039999999999999999999999" + "9" * 3000, "0.0004"),
    "mantissa-exponent": ("1" + "0" * 2000 + "e-2000", "1.0"),
    "-0.0001": ("-0." + "0" * 3000 + "1", "-0.0"),
    "rounds-up": ("123." + "9" * 4000, "124.0"),
}


@pytest.mark.parametrize("case", LONG_NUMBERS)
def test_numbers_with_thousands_of_digits(case):
    literal, named = LONG_NUMBERS[case]
    r = new_radar(make_spec(FUNDING, sig("oi_delta", 1, 1), threshold=-1))
    text = FEED % ('"S"', literal, 1, 0)
    if named is None:  # a syntax error, placed where the reader stopped
        assert command(r, text) == error_response(
            "parse: number out of range at line 1 column %d" % (text.index(literal) + len(literal))
        )
        return
    assert command(r, text) == error_response(
        "parse: invalid type: floating point `%s`, expected i64" % named
    )
    for symbol, value in [("A", literal), ("B", named)]:
        assert command(r, FEED % ('"%s"' % symbol, 1, 1, -0.0006)) == OK
        assert command(r, FEED % ('"%s"' % symbol, 2, value, value)) == OK
    a, b = alerts(r)["alerts"]  # and nothing stored for "S"
    assert dict(a, symbol="B") == b
