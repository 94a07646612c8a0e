"""Reading and validating a RadarSpec on both roads (constructor text and the
"set_spec" value), defaults, array and kind forms, and signal labels."""

import json

import pytest

from conftest import (
    FUNDING, KIND_NAMES, book, ctor_error, derivs, error_response, expect_ok, factors_of,
    feed, make_spec, new_radar, run, scan, sig, alerts,
)

G = '{"kind":"funding_flip","params":[1]}'


def set_spec(spec_value, radar=None):
    """Reply of "set_spec" with `spec_value` (an object, or raw JSON text), on a fresh radar by default."""
    text = spec_value if isinstance(spec_value, str) else json.dumps(spec_value)
    return run(radar if radar is not None else new_radar(make_spec(FUNDING)), '{"cmd":"set_spec","spec":%s}' % text)


# ---------------------------------------------------------------- reading

@pytest.mark.parametrize("text, message, column", [
    # a string holding spec text is not read a second time
    (json.dumps('{"signals":[]}'), 'invalid type: string "{\\"signals\\":[]}", expected struct RadarSpec', 18),
    # member names are case-sensitive
    ('{"Signals":[%s],"limits":0}' % G, "missing field `signals`", 61),
    # an integral float is still not an integer; strings are not numbers
    ('{"signals":[%s],"limit":5.0}' % G, "invalid type: floating point `5.0`, expected usize", 61),
    ('{"signals":[%s],"threshold":"0.5"}' % G, 'invalid type: string "0.5", expected f64', 67),
    ('{"signals":[{"kind":"FUNDING_FLIP","params":[1]}]}',
     "unknown variant `FUNDING_FLIP`, expected one of " + KIND_NAMES, 34),
])
def test_parse_errors_on_both_roads(text, message, column):
    # the text road gives the position, the value road has none to give
    assert ctor_error(text) == "parse: %s at line 1 column %d" % (message, column)
    assert set_spec(text).raw == error_response("parse: " + message)


@pytest.mark.parametrize("text, ctor_message, value_message", [
    ('[[],[],[%s],0,1,2]' % G, "trailing characters at line 1 column 51",
     "invalid length 6, expected fewer elements in array"),
    ('{"signals":[{"kind":{"funding_flip":null,"oi_delta":null},"params":[1]}]}',
     "expected value at line 1 column 40", "invalid value: map, expected map with a single key"),
    # text is read in text order; a value's members are visited in name order
    ('{"threshold":"x","signals":5}', 'invalid type: string "x", expected f64 at line 1 column 16',
     "invalid type: integer `5`, expected a sequence"),
    # a repeated name is an error in text, reported before its value; in a value the later one is read
    ('{"signals":[%s],"threshold":1,"threshold":"x"}' % G,
     "duplicate field `threshold` at line 1 column 75", 'invalid type: string "x", expected f64'),
    ('{"signals":5,"signals":[%s],"threshold":"x","threshold":-1}' % G,
     "invalid type: integer `5`, expected a sequence at line 1 column 12", "ok"),
])
def test_roads_that_differ(text, ctor_message, value_message):
    assert ctor_error(text) == "parse: " + ctor_message
    if value_message == "ok":
        expect_ok(set_spec(text))
    else:
        assert set_spec(text).raw == error_response("parse: " + value_message)


# ---------------------------------------------------------------- validation

@pytest.mark.parametrize("spec, message", [
    (make_spec(limit=0), "at least one signal is required"),
    (make_spec(sig("funding_flip"), limit=0), "limit must be greater than zero"),
    # a missing "params" is an empty list; every kind has its own count
    (make_spec({"kind": "funding_flip"}), "funding_flip takes 1 parameter(s), got 0"),
    (make_spec(sig("oi_delta", 1, 2, 3)), "oi_delta takes 2 parameter(s), got 3"),
    (make_spec(sig("book_imbalance", 1, 2)), "book_imbalance takes 1 parameter(s), got 2"),
    (make_spec(sig("liq_cluster", 5)), "liq_cluster takes 2 parameter(s), got 1"),
    (make_spec(FUNDING, sig("oi_price_divergence", *range(12))), "oi_price_divergence takes 2 parameter(s), got 12"),
    # duplicates compare quantized labels, whatever the weights and whatever lies between
    (make_spec(sig("funding_flip", 0.01), sig("funding_flip", 0.01, weight=2)), "duplicate signal: funding_flip(0.01)"),
    (make_spec(sig("oi_delta", 20, 0.05), FUNDING, sig("oi_delta", 20.000000001, 0.05)),
     "duplicate signal: oi_delta(20,0.05)"),
    # the first failing rule of the first failing signal wins
    (make_spec(sig("funding_flip", 1, weight=-1e-300), sig("oi_delta", 1)),
     "funding_flip weight must be finite and non-negative"),
    (make_spec(sig("oi_delta", 1, weight=-1)), "oi_delta takes 2 parameter(s), got 1"),
    (make_spec(sig("funding_flip", 0.01), sig("funding_flip", 0.01, 5)), "funding_flip takes 1 parameter(s), got 2"),
    (make_spec(sig("funding_flip", 0.01), sig("funding_flip", 0.01, weight=-2)),
     "funding_flip weight must be finite and non-negative"),
])
def test_validation_messages_on_both_roads(spec, message):
    assert ctor_error(json.dumps(spec)) == "bad spec: " + message
    assert set_spec(spec).raw == error_response("bad spec: " + message)


@pytest.mark.parametrize("spec", [
    # labels that differ only just past the quantum, or only in kind, are distinct
    make_spec(sig("oi_delta", 5, 0.1), sig("oi_delta", 6, 0.1), sig("funding_flip", 0.01),
              sig("book_imbalance", 0.01), sig("funding_flip", 0.01000001)),
    make_spec(sig("liq_cluster", 3, 1000, weight=0), sig("oi_delta", -5, 0, weight=-0.0), threshold=-7.5),
    make_spec(sig("funding_flip", 1e-300), limit=1, venues=["x", "x"], symbols=["", "BTC", "BTC"]),
])
def test_valid_specs_accepted_on_both_roads(spec):
    new_radar(spec)
    expect_ok(set_spec(spec))


# ---------------------------------------------------------------- forms and defaults

EVENTS = {"A": derivs(fr=[0.0004, -0.0006]), "B": [book(1, 300, 200)], "C": []}


@pytest.mark.parametrize("spec_text, equivalent", [
    ('[[],[],[{"kind":"funding_flip","params":[0.001]}]]', make_spec(FUNDING)),
    ('[["binance"],["BTC"],[["funding_flip",[0.001],2],["book_imbalance",[0.1]]],-1,2]',
     make_spec(sig("funding_flip", 0.001, weight=2), sig("book_imbalance", 0.1), threshold=-1, limit=2)),
    ('[[],[],[["funding_flip",[0.001]]],-1,null]', make_spec(FUNDING, threshold=-1)),
    ('\r\n {"unknown":{"deep":[1,{"a":null},"s"]},"signals":[{"kind":{"funding_flip":null},"params":[0.001]}],'
     '"limit":null,"limits":1,"threshold":-1} \n\t\r', make_spec(FUNDING, threshold=-1)),
    ('{"threshold":-1,"signals":[{"weight":1,"params":[0.001],"kind":"funding_flip"}],"venues":[],"symbols":[]}',
     make_spec(FUNDING, threshold=-1)),
])
def test_spec_forms_are_equivalent(spec_text, equivalent):
    expected = scan(new_radar(equivalent), EVENTS).raw
    assert scan(new_radar(spec_text), EVENTS).raw == expected
    r = new_radar(make_spec(sig("oi_delta", 1, 1)))
    expect_ok(set_spec(spec_text, r))
    assert scan(r, EVENTS).raw == expected


def test_defaults_and_lists_that_filter_nothing():
    # threshold 0.0 keeps severity 0, no limit keeps all; venues/symbols filter nothing
    for spec in (make_spec(FUNDING), make_spec(FUNDING, symbols=["BTC"], venues=["binance"])):
        r = new_radar(spec)
        rows = scan(r, EVENTS)["alerts"]
        assert [(a["symbol"], a["severity"]) for a in rows] == [("A", 1.0), ("B", 0.0), ("C", 0.0)]
        expect_ok(feed(r, "SOL", derivs(fr=[1])[0]))
        assert alerts(r)["scanned"] == 1


@pytest.mark.parametrize("weights, severity", [
    ((3, None), 0.25),  # the unset weight is 1
    ((0, 0), 0.0),  # all weights zero: severity 0, not a division by zero
])
def test_weights(weights, severity):
    spec = make_spec(sig("funding_flip", 0.001, weight=weights[0]), sig("book_imbalance", 0.5, weight=weights[1]))
    alert = scan(new_radar(dict(spec, threshold=-1)), {"S": [book(1, 300, 100)]})["alerts"][0]
    assert alert["factors"]["book_imbalance(0.5)"] == 1.0
    assert alert["severity"] == alert["factors"]["severity"] == severity


# ---------------------------------------------------------------- labels

@pytest.mark.parametrize("signal, label", [
    (sig("oi_delta", 20.0, 5e-2), "oi_delta(20,0.05)"),
    (sig("funding_flip", 0.7), "funding_flip(0.7000000000000001)"),
    (sig("funding_flip", 1e-8), "funding_flip(0.00000001)"),
    (sig("funding_flip", 1e-9), "funding_flip(0)"),
    (sig("book_imbalance", 123456.123456789), "book_imbalance(123456.12345679)"),
    (sig("book_imbalance", 1e20), "book_imbalance(100000000000000000000)"),
    (sig("book_imbalance", 1e301), "book_imbalance(inf)"),
    (sig("liq_cluster", -20, 2.5), "liq_cluster(-20,2.5)"),
])
def test_signal_labels(signal, label):
    factors = factors_of(make_spec(signal), [])
    assert list(factors) == [label, "severity"]
    assert factors[label] == 0.0


def test_factor_keys_in_byte_order_whatever_the_spec_order():
    spec = make_spec(sig("oi_price_divergence", 2, 0.1), sig("oi_delta", 1, 0.1), sig("liq_cluster", 3, 1000),
                     sig("funding_flip", 0.001), sig("book_imbalance", 0.5), sig("oi_delta", 10, 0.1))
    assert list(factors_of(spec, [])) == [
        "book_imbalance(0.5)", "funding_flip(0.001)", "liq_cluster(3,1000)", "oi_delta(1,0.1)",
        "oi_delta(10,0.1)", "oi_price_divergence(2,0.1)", "severity"]
