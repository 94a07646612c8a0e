"""Decoding events (object and array forms, the rules behind the failure
messages) and the per-symbol state they build: bounded series, window,
timestamps, symbols."""

import pytest

from conftest import (
    EVENT_KINDS, FUNDING, I64_MAX, I64_MIN, alerts, book, command, deriv, derivs, expect_error,
    expect_ok, factors_of, feed, feed_batch, liq, make_spec, new_radar, run, scan, sig,
)

D = {"kind": "derivatives", "ts": 5, "open_interest": 1, "funding_rate": 0, "mark_price": 2}
OB = {"kind": "orderbook", "ts": 1, "bid_volume": 3, "ask_volume": 1, "best_bid": 9, "best_ask": 10}
LQ = {"kind": "liquidation", "ts": 1, "side": "sell", "qty": 2.5, "price": 42900}
UNKNOWN = "unknown variant `%s`, expected one of " + EVENT_KINDS
SIDE = "unknown variant `%s`, expected `buy` or `sell`"


def without(event, *names):
    return {k: v for k, v in event.items() if k not in names}


def with_(event, **members):
    return dict(event, **members)


# decode_errors.jsonl holds plain type and length failures; these are the rules of which failure is reported
@pytest.mark.parametrize("event, message", [
    (with_(D, ts=5.0), "invalid type: floating point `5.0`, expected i64"),
    (with_(D, ts=9223372036854775808), "invalid value: integer `9223372036854775808`, expected i64"),
    (with_(D, kind="Derivatives"), UNKNOWN % "Derivatives"), (["Orderbook", 1, 2, 3, 4, 5], UNKNOWN % "Orderbook"),
    (without(D, "kind"), "missing field `kind`"), ([], "missing field `kind`"),
    ({"kind": 7}, "invalid type: integer `7`, expected variant identifier"),
    # missing fields are named in declaration order
    ({"kind": "derivatives"}, "missing field `ts`"),
    (without(D, "funding_rate", "mark_price"), "missing field `funding_rate`"),
    (without(OB, "best_bid", "best_ask"), "missing field `best_bid`"),
    (without(LQ, "side", "price"), "missing field `side`"),
    # type failures (in member-name order) come before missing fields
    (without(with_(OB, bid_volume="x"), "ts"), 'invalid type: string "x", expected f64'),
    (with_(D, ts="a", open_interest="b"), 'invalid type: string "b", expected f64'),
    (with_(D, ts="a", mark_price=None, funding_rate=True), "invalid type: boolean `true`, expected f64"),
    # a bad tag is met during the walk, before any field
    ({"funding_rate": "x", "kind": "nope"}, UNKNOWN % "nope"),
    (with_(LQ, side="SELL"), SIDE % "SELL"), (["liquidation", 1, "short", 1, 2], SIDE % "short"),
    (with_(LQ, side=1), "invalid type: integer `1`, expected string or map"),
    (with_(LQ, side={"buy": 1}), "invalid type: integer `1`, expected unit"),
    (with_(LQ, side={}), "invalid value: map, expected map with a single key"),
    (with_(LQ, side={"buy": None, "sell": None}), "invalid value: map, expected map with a single key"),
    ("derivatives", 'invalid type: string "derivatives", expected internally tagged enum Event'),
    # array forms count the elements after the tag
    (["orderbook", 1, 2, 3], "invalid length 3, expected struct variant Event::Orderbook with 5 elements"),
    (["liquidation", 1, "buy", 1, 2, 3], "invalid length 5, expected 4 elements in sequence"),
    (["derivatives", 1.0, 1, 2, 3], "invalid type: floating point `1.0`, expected i64"),
])
def test_bad_event_messages(radar, event, message):
    expect_error(feed(radar, "S", event), "parse: " + message)
    events = [D, event, with_(D, kind="x")]  # in a list, the first failing element is the one reported
    expect_error(feed_batch(radar, "S", events), "parse: " + message)
    expect_error(scan(radar, {"A": [D], "S": events}), "parse: " + message)


@pytest.mark.parametrize("form_a, form_b", [
    (D, {"ts": 5, "mark_price": 2.0, "funding_rate": 0.0, "open_interest": 1.0, "kind": "derivatives"}),
    (D, ["derivatives", 5, 1, 0, 2]),
    (D, with_(D, symbol="ETH", venue="x", side=5, qty="ignored", bid_volume=None)),
    (OB, ["orderbook", 1, 3, 1, -1e300, 0]),
    (LQ, ["liquidation", 1, "sell", 2.5, 42900]),
    (LQ, with_(LQ, side={"sell": {}}, price=-1)),
    (with_(LQ, side="buy"), with_(LQ, side={"buy": None})),
])
def test_equivalent_event_forms(form_a, form_b):
    r = new_radar(make_spec(FUNDING, sig("book_imbalance", 0.5), sig("liq_cluster", 3, 10), threshold=-1))
    assert scan(r, {"S": [D, form_a, form_a]}).raw == scan(r, {"S": [D, form_b, form_b]}).raw


def test_repeated_kind_member_last_wins(radar):
    text = ('{"cmd":"feed","symbol":"S","event":{"kind":"%s","kind":"%s","ts":1,'
            '"open_interest":1,"funding_rate":0.0004,"mark_price":1}}')
    assert command(radar, text % ("orderbook", "derivatives")) == '{"ok":true}'
    assert command(radar, text % ("derivatives", "orderbook")) == \
        '{"error":"parse: missing field `bid_volume`","ok":false}'


ALL = [FUNDING, sig("book_imbalance", 0.5), sig("liq_cluster", 3, 1000), sig("oi_delta", 1, 0.1),
       sig("oi_price_divergence", 1, 0.1)]
EMPTY = {"book_imbalance(0.5)": 0.0, "funding_flip(0.001)": 0.0, "liq_cluster(3,1000)": 0.0,
         "oi_delta(1,0.1)": 0.0, "oi_price_divergence(1,0.1)": 0.0}


@pytest.mark.parametrize("signals, events, expected", [
    # oi_delta(1, ...) gives the smallest window: old is the entry before the newest
    ([sig("oi_delta", 1, 0.1)], derivs(oi=[100, 200, 210]), {"oi_delta(1,0.1)": 0.5}),
    ([sig("oi_delta", 1, 0.1)], derivs(oi=[7, 1, 3, 9, 4, 100, 105]), {"oi_delta(1,0.1)": 0.5}),
    ([FUNDING], derivs(fr=[0.0009, -0.0009, 0.0004, -0.0006, -0.0005]), {"funding_flip(0.001)": 0.5}),
    # a longer window elsewhere does not widen a smaller lookback
    ([sig("liq_cluster", 3, 1000), sig("oi_price_divergence", 12.9, 0.1)],
     [liq(i, q) for i, q in enumerate([500, 400, 100, 200, 300])], {"liq_cluster(3,1000)": 0.6}),
    ([sig("oi_delta", 1, 0.1), sig("oi_delta", 4, 1)], derivs(oi=[50, 60, 70, 100, 105]),
     {"oi_delta(1,0.1)": 0.5, "oi_delta(4,1)": 1.0}),                         # (105 - 50) / 50 = 1.1 clamps
    ([sig("oi_delta", 0.5, 0.1), sig("oi_price_divergence", 1e301, 0.1), sig("oi_delta", 1e30, 0.1)],
     derivs(oi=[1, 2, 4, 8, 16, 32, 64, 128], mp=[64, 32, 16, 8, 4, 2, 1, 0.5]),
     {"oi_delta(0.5,0.1)": 0.0, "oi_delta(1000000000000000000000000000000,0.1)": 0.0,
      "oi_price_divergence(inf,0.1)": 0.0, "severity": 0.0}),
    # values keep arrival order, not timestamp order; duplicates count twice
    ([sig("liq_cluster", 1, 1000)], [liq(200, 100), liq(100, 300)], {"liq_cluster(1,1000)": 0.3}),
    ([sig("liq_cluster", 3, 1000)], [liq(1, 300), liq(1, 300)], {"liq_cluster(3,1000)": 0.6}),
    # the latest book replaces the volumes; best prices play no part
    ([sig("book_imbalance", 0.5)], [book(1, 300, 100), book(2, 300, 200, best_bid=1e9, best_ask=-5)],
     {"book_imbalance(0.5)": 0.4}),
    # one event kind leaves the other series empty
    (ALL, [book(1, 300, 100), book(2, 100, 300)], dict(EMPTY, **{"book_imbalance(0.5)": 1.0, "severity": 0.2})),
    (ALL, [liq(1, 500), liq(2, 500)], dict(EMPTY, **{"liq_cluster(3,1000)": 1.0, "severity": 0.2})),
])
def test_series_and_window(signals, events, expected):
    factors = factors_of(make_spec(*signals), events)
    assert {k: factors[k] for k in expected} == expected


@pytest.mark.parametrize("lookback, label", [(20, "oi_delta(20,0.1)"), (12.9, "oi_delta(12.9,0.1)"), (2, "oi_delta(2,0.1)")])
def test_lookback_needs_k_plus_one_samples(lookback, label):
    k = int(lookback)
    spec = make_spec(sig("oi_delta", lookback, 0.1))
    rising = [100.0] + [101.0] * (k - 1) + [105.0]  # old = 100 sits k samples before the newest
    assert factors_of(spec, derivs(oi=rising))[label] == 0.5
    assert factors_of(spec, derivs(oi=[1.0, 3.0, 2.0] + rising))[label] == 0.5
    assert factors_of(spec, derivs(oi=rising[1:]))[label] == 0.0  # only k samples


def test_set_spec_window_applies_to_new_states(radar):
    expect_ok(run(radar, {"cmd": "set_spec", "spec": make_spec(sig("oi_delta", 50, 0.1), threshold=-1)}))
    oi = [100.0] + [101.0] * 49 + [105.0]
    expect_ok(feed_batch(radar, "FULL", derivs(oi=oi)))
    for ev in derivs(oi=oi[1:]):  # 50 samples: one short
        expect_ok(feed(radar, "SHORT", ev))
    assert [(a["symbol"], a["factors"]["oi_delta(50,0.1)"]) for a in alerts(radar)["alerts"]] == [
        ("FULL", 0.5), ("SHORT", 0.0)]


@pytest.mark.parametrize("stamps, ts", [
    ([I64_MIN], I64_MIN), ([I64_MIN, I64_MIN], I64_MIN), ([5, I64_MAX, -1], I64_MAX), ([-7, -3, -9], -3),
])
def test_ts_is_signed_maximum(radar, stamps, ts):
    expect_ok(feed_batch(radar, "S", [book(t, 1, 1) for t in stamps]))
    assert alerts(radar).raw.endswith('"ts":%d}],"scanned":1}' % ts)


def test_symbols_are_exact_texts(radar):
    for sym in ("BTC", "btc", "", " BTC", "BTC "):
        expect_ok(feed(radar, sym, deriv(1, fr=0.0004)))
    expect_ok(feed(radar, "BTC", deriv(2, fr=-0.0006)))
    rep = alerts(radar)
    assert rep["scanned"] == 5
    assert [(a["symbol"], a["severity"]) for a in rep["alerts"]] == [
        ("BTC", 1.0), ("", 0.0), (" BTC", 0.0), ("BTC ", 0.0), ("btc", 0.0)]
