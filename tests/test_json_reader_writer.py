"""Reading JSON numbers and strings, and writing doubles and texts in reports,
observed through the radar's behaviour."""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import (
    I64_MAX, I64_MIN, alerts, book, command, ctor_error, deriv, derivs,
    error_response, expect_ok, feed, make_spec, new_radar, run, scan, sig,
)

DERIV_TAIL = '"open_interest":1,"funding_rate":0,"mark_price":2'


def feed_text(ts_literal):
    return '{"cmd":"feed","symbol":"S","event":{"kind":"derivatives","ts":%s,%s}}' % (ts_literal, DERIV_TAIL)


# ---------------------------------------------------------------- number kinds

@pytest.mark.parametrize("literal, message", [
    ("5.0", "invalid type: floating point `5.0`, expected i64"),
    ("1e3", "invalid type: floating point `1000.0`, expected i64"),
    ("-0", "invalid type: floating point `-0.0`, expected i64"),
    ("-0.0", "invalid type: floating point `-0.0`, expected i64"),
    ("2.5", "invalid type: floating point `2.5`, expected i64"),
    ("9223372036854775808", "invalid value: integer `9223372036854775808`, expected i64"),
    ("18446744073709551615", "invalid value: integer `18446744073709551615`, expected i64"),
    ('"5"', 'invalid type: string "5", expected i64'),
    ("true", "invalid type: boolean `true`, expected i64"),
    ("null", "invalid type: null, expected i64"),
])
def test_ts_number_kinds_rejected(radar, literal, message):
    assert command(radar, feed_text(literal)) == error_response("parse: " + message)
    assert alerts(radar)["scanned"] == 0


@pytest.mark.parametrize("literal", ["18446744073709551616", "-9223372036854775809", "1e19"])
def test_integers_outside_both_ranges_are_floating_point(radar, literal):
    reply = json.loads(command(radar, feed_text(literal)))
    assert reply["ok"] is False
    assert reply["error"].startswith("parse: invalid type: floating point `")
    assert reply["error"].endswith("`, expected i64")


@pytest.mark.parametrize("literal, ts", [
    ("0", 0), ("-5", -5), ("9223372036854775807", I64_MAX), ("-9223372036854775808", I64_MIN),
])
def test_ts_integers_accepted(radar, literal, ts):
    assert command(radar, feed_text(literal)) == '{"ok":true}'
    assert alerts(radar)["alerts"][0]["ts"] == ts
    assert ('"ts":%s}' % literal) in alerts(radar).raw


def test_integer_and_fraction_doubles_are_equivalent(radar):
    as_ints = '[{"kind":"orderbook","ts":1,"bid_volume":300,"ask_volume":100,"best_bid":-7,"best_ask":18446744073709551616}]'
    as_floats = '[{"kind":"orderbook","ts":1,"bid_volume":3e2,"ask_volume":100.0,"best_bid":-7.0,"best_ask":1.5}]'
    r = new_radar(make_spec(sig("book_imbalance", 0.5), threshold=-1))
    a = command(r, '{"cmd":"scan","events":{"S":%s}}' % as_ints)
    b = command(r, '{"cmd":"scan","events":{"S":%s}}' % as_floats)
    assert a == b
    assert '"book_imbalance(0.5)":1.0' in a


@pytest.mark.parametrize("literal", ["18446744073709551615", "null"])
def test_limit_edges_accepted(literal):
    r = new_radar('{"signals":[{"kind":"funding_flip","params":[0.001]}],"threshold":-1,"limit":%s}' % literal)
    rep = scan(r, {"A": [], "B": [], "C": []})
    assert [a["symbol"] for a in rep["alerts"]] == ["A", "B", "C"]


def test_limit_beyond_u64_is_floating_point(radar):
    reply = run(radar, '{"cmd":"set_spec","spec":{"signals":[{"kind":"funding_flip","params":[1]}],"limit":18446744073709551616}}')
    assert reply["error"].startswith("parse: invalid type: floating point `")
    assert reply["error"].endswith("`, expected usize")


@pytest.mark.parametrize("text, column", [
    ('{"cmd":"version","x":1e999}', 26),
    ('{"cmd":"version","x":-1e999}', 27),
    ('{"cmd":"feed","symbol":"S","event":{"kind":"derivatives","ts":1,"open_interest":2e308,'
     '"funding_rate":0,"mark_price":1}}', 85),
])
def test_number_out_of_range_in_request(radar, text, column):
    assert command(radar, text) == error_response("parse: number out of range at line 1 column %d" % column)
    assert alerts(radar)["scanned"] == 0


def test_number_out_of_range_in_spec_text():
    assert ctor_error('{"signals":[],"threshold":1e999}') == "parse: number out of range at line 1 column 31"
    assert ctor_error('{"signals":[{"kind":"funding_flip",\n"params":[1e400]}]}') == \
        "parse: number out of range at line 2 column 15"


@settings(max_examples=400, deadline=None)
@given(st.from_regex(r"-?(0|[1-9][0-9]{0,21})(\.[0-9]{1,21})?([eE][-+]?[0-9]{1,2})?", fullmatch=True))
def test_decimal_literals_read_to_the_nearest_double(literal):
    # Read as ts, followed by more members: the error names the double read.
    reply = run(new_radar(make_spec(sig("funding_flip", 0.001))), feed_text(literal))
    if reply.get("ok"):  # an integer that fits i64
        assert not any(c in literal for c in ".eE")
        return
    named = reply["error"].split("`")[1]
    expected = float(literal)
    if named.isdigit():  # integers beyond i64 but within u64 stay integers
        assert int(named) == int(literal)
    else:
        assert float(named).hex() == expected.hex()


@pytest.mark.parametrize("literal", ["1E-3", "1e-3", "0.001", "1.0e-3", "0.01e-1", "100e-5"])
def test_number_spellings_give_same_double(literal):
    r = new_radar('{"signals":[{"kind":"funding_flip","params":[%s]}],"threshold":-1}' % literal)
    rep = scan(r, {"S": derivs(fr=[0.0004, -0.0006])})
    assert '"funding_flip(0.001)":1.0' in rep.raw


# ---------------------------------------------------------------- strings

@pytest.mark.parametrize("symbol_json, written", [
    ('"\\ud83d\\ude00"', "😀"),
    ('"😀"', "😀"),
    ('"\\u00e9t\\u00C9"', "étÉ"),
    ('"a\\/b"', "a/b"),
    ('"\\"\\\\"', '\\"\\\\'),
    ('"\\b\\f\\n\\r\\t"', "\\b\\f\\n\\r\\t"),
    ('"\\u0000\\u001F\\u007f"', "\\u0000\\u001f\x7f"),
    ('""', ""),
])
def test_symbol_text_round_trip(radar, symbol_json, written):
    raw = command(radar, '{"cmd":"scan","events":{%s:[]}}' % symbol_json)
    assert raw == ('{"alerts":[{"symbol":"%s","severity":0.0,"factors":{"funding_flip(0.001)":0.0,'
                   '"severity":0.0},"ts":-9223372036854775808}],"scanned":1}' % written)
    # the same text fed as a stored symbol comes back identically
    assert command(radar, '{"cmd":"feed","symbol":%s,"event":%s}' % (symbol_json, json.dumps(deriv(I64_MIN)))) == '{"ok":true}'
    assert command(radar, '{"cmd":"alerts"}') == raw


def test_symbols_ordered_by_utf8_bytes(radar):
    # U+FF5E sorts before U+1F600 in UTF-8 (and in code points), after it in UTF-16
    symbols = ["😀", "\uff5e", "é", "z", "Z", "", "BTC-PERP", "BTC", "btc"]
    rep = scan(radar, {s: [] for s in symbols})
    assert [a["symbol"] for a in rep["alerts"]] == sorted(symbols, key=lambda s: s.encode("utf-8"))
    assert [a["symbol"] for a in rep["alerts"]] == ["", "BTC", "BTC-PERP", "Z", "btc", "z", "é", "\uff5e", "😀"]


# ---------------------------------------------------------------- doubles in reports

@pytest.mark.parametrize("scale, funding, written", [
    (0.001, [0.0004, -0.0006], "1.0"),      # raw 1.2 clamps to 1
    (0.001, [0.0004], "0.0"),               # one sample
    (0.001, [0.0004, 0.0005], "0.5"),
    (5, [0.0004, 0.0005], "0.0001"),
    (50, [0.0004, 0.0005], "0.00001"),
    (50000, [0.0004, 0.0005], "1e-8"),
    (100000, [0.0004, 0.0005], "1e-8"),     # 5e-9 is half a step: rounds away from zero
    (500000, [0.0004, 0.0005], "0.0"),      # 1e-9 rounds to 0
    (10000000, [1.0, 1.5], "1.5e-7"),
])
def test_factor_and_severity_forms(scale, funding, written):
    label = "funding_flip(%s)" % ("0.001" if scale == 0.001 else str(scale))
    r = new_radar(make_spec(sig("funding_flip", scale), threshold=-1))
    rep = scan(r, {"S": derivs(fr=funding)})
    assert rep.raw == ('{"alerts":[{"symbol":"S","severity":%s,"factors":{"%s":%s,"severity":%s},"ts":%d}],'
                       '"scanned":1}' % (written, label, written, written, len(funding)))


def test_two_thirds_severity_written_rounded():
    spec = make_spec(sig("funding_flip", 0.001, weight=2), sig("book_imbalance", 0.5, weight=1), threshold=-1)
    rep = scan(new_radar(spec), {"S": derivs(fr=[0.0004, 0.0005]) + [book(3, 300, 100)]})
    assert rep.raw == ('{"alerts":[{"symbol":"S","severity":0.66666667,"factors":{"book_imbalance(0.5)":1.0,'
                       '"funding_flip(0.001)":0.5,"severity":0.66666667},"ts":3}],"scanned":1}')


def _both_factors_one():
    return derivs(fr=[0.0004, -0.0006]) + [book(3, 300, 100)]


def test_nan_severity_never_passes():
    # weights whose sum overflows: an infinite weighted sum over an infinite weight sum
    spec = make_spec(sig("funding_flip", 0.001, weight=1e308), sig("book_imbalance", 0.5, weight=1e308), threshold=-1)
    r = new_radar(spec)
    assert scan(r, {"S": _both_factors_one()}).raw == '{"alerts":[],"scanned":1}'
    for ev in _both_factors_one():
        expect_ok(feed(r, "S", ev))
    assert alerts(r).raw == '{"alerts":[],"scanned":1}'
    # with one factor 0 the weighted sum stays finite: severity 0 passes
    rep = scan(r, {"S": derivs(fr=[0.0004, -0.0006])})
    assert rep.raw == ('{"alerts":[{"symbol":"S","severity":0.0,"factors":{"book_imbalance(0.5)":0.0,'
                       '"funding_flip(0.001)":1.0,"severity":0.0},"ts":2}],"scanned":1}')


def test_huge_equal_weights_without_overflow():
    spec = make_spec(sig("funding_flip", 0.001, weight=1e307), sig("book_imbalance", 0.5, weight=1e307), threshold=1)
    rep = scan(new_radar(spec), {"S": _both_factors_one()})
    assert rep["alerts"][0]["severity"] == 1.0
