"""Decoding events (which of several failures is reported, equivalent forms)
and the per-symbol state they build: bounded series, window, timestamps,
symbols. Single type, length and missing-field failures are decode vectors.

Events in "events" are decoded while the request is read; a single event in
"event" from the parsed value, or straight from the text when the feed is
written plainly. fuzz/fuzz_reading.cpp compares these roads with the plain
reading, the failure reported among several lists and elements included;
fuzz/fuzz_commands.cpp compares a feed with a one-event feed_batch."""

import pytest
from conftest import (
    EVENT_KINDS,
    FUNDING,
    I64_MAX,
    alerts,
    book,
    command,
    deriv,
    derivs,
    error_response,
    expect_error,
    expect_ok,
    factors_of,
    feed,
    feed_batch,
    liq,
    make_spec,
    new_radar,
    run,
    scan,
    sig,
)

EVENT = '{"kind":"liquidation","ts":7,"side":"sell","qty":2,"price":1}'
PLAIN = '{"cmd":"feed","symbol":"S","event":%s}' % EVENT
D = {"kind": "derivatives", "ts": 5, "open_interest": 1, "funding_rate": 0, "mark_price": 2}
OB = {"kind": "orderbook", "ts": 1, "bid_volume": 3, "ask_volume": 1, "best_bid": 9, "best_ask": 10}


LIQ_SPEC = make_spec(sig("liq_cluster", 3, 10), threshold=-1)


def with_(event, drop=(), **members):
    return {k: v for k, v in dict(event, **members).items() if k not in drop}


@pytest.mark.parametrize(
    "event, message",
    [
        # type failures, in member-name order (not text order), come before missing fields
        (with_(OB, drop=["ts"], bid_volume="x"), 'invalid type: string "x", expected f64'),
        (with_(D, ts="a", open_interest="b"), 'invalid type: string "b", expected f64'),
        # a bad tag is met during the walk, before any field
        ({"funding_rate": "x", "kind": "nope"}, "unknown variant `nope`, expected one of " + EVENT_KINDS),
    ],
)  # fmt: skip
def test_bad_event_messages(radar, event, message):
    # the same in lists, element by element: fuzz/fuzz_reading.cpp
    expect_error(feed(radar, "S", event), "parse: " + message)


@pytest.mark.parametrize(
    "form_a, form_b",
    [
        (D, {"ts": 5, "mark_price": 2.0, "funding_rate": 0.0, "open_interest": 1.0, "kind": "derivatives"}),
        # members the kind does not use are ignored, whatever their name or type
        (D, with_(D, symbol="ETH", venue="x", side=5, qty="ignored", bid_volume=None)),
        (OB, ["orderbook", 1, 3, 1, -1e300, 0]),
    ],
)  # fmt: skip
def test_equivalent_event_forms(form_a, form_b):
    r = new_radar(make_spec(FUNDING, sig("book_imbalance", 0.5), threshold=-1))
    assert scan(r, {"S": [D, form_a, form_a]}).raw == scan(r, {"S": [D, form_b, form_b]}).raw


def test_repeated_kind_member_last_wins(radar):
    text = (
        '{"cmd":"feed","symbol":"S","event":{"kind":"%s","kind":"%s","ts":1,'
        '"open_interest":1,"funding_rate":0.0004,"mark_price":1}}'
    )
    assert command(radar, text % ("orderbook", "derivatives")) == '{"ok":true}'
    assert (
        command(radar, text % ("derivatives", "orderbook"))
        == '{"error":"parse: missing field `bid_volume`","ok":false}'
    )


# Feeds the text road declines (and repeated members): the general road must
# feed what the plain form feeds.
@pytest.mark.parametrize(
    "text",
    [
        '{"event":%s,"symbol":"S","cmd":"feed"}' % EVENT,
        ' { "cmd" : "feed" ,\n"symbol" : "S" , "event" : %s } ' % EVENT.replace(",", " , "),
        '{"cmd":"fe\\u0065d","symbol":"\\u0053","event":%s}' % EVENT,
        '{"cmd":"feed","symbol":"S","id":[1,{"x":null}],"event":%s}' % EVENT,
        '{"cmd":"feed","symbol":"S","event":{"kind":"liquidation","ts":7,"side":{"sell":null},"qty":2,"price":1,"venue":"x"}}',
        '{"cmd":"feed","symbol":"S","event":["liquidation",7,"sell",2,1]}',
        '{"cmd":"feed","symbol":"S","event":%s,"a":1,"b":2,"c":3,"d":4,"e":5}}' % EVENT[:-1],
    ],
)  # fmt: skip
def test_feed_written_any_way_feeds_the_same(text):
    odd, plain = new_radar(LIQ_SPEC), new_radar(LIQ_SPEC)
    assert command(odd, text) == command(plain, PLAIN) == '{"ok":true}'
    assert alerts(odd).raw == alerts(plain).raw


# A feed read straight from the text is only applied once the whole text is known to be good.
@pytest.mark.parametrize(
    "text, error",
    [
        (PLAIN + " x", "trailing characters at line 1 column 99"),
        (PLAIN[:-1] + ",}", "trailing comma at line 1 column 98"),
        (PLAIN[:-1], "EOF while parsing an object at line 1 column 96"),
    ],
)
def test_plain_feed_with_bad_ending_applies_nothing(radar, text, error):
    assert command(radar, text) == error_response("parse: " + error)
    assert alerts(radar).raw == '{"alerts":[],"scanned":0}'


@pytest.mark.parametrize(
    "signals, events, expected",
    [
        # oi_delta(1, ...) gives the smallest window: old is the entry before the newest
        ([sig("oi_delta", 1, 0.1)], derivs(oi=[7, 1, 3, 9, 4, 100, 105]), {"oi_delta(1,0.1)": 0.5}),
        # a longer window elsewhere does not widen a smaller lookback
        (
            [sig("liq_cluster", 3, 1000), sig("oi_price_divergence", 12.9, 0.1)],
            [liq(i, q) for i, q in enumerate([500, 400, 100, 200, 300])],
            {"liq_cluster(3,1000)": 0.6},
        ),
        (
            [sig("oi_delta", 0.5, 0.1), sig("oi_price_divergence", 1e301, 0.1), sig("oi_delta", 1e30, 0.1)],
            derivs(oi=[1, 2, 4, 8, 16, 32, 64, 128], mp=[64, 32, 16, 8, 4, 2, 1, 0.5]),
            {"oi_delta(0.5,0.1)": 0.0, "oi_delta(1000000000000000000000000000000,0.1)": 0.0,
             "oi_price_divergence(inf,0.1)": 0.0, "severity": 0.0},
        ),
        # values keep arrival order, not timestamp order; duplicates count twice
        ([sig("liq_cluster", 2, 1000)], [liq(200, 100), liq(100, 300), liq(100, 300)], {"liq_cluster(2,1000)": 0.6}),
        # the latest book replaces the volumes; best prices play no part
        (
            [sig("book_imbalance", 0.5)],
            [book(1, 300, 100), book(2, 300, 200, best_bid=1e9, best_ask=-5)],
            {"book_imbalance(0.5)": 0.4},
        ),
    ],
)  # fmt: skip
def test_series_and_window(signals, events, expected):
    factors = factors_of(make_spec(*signals), events)
    assert {k: factors[k] for k in expected} == expected


@pytest.mark.parametrize(
    "lookback, label", [(20, "oi_delta(20,0.1)"), (12.9, "oi_delta(12.9,0.1)")]
)
def test_lookback_needs_k_plus_one_samples(lookback, label):
    k = int(lookback)
    spec = make_spec(sig("oi_delta", lookback, 0.1))
    rising = [100.0] + [101.0] * (k - 1) + [105.0]  # old = 100 sits k samples before the newest
    assert factors_of(spec, derivs(oi=rising))[label] == 0.5
    assert factors_of(spec, derivs(oi=[1.0, 3.0, 2.0] + rising))[label] == 0.5
    assert factors_of(spec, derivs(oi=rising[1:]))[label] == 0.0  # only k samples


def test_set_spec_window_applies_to_new_states(radar):
    spec = make_spec(sig("oi_delta", 50, 0.1), threshold=-1)
    expect_ok(run(radar, {"cmd": "set_spec", "spec": spec}))
    oi = [100.0] + [101.0] * 49 + [105.0]
    expect_ok(feed_batch(radar, "FULL", derivs(oi=oi)))
    for ev in derivs(oi=oi[1:]):  # 50 samples: one short
        expect_ok(feed(radar, "SHORT", ev))
    assert [(a["symbol"], a["factors"]["oi_delta(50,0.1)"]) for a in alerts(radar)["alerts"]] == [
        ("FULL", 0.5),
        ("SHORT", 0.0),
    ]


def test_timestamps_and_symbols(radar):
    # the reported ts is the signed maximum, and symbols are exact texts
    for sym, stamps in [("BTC", [5, I64_MAX, -1]), ("btc", [-7, -3, -9]), ("", [1]), (" BTC", [1])]:
        expect_ok(feed_batch(radar, sym, [deriv(t, fr=0.0004 * (sym == "BTC")) for t in stamps]))
    expect_ok(feed_batch(radar, "BTC ", [book(1, 1, 1)]))
    expect_ok(feed(radar, "BTC", deriv(2, fr=-0.0006)))
    rep = alerts(radar)
    assert rep["scanned"] == 5
    assert [(a["symbol"], a["severity"], a["ts"]) for a in rep["alerts"]] == [
        ("BTC", 1.0, I64_MAX),
        ("", 0.0, 1),
        (" BTC", 0.0, 1),
        ("BTC ", 0.0, 1),
        ("btc", 0.0, -3),
    ]
