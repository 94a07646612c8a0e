"""Reading and validating a RadarSpec on both roads (constructor text and the
"set_spec" value), array and kind forms, and signal labels. Plain type
failures are decode vectors; fuzz/fuzz_spec.cpp checks that both roads read
the same spec wherever the text is also a request value."""

import json

import pytest
from conftest import (
    FUNDING,
    KIND_NAMES,
    alerts,
    book,
    ctor_error,
    deriv,
    derivs,
    error_response,
    expect_ok,
    factors_of,
    feed,
    make_spec,
    new_radar,
    run,
    scan,
    sig,
)

G = '{"kind":"funding_flip","params":[1]}'


def set_spec(spec_value):
    """Reply of "set_spec" with `spec_value` (an object, or raw JSON text) on a fresh radar."""
    text = spec_value if isinstance(spec_value, str) else json.dumps(spec_value)
    return run(new_radar(make_spec(FUNDING)), '{"cmd":"set_spec","spec":%s}' % text)


# (text, constructor's message, set_spec's message or None when it accepts); the text road adds the position
ROADS = [
    # kinds are case-sensitive
    (
        '{"signals":[{"kind":"FUNDING_FLIP","params":[1]}]}',
        "unknown variant `FUNDING_FLIP`, expected one of %s at line 1 column 34" % KIND_NAMES,
        "unknown variant `FUNDING_FLIP`, expected one of " + KIND_NAMES,
    ),
    ("[[],[],[%s],0,1,2]" % G, "trailing characters at line 1 column 51", "invalid length 6, expected fewer elements in array"),
    (
        '{"signals":[{"kind":{"funding_flip":null,"oi_delta":null},"params":[1]}]}',
        "expected value at line 1 column 40",
        "invalid value: map, expected map with a single key",
    ),
    # text is read in text order; a value's members are visited in name order
    ('{"threshold":"x","signals":5}', 'invalid type: string "x", expected f64 at line 1 column 16', "invalid type: integer `5`, expected a sequence"),
    # a repeated name: the text road fails on the first value; in a value only the later one is read
    (
        '{"signals":5,"signals":[%s],"threshold":"x","threshold":-1}' % G,
        "invalid type: integer `5`, expected a sequence at line 1 column 12",
        None,
    ),
]  # fmt: skip


@pytest.mark.parametrize("text, ctor_message, value_message", ROADS)
def test_roads(text, ctor_message, value_message):
    assert ctor_error(text) == "parse: " + ctor_message
    expected = error_response("parse: " + value_message) if value_message else '{"ok":true}'
    assert set_spec(text).raw == expected


@pytest.mark.parametrize(
    "spec, message",
    [
        (make_spec(limit=0), "at least one signal is required"),
        (make_spec(sig("funding_flip"), limit=0), "limit must be greater than zero"),
        # a missing "params" is an empty list; every kind has its own count
        (make_spec({"kind": "funding_flip"}), "funding_flip takes 1 parameter(s), got 0"),
        (make_spec(FUNDING, sig("oi_price_divergence", *range(12))), "oi_price_divergence takes 2 parameter(s), got 12"),
        # duplicates compare quantized labels, whatever the weights and whatever lies between
        (make_spec(sig("funding_flip", 0.01), sig("funding_flip", 0.01, weight=2)), "duplicate signal: funding_flip(0.01)"),
        (make_spec(sig("oi_delta", 20, 0.05), FUNDING, sig("oi_delta", 20.000000001, 0.05)), "duplicate signal: oi_delta(20,0.05)"),
        # the first failing rule of the first failing signal wins
        (make_spec(sig("funding_flip", 1, weight=-1e-300), sig("oi_delta", 1)), "funding_flip weight must be finite and non-negative"),
        (make_spec(sig("oi_delta", 1, weight=-1)), "oi_delta takes 2 parameter(s), got 1"),
        (make_spec(sig("funding_flip", 0.01), sig("funding_flip", 0.01, 5)), "funding_flip takes 1 parameter(s), got 2"),
        (make_spec(sig("funding_flip", 0.01), sig("funding_flip", 0.01, weight=-2)), "funding_flip weight must be finite and non-negative"),
        # accepted: labels that differ just past the quantum or only in kind; zero weights; repeated list entries
        (make_spec(sig("oi_delta", 5, 0.1), sig("oi_delta", 6, 0.1), sig("funding_flip", 0.01),
                   sig("book_imbalance", 0.01), sig("funding_flip", 0.01000001)), None),
        (make_spec(sig("liq_cluster", 3, 1000, weight=0), sig("oi_delta", -5, 0, weight=-0.0), threshold=-7.5), None),
        (make_spec(sig("funding_flip", 1e-300), limit=1, venues=["x", "x"], symbols=["", "BTC", "BTC"]), None),
    ],
)  # fmt: skip
def test_validation_on_both_roads(spec, message):
    if message is None:
        new_radar(spec)
        expect_ok(set_spec(spec))
    else:
        assert ctor_error(json.dumps(spec)) == "bad spec: " + message
        assert set_spec(spec).raw == error_response("bad spec: " + message)


EVENTS = {"A": derivs(fr=[0.0004, -0.0006]), "B": [book(1, 300, 200)], "C": []}


@pytest.mark.parametrize(
    "spec_text, equivalent",
    [
        (
            '[["binance"],["BTC"],[["funding_flip",[0.001],2],["book_imbalance",[0.1]]],-1,2]',
            make_spec(sig("funding_flip", 0.001, weight=2), sig("book_imbalance", 0.1), threshold=-1, limit=2),
        ),
        ('[[],[],[{"kind":"funding_flip","params":[0.001]}],-1,null]', make_spec(FUNDING, threshold=-1)),
        (
            '\r\n {"unknown":{"deep":[1,{"a":null},"s"]},"signals":[{"kind":{"funding_flip":null},"params":[0.001]}],'
            '"limit":null,"limits":1,"threshold":-1} \n\t\r',
            make_spec(FUNDING, threshold=-1),
        ),
        # venues and symbols filter nothing, neither in scans nor in the store
        (
            '{"symbols":["BTC"],"signals":[{"weight":1,"params":[0.001],"kind":"funding_flip"}],"venues":["binance"]}',
            make_spec(FUNDING),
        ),
    ],
)  # fmt: skip
def test_spec_forms_are_equivalent(spec_text, equivalent):
    def answers(r):
        return scan(r, EVENTS).raw, feed(r, "SOL", deriv(1, fr=1)).raw, alerts(r).raw

    assert answers(new_radar(spec_text)) == answers(new_radar(equivalent))


# (signal, its label), in spec order: parameters quantized, written shortest
LABELS = [
    (sig("oi_price_divergence", 2, 0.1), "oi_price_divergence(2,0.1)"),
    (sig("oi_delta", 9, 0.1), "oi_delta(9,0.1)"),
    (sig("liq_cluster", -20, 2.5), "liq_cluster(-20,2.5)"),
    (sig("funding_flip", 0.7), "funding_flip(0.7000000000000001)"),
    (sig("oi_delta", 10, 0.1), "oi_delta(10,0.1)"),
    (sig("funding_flip", 1e-8), "funding_flip(0.00000001)"),
    (sig("book_imbalance", 123456.123456789), "book_imbalance(123456.12345679)"),
    (sig("funding_flip", 1e-9), "funding_flip(0)"),
]


def test_signal_labels_quantized_and_in_byte_order():
    signals, labels = zip(*LABELS)
    expected = [(label, 0.0) for label in sorted(labels)] + [("severity", 0.0)]
    assert list(factors_of(make_spec(*signals), []).items()) == expected
