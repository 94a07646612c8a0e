"""Reading and validating a RadarSpec on both roads (constructor text and the
"set_spec" value), defaults, array and kind forms, and signal labels."""

import json

import pytest

from conftest import (
    FUNDING, KIND_NAMES, book, ctor_error, derivs, error_response, expect_ok, factors_of,
    feed, make_spec, new_radar, run, scan, sig, alerts,
)

GOOD_SIG = '{"kind":"funding_flip","params":[1]}'


def set_spec(spec_value):
    """Reply of "set_spec" with `spec_value` (an object, or raw JSON text) on a fresh radar."""
    r = new_radar(make_spec(FUNDING))
    if isinstance(spec_value, str):
        return run(r, '{"cmd":"set_spec","spec":%s}' % spec_value)
    return run(r, {"cmd": "set_spec", "spec": spec_value})


def after(text, token, nth=1):
    """' at line 1 column C' with C the byte just after the nth occurrence of token."""
    pos = -1
    for _ in range(nth):
        pos = text.index(token, pos + 1)
    return " at line 1 column %d" % len(text[: pos + len(token)].encode("utf-8"))


# ---------------------------------------------------------------- text road

TEXT_CASES = [
    ("{}", "missing field `signals`", "{}"),
    ("[]", "invalid length 2, expected struct RadarSpec with 5 elements", "[]"),
    ('[["v"],["s"]]', "invalid length 2, expected struct RadarSpec with 5 elements", '["s"]]'),
    ("5", "invalid type: integer `5`, expected struct RadarSpec", "5"),
    ('"x"', 'invalid type: string "x", expected struct RadarSpec', '"x"'),
    ("null", "invalid type: null, expected struct RadarSpec", "null"),
    ('{"Signals":[%s],"limits":0}' % GOOD_SIG, "missing field `signals`", "0}"),
    ('{"signals":[%s],"limit":2.5}' % GOOD_SIG, "invalid type: floating point `2.5`, expected usize", "2.5"),
    ('{"signals":[%s],"limit":5.0}' % GOOD_SIG, "invalid type: floating point `5.0`, expected usize", "5.0"),
    ('{"signals":[%s],"limit":-3}' % GOOD_SIG, "invalid value: integer `-3`, expected usize", "-3"),
    ('{"signals":[%s],"threshold":"0.5"}' % GOOD_SIG, 'invalid type: string "0.5", expected f64', '"0.5"'),
    ('{"signals":[{"kind":"FUNDING_FLIP","params":[1]}]}',
     "unknown variant `FUNDING_FLIP`, expected one of " + KIND_NAMES, '"FUNDING_FLIP"'),
    ('{"signals":[{"kind":"funding-flip","params":[1]}]}',
     "unknown variant `funding-flip`, expected one of " + KIND_NAMES, '"funding-flip"'),
    ('{"signals":[{"kind":{"funding_flip":1},"params":[1]}]}', "invalid type: integer `1`, expected unit", ":1"),
    ('{"signals":[[]]}', "invalid length 0, expected struct Signal with 3 elements", "[[]"),
    ('{"signals":[5]}', "invalid type: integer `5`, expected struct Signal", "[5"),
    ('{"signals":[{"params":[1]}]}', "missing field `kind`", "]}"),
    # the first wrong member in text order is reported
    ('{"threshold":"x","signals":5}', 'invalid type: string "x", expected f64', '"x"'),
]


@pytest.mark.parametrize("text, message, upto", TEXT_CASES)
def test_constructor_parse_errors_with_position(text, message, upto):
    assert ctor_error(text) == "parse: " + message + after(text, upto)


def test_constructor_position_counts_lines():
    assert ctor_error(" {\n}") == "parse: missing field `signals` at line 2 column 1"
    assert ctor_error("\n\n") == "parse: EOF while parsing a value at line 3 column 0"
    assert ctor_error("") == "parse: EOF while parsing a value at line 1 column 0"


def test_constructor_duplicate_member_reported_before_its_value():
    text = '{"signals":[%s],"threshold":1,"threshold":[' % GOOD_SIG
    assert ctor_error(text) == "parse: duplicate field `threshold`" + after(text, '"threshold"', 2)
    text = '{"signals":[{"kind":"oi_delta","params":[1,2],"params":"x"}]}'
    assert ctor_error(text) == "parse: duplicate field `params`" + after(text, '"params"', 2)


@pytest.mark.parametrize("text", [
    '{"signals":[%s]} x' % GOOD_SIG,
    '{"signals":[%s]}{}' % GOOD_SIG,
    '[[],[],[%s],0,1,2]' % GOOD_SIG,
    '{"signals":[["funding_flip",[1],1,5]]}',
])
def test_constructor_trailing_characters(text):
    assert ctor_error(text).startswith("parse: trailing characters at line 1 column ")


@pytest.mark.parametrize("text", [
    '{"signals":[%s]} \n\t\r' % GOOD_SIG,
    '\r\n {"unknown":{"deep":[1,{"a":null},"s"]},"signals":[%s]}' % GOOD_SIG,
])
def test_constructor_accepts_whitespace_and_unknown_members(text):
    new_radar(text)


# ---------------------------------------------------------------- value road

@pytest.mark.parametrize("spec_text, message", [
    ("{}", "missing field `signals`"),
    ("[]", "invalid length 2, expected struct RadarSpec with 5 elements"),
    ("[[],[]]", "invalid length 2, expected struct RadarSpec with 5 elements"),
    ('[[],[],[%s],0,1,2]' % GOOD_SIG, "invalid length 6, expected fewer elements in array"),
    ('{"signals":[["funding_flip",[1],1,5]]}', "invalid length 4, expected fewer elements in array"),
    ('{"signals":[%s],"limit":2.5}' % GOOD_SIG, "invalid type: floating point `2.5`, expected usize"),
    ('{"signals":[%s],"limit":5.0}' % GOOD_SIG, "invalid type: floating point `5.0`, expected usize"),
    ('{"signals":[%s],"limit":-3}' % GOOD_SIG, "invalid value: integer `-3`, expected usize"),
    ('{"signals":[%s],"threshold":"0.5"}' % GOOD_SIG, 'invalid type: string "0.5", expected f64'),
    ('{"signals":[%s],"venues":null}' % GOOD_SIG, "invalid type: null, expected a sequence"),
    ('{"signals":[%s],"venues":["a",null]}' % GOOD_SIG, "invalid type: null, expected a string"),
    ('{"signals":[%s],"symbols":[1]}' % GOOD_SIG, "invalid type: integer `1`, expected a string"),
    ('{"signals":{}}', "invalid type: map, expected a sequence"),
    ('{"signals":[{"kind":"oi_delta","params":null}]}', "invalid type: null, expected a sequence"),
    ('{"signals":[{"kind":"oi_delta","params":[1,"a"]}]}', 'invalid type: string "a", expected f64'),
    ('{"signals":[{"kind":"oi_delta","params":[1,2],"weight":true}]}', "invalid type: boolean `true`, expected f64"),
    ('{"signals":[{"kind":{},"params":[1]}]}', "invalid value: map, expected map with a single key"),
    ('{"signals":[{"kind":{"funding_flip":null,"oi_delta":null},"params":[1]}]}',
     "invalid value: map, expected map with a single key"),
    ('{"signals":[{"kind":5,"params":[1]}]}', "invalid type: integer `5`, expected string or map"),
    ('{"signals":[{"kind":{"funding_flip":1},"params":[1]}]}', "invalid type: integer `1`, expected unit"),
    ('{"signals":[{"kind":{"nope":null},"params":[1]}]}', "unknown variant `nope`, expected one of " + KIND_NAMES),
    ('{"signals":[{"kind":"Oi_Delta","params":[1,2]}]}', "unknown variant `Oi_Delta`, expected one of " + KIND_NAMES),
    ('{"signals":[{"params":[1]}]}', "missing field `kind`"),
    ('{"signals":[[]]}', "invalid length 0, expected struct Signal with 3 elements"),
    ('{"Signals":[%s],"limits":0}' % GOOD_SIG, "missing field `signals`"),
    # members are visited in name order: "signals" sorts before "threshold"
    ('{"threshold":"x","signals":5}', "invalid type: integer `5`, expected a sequence"),
    # repeated names: the later value is the one read, so no duplicate error
    ('{"signals":5,"signals":[%s],"threshold":1,"threshold":"x"}' % GOOD_SIG, 'invalid type: string "x", expected f64'),
])
def test_set_spec_parse_errors_without_position(spec_text, message):
    assert set_spec(spec_text).raw == error_response("parse: " + message)


def test_set_spec_duplicate_member_is_not_an_error():
    expect_ok(set_spec('{"signals":[%s],"threshold":"x","threshold":-1}' % GOOD_SIG))


def test_set_spec_string_holding_spec_text_is_not_reparsed():
    reply = set_spec(json.dumps(json.dumps(make_spec(FUNDING))))
    assert reply["error"].startswith("parse: invalid type: string ")
    assert reply["error"].endswith(", expected struct RadarSpec")


# ---------------------------------------------------------------- validation

VALIDATION_CASES = [
    (make_spec(), "at least one signal is required"),
    (make_spec(limit=0), "at least one signal is required"),
    (make_spec(FUNDING, limit=0), "limit must be greater than zero"),
    (make_spec(sig("funding_flip"), limit=0), "limit must be greater than zero"),
    (make_spec(sig("funding_flip")), "funding_flip takes 1 parameter(s), got 0"),
    (make_spec({"kind": "funding_flip"}), "funding_flip takes 1 parameter(s), got 0"),
    (make_spec(sig("oi_delta", 1, 2, 3)), "oi_delta takes 2 parameter(s), got 3"),
    (make_spec(sig("book_imbalance", 1, 2)), "book_imbalance takes 1 parameter(s), got 2"),
    (make_spec(sig("liq_cluster", 5)), "liq_cluster takes 2 parameter(s), got 1"),
    (make_spec(FUNDING, sig("oi_price_divergence", *range(12))), "oi_price_divergence takes 2 parameter(s), got 12"),
    (make_spec(sig("liq_cluster", 3, 1000, weight=-1)), "liq_cluster weight must be finite and non-negative"),
    (make_spec(sig("oi_delta", 3, 1, weight=-1e-300)), "oi_delta weight must be finite and non-negative"),
    (make_spec(sig("funding_flip", 0.01), sig("funding_flip", 0.01, weight=2)), "duplicate signal: funding_flip(0.01)"),
    (make_spec(sig("funding_flip", 0.01), sig("funding_flip", 0.010000001)), "duplicate signal: funding_flip(0.01)"),
    (make_spec(sig("funding_flip", 0.7), sig("funding_flip", 0.7000000000000001)),
     "duplicate signal: funding_flip(0.7000000000000001)"),
    (make_spec(sig("oi_delta", 20, 0.05), FUNDING, sig("oi_delta", 20.000000001, 0.05)),
     "duplicate signal: oi_delta(20,0.05)"),
    # the first failing rule of the first failing signal wins
    (make_spec(sig("funding_flip", 1, weight=-1), sig("oi_delta", 1)), "funding_flip weight must be finite and non-negative"),
    (make_spec(sig("oi_delta", 1, weight=-1)), "oi_delta takes 2 parameter(s), got 1"),
    (make_spec(sig("funding_flip", 0.01), sig("funding_flip", 0.01, 5)), "funding_flip takes 1 parameter(s), got 2"),
    (make_spec(sig("funding_flip", 0.01), sig("funding_flip", 0.01, weight=-2)), "funding_flip weight must be finite and non-negative"),
]


@pytest.mark.parametrize("spec, message", VALIDATION_CASES)
def test_validation_messages_on_both_roads(spec, message):
    assert ctor_error(json.dumps(spec)) == "bad spec: " + message
    assert set_spec(spec).raw == error_response("bad spec: " + message)


@pytest.mark.parametrize("spec", [
    make_spec(sig("oi_delta", 5, 0.1), sig("oi_delta", 6, 0.1)),
    make_spec(sig("funding_flip", 0.01), sig("book_imbalance", 0.01)),
    make_spec(sig("funding_flip", 0.01), sig("funding_flip", 0.01000001)),
    make_spec(sig("liq_cluster", 3, 1000, weight=0)),
    make_spec(sig("liq_cluster", 3, 1000, weight=0), sig("funding_flip", 1, weight=0)),
    make_spec(sig("oi_delta", -5, 0, weight=-0.0), threshold=-7.5),
    make_spec(sig("funding_flip", 1e-300), limit=1, venues=["x", "x"], symbols=["", "BTC", "BTC"]),
])
def test_valid_specs_accepted_on_both_roads(spec):
    new_radar(spec)
    expect_ok(set_spec(spec))


# ---------------------------------------------------------------- forms and defaults

def _reports_equal(spec_a, spec_b, events):
    a, b = new_radar(spec_a), new_radar(spec_b)
    ra, rb = scan(a, events), scan(b, events)
    assert ra.raw == rb.raw
    # the value road gives the same spec as the text road
    c = new_radar(make_spec(sig("oi_delta", 1, 1)))
    expect_ok(run(c, '{"cmd":"set_spec","spec":%s}' % (spec_b if isinstance(spec_b, str) else json.dumps(spec_b))))
    assert scan(c, events).raw == ra.raw
    return ra


EVENTS = {"A": derivs(fr=[0.0004, -0.0006]), "B": [book(1, 300, 200)], "C": []}


@pytest.mark.parametrize("spec_text, equivalent", [
    ('[[],[],[%s]]' % '{"kind":"funding_flip","params":[0.001]}', make_spec(FUNDING)),
    ('[["binance"],["BTC"],[["funding_flip",[0.001]]],-1]', make_spec(FUNDING, threshold=-1)),
    ('[[],[],[["funding_flip",[0.001],2]],-1,2]', make_spec(sig("funding_flip", 0.001, weight=2), threshold=-1, limit=2)),
    ('[[],[],[["funding_flip",[0.001]]],-1,null]', make_spec(FUNDING, threshold=-1)),
    ('{"signals":[{"kind":{"funding_flip":null},"params":[0.001]}],"threshold":-1}', make_spec(FUNDING, threshold=-1)),
    ('{"signals":[{"kind":"funding_flip","params":[0.001]}],"limit":null,"limits":1,"threshold":-1}',
     make_spec(FUNDING, threshold=-1)),
    ('{"threshold":-1,"signals":[{"weight":1,"params":[0.001],"kind":"funding_flip"}],"venues":[],"symbols":[]}',
     make_spec(FUNDING, threshold=-1)),
])
def test_spec_forms_are_equivalent(spec_text, equivalent):
    _reports_equal(spec_text, equivalent, EVENTS)


def test_minimal_spec_defaults():
    rep = _reports_equal(make_spec(FUNDING), '{"signals":[{"kind":"funding_flip","params":[0.001]}]}', EVENTS)
    # threshold 0.0 keeps severity 0; no limit keeps all three; venues/symbols filter nothing
    assert [(a["symbol"], a["severity"]) for a in rep["alerts"]] == [("A", 1.0), ("B", 0.0), ("C", 0.0)]


def test_symbols_list_does_not_filter():
    r = new_radar(make_spec(FUNDING, symbols=["BTC"], venues=["binance"]))
    assert [a["symbol"] for a in scan(r, {"ETH": []})["alerts"]] == ["ETH"]
    expect_ok(feed(r, "SOL", derivs(fr=[1])[0]))
    assert alerts(r)["scanned"] == 1


def test_default_weight_is_one():
    spec = make_spec(sig("funding_flip", 0.001, weight=3), sig("book_imbalance", 0.5), threshold=-1)
    rep = scan(new_radar(spec), {"S": [book(1, 300, 100)]})
    assert rep["alerts"][0]["severity"] == 0.25


def test_zero_weights_give_zero_severity():
    spec = make_spec(sig("funding_flip", 0.001, weight=0), sig("book_imbalance", 0.5, weight=0), threshold=-1)
    rep = scan(new_radar(spec), {"S": derivs(fr=[0.0004, -0.0006]) + [book(3, 300, 100)]})
    assert rep.raw == ('{"alerts":[{"symbol":"S","severity":0.0,"factors":{"book_imbalance(0.5)":1.0,'
                       '"funding_flip(0.001)":1.0,"severity":0.0},"ts":3}],"scanned":1}')


# ---------------------------------------------------------------- labels

@pytest.mark.parametrize("signal, label", [
    (sig("oi_delta", 20, 0.05), "oi_delta(20,0.05)"),
    (sig("oi_delta", 20.0, 5e-2), "oi_delta(20,0.05)"),
    (sig("funding_flip", 0.7), "funding_flip(0.7000000000000001)"),
    (sig("funding_flip", 0.70000001), "funding_flip(0.70000001)"),
    (sig("funding_flip", 0.0005), "funding_flip(0.0005)"),
    (sig("funding_flip", 1e-8), "funding_flip(0.00000001)"),
    (sig("funding_flip", 1.5e-7), "funding_flip(0.00000015)"),
    (sig("funding_flip", 1e-9), "funding_flip(0)"),
    (sig("funding_flip", 0.010000001), "funding_flip(0.01)"),
    (sig("book_imbalance", 123456.123456789), "book_imbalance(123456.12345679)"),
    (sig("book_imbalance", 1e20), "book_imbalance(100000000000000000000)"),
    (sig("book_imbalance", 1e301), "book_imbalance(inf)"),
    (sig("book_imbalance", -0.5), "book_imbalance(-0.5)"),
    (sig("liq_cluster", 3, 1000), "liq_cluster(3,1000)"),
    (sig("liq_cluster", -20, 2.5), "liq_cluster(-20,2.5)"),
    (sig("oi_price_divergence", 12.9, 0.1), "oi_price_divergence(12.9,0.1)"),
    (sig("oi_delta", 1e301, 0.1), "oi_delta(inf,0.1)"),
])
def test_signal_labels(signal, label):
    factors = factors_of(make_spec(signal), [])
    assert list(factors) == [label, "severity"]
    assert factors[label] == 0.0


def test_factor_keys_in_byte_order_whatever_the_spec_order():
    spec = make_spec(sig("oi_price_divergence", 2, 0.1), sig("oi_delta", 1, 0.1), sig("liq_cluster", 3, 1000),
                     sig("funding_flip", 0.001), sig("book_imbalance", 0.5), sig("oi_delta", 10, 0.1))
    keys = list(factors_of(spec, []))
    assert keys == ["book_imbalance(0.5)", "funding_flip(0.001)", "liq_cluster(3,1000)", "oi_delta(1,0.1)",
                    "oi_delta(10,0.1)", "oi_price_divergence(2,0.1)", "severity"]
