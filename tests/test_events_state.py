"""Decoding events (object and array forms, every failure message) and the
per-symbol state they build: bounded series, window, timestamps, symbols."""

import pytest

from conftest import (
    EVENT_KINDS, FUNDING, I64_MAX, I64_MIN, alerts, book, command, deriv, derivs, expect_error,
    expect_ok, factors_of, feed, feed_batch, liq, make_spec, new_radar, run, scan, sig,
)

D = {"kind": "derivatives", "ts": 5, "open_interest": 1, "funding_rate": 0, "mark_price": 2}
OB = {"kind": "orderbook", "ts": 1, "bid_volume": 3, "ask_volume": 1, "best_bid": 9, "best_ask": 10}
LQ = {"kind": "liquidation", "ts": 1, "side": "sell", "qty": 2.5, "price": 42900}


def without(event, *names):
    return {k: v for k, v in event.items() if k not in names}


def with_(event, **members):
    return dict(event, **members)


# ---------------------------------------------------------------- decoding

@pytest.mark.parametrize("event, message", [
    (with_(D, ts=5.0), "invalid type: floating point `5.0`, expected i64"),
    (with_(D, ts=9223372036854775808), "invalid value: integer `9223372036854775808`, expected i64"),
    (with_(D, kind="Derivatives"), "unknown variant `Derivatives`, expected one of " + EVENT_KINDS),
    (with_(D, kind=""), "unknown variant ``, expected one of " + EVENT_KINDS),
    (without(D, "kind"), "missing field `kind`"),
    ({"kind": 7}, "invalid type: integer `7`, expected variant identifier"),
    (with_(D, kind=None), "invalid type: null, expected variant identifier"),
    (with_(D, kind=["derivatives"]), "invalid type: sequence, expected variant identifier"),
    ({}, "missing field `kind`"),
    ({"kind": "derivatives"}, "missing field `ts`"),
    (without(D, "funding_rate", "mark_price"), "missing field `funding_rate`"),
    (without(OB, "best_bid", "best_ask"), "missing field `best_bid`"),
    (without(LQ, "side", "price"), "missing field `side`"),
    # type failures (in member-name order) come before missing fields
    (without(with_(OB, bid_volume="x"), "ts"), 'invalid type: string "x", expected f64'),
    (with_(D, ts="a", open_interest="b"), 'invalid type: string "b", expected f64'),
    (with_(D, ts="a", mark_price=None, funding_rate=True), "invalid type: boolean `true`, expected f64"),
    (with_(D, ts=[1]), "invalid type: sequence, expected i64"),
    # a bad tag is met during the walk, before any field
    ({"funding_rate": "x", "kind": "nope"}, "unknown variant `nope`, expected one of " + EVENT_KINDS),
    ({"ask_volume": None, "kind": 1.5}, "invalid type: floating point `1.5`, expected variant identifier"),
    (with_(LQ, side="SELL"), "unknown variant `SELL`, expected `buy` or `sell`"),
    (with_(LQ, side=1), "invalid type: integer `1`, expected string or map"),
    (with_(LQ, side=None), "invalid type: null, expected string or map"),
    (with_(LQ, side=["buy"]), "invalid type: sequence, expected string or map"),
    (with_(LQ, side={"buy": 1}), "invalid type: integer `1`, expected unit"),
    (with_(LQ, side={}), "invalid value: map, expected map with a single key"),
    (with_(LQ, side={"buy": None, "sell": None}), "invalid value: map, expected map with a single key"),
    (None, "invalid type: null, expected internally tagged enum Event"),
    (5, "invalid type: integer `5`, expected internally tagged enum Event"),
    ("derivatives", 'invalid type: string "derivatives", expected internally tagged enum Event'),
    (True, "invalid type: boolean `true`, expected internally tagged enum Event"),
    ([], "missing field `kind`"),
    (["orderbook", 1, 2, 3], "invalid length 3, expected struct variant Event::Orderbook with 5 elements"),
    (["derivatives", 1], "invalid length 1, expected struct variant Event::Derivatives with 4 elements"),
    (["liquidation"], "invalid length 0, expected struct variant Event::Liquidation with 4 elements"),
    (["liquidation", 1, "buy", 1, 2, 3], "invalid length 5, expected 4 elements in sequence"),
    (["orderbook", 1, 2, 3, 4, 5, 6, 7], "invalid length 7, expected 5 elements in sequence"),
    (["Orderbook", 1, 2, 3, 4, 5], "unknown variant `Orderbook`, expected one of " + EVENT_KINDS),
    ([7, 1, 2, 3, 4], "invalid type: integer `7`, expected variant identifier"),
    (["derivatives", 1.0, 1, 2, 3], "invalid type: floating point `1.0`, expected i64"),
    (["liquidation", 1, "short", 1, 2], "unknown variant `short`, expected `buy` or `sell`"),
    (["orderbook", 1, 2, "3", 4, 5], 'invalid type: string "3", expected f64'),
])
def test_bad_event_messages(radar, event, message):
    expect_error(feed(radar, "S", event), "parse: " + message)
    expect_error(feed_batch(radar, "S", [D, event]), "parse: " + message)
    expect_error(scan(radar, {"A": [D], "S": [D, event]}), "parse: " + message)
    assert alerts(radar).raw == '{"alerts":[],"scanned":0}'


@pytest.mark.parametrize("events, message", [
    ({}, "invalid type: map, expected a sequence"),
    (D, "invalid type: map, expected a sequence"),
    (None, "invalid type: null, expected a sequence"),
    ("x", 'invalid type: string "x", expected a sequence'),
    ([D, D, without(D, "ts"), with_(D, kind="x")], "missing field `ts`"),  # first failing element wins
])
def test_bad_event_list_messages(radar, events, message):
    expect_error(feed_batch(radar, "S", events), "parse: " + message)
    expect_error(scan(radar, {"S": events}), "parse: " + message)


@pytest.mark.parametrize("form_a, form_b", [
    (D, {"ts": 5, "mark_price": 2.0, "funding_rate": 0.0, "open_interest": 1.0, "kind": "derivatives"}),
    (D, ["derivatives", 5, 1, 0, 2]),
    (D, with_(D, symbol="ETH", venue="x", side=5, qty="ignored", bid_volume=None)),
    (OB, ["orderbook", 1, 3, 1, -1e300, 0]),
    (LQ, ["liquidation", 1, "sell", 2.5, 42900]),
    (LQ, with_(LQ, side={"sell": None})),
    (LQ, with_(LQ, side={"sell": {}}, price=-1, ts=1)),
    (with_(LQ, side="buy"), with_(LQ, side={"buy": None})),
])
def test_equivalent_event_forms(form_a, form_b):
    spec = make_spec(FUNDING, sig("book_imbalance", 0.5), sig("liq_cluster", 3, 10), threshold=-1)
    r = new_radar(spec)
    a = scan(r, {"S": [D, form_a, form_a]})
    b = scan(r, {"S": [D, form_b, form_b]})
    assert a.raw == b.raw


def test_repeated_kind_member_last_wins(radar):
    text = ('{"cmd":"feed","symbol":"S","event":{"kind":"orderbook","kind":"derivatives","ts":1,'
            '"open_interest":1,"funding_rate":0.0004,"mark_price":1}}')
    assert command(radar, text) == '{"ok":true}'
    text = ('{"cmd":"feed","symbol":"S","event":{"kind":"derivatives","kind":"orderbook","ts":1,'
            '"open_interest":1,"funding_rate":0.0004,"mark_price":1}}')
    assert command(radar, text) == '{"error":"parse: missing field `bid_volume`","ok":false}'


# ---------------------------------------------------------------- window and series

def test_series_keep_newest_in_order_when_window_is_two():
    # oi_delta(1, ...) gives the smallest window: old is the entry before the newest
    assert factors_of(make_spec(sig("oi_delta", 1, 0.1)), derivs(oi=[100, 200, 210]))["oi_delta(1,0.1)"] == 0.5
    oi = [7, 1, 3, 9, 4, 100, 105]
    assert factors_of(make_spec(sig("oi_delta", 1, 0.1)), derivs(oi=oi))["oi_delta(1,0.1)"] == 0.5


def test_funding_reads_the_newest_two_of_many():
    factors = factors_of(make_spec(FUNDING), derivs(fr=[0.0009, -0.0009, 0.0004, -0.0006, -0.0005]))
    assert factors["funding_flip(0.001)"] == 0.5


@pytest.mark.parametrize("lookback, label", [(20, "oi_delta(20,0.1)"), (12.9, "oi_delta(12.9,0.1)"), (2, "oi_delta(2,0.1)")])
def test_lookback_needs_k_plus_one_samples(lookback, label):
    k = int(lookback)
    spec = make_spec(sig("oi_delta", lookback, 0.1))
    rising = [100.0] + [101.0] * (k - 1) + [105.0]  # old = 100 sits k samples before the newest
    assert factors_of(spec, derivs(oi=rising))[label] == 0.5
    assert factors_of(spec, derivs(oi=[1.0, 3.0, 2.0] + rising))[label] == 0.5
    assert factors_of(spec, derivs(oi=rising[1:]))[label] == 0.0  # only k samples


def test_liq_count_sums_only_newest_entries():
    spec = make_spec(sig("liq_cluster", 3, 1000), sig("oi_price_divergence", 12.9, 0.1))
    qty = [500, 400, 100, 200, 300]
    factors = factors_of(spec, [liq(i, q) for i, q in enumerate(qty)])
    assert factors["liq_cluster(3,1000)"] == 0.6


def test_smaller_lookback_reads_within_longer_window():
    spec = make_spec(sig("oi_delta", 1, 0.1), sig("oi_delta", 4, 1))
    f = factors_of(spec, derivs(oi=[50, 60, 70, 100, 105]))
    assert f["oi_delta(1,0.1)"] == 0.5
    assert f["oi_delta(4,1)"] == 1.0  # (105 - 50) / 50 = 1.1 clamps


def test_fractional_and_saturated_lookbacks():
    many = derivs(oi=[1, 2, 4, 8, 16, 32, 64, 128], mp=[64, 32, 16, 8, 4, 2, 1, 0.5])
    f = factors_of(make_spec(sig("oi_delta", 0.5, 0.1), sig("oi_price_divergence", 1e301, 0.1),
                             sig("oi_delta", 1e30, 0.1)), many)
    assert f == {"oi_delta(0.5,0.1)": 0.0, "oi_delta(1000000000000000000000000000000,0.1)": 0.0,
                 "oi_price_divergence(inf,0.1)": 0.0, "severity": 0.0}


# ---------------------------------------------------------------- timestamps and symbols

def test_ts_keeps_the_largest_and_values_keep_arrival_order():
    r = new_radar(make_spec(sig("liq_cluster", 1, 1000), threshold=-1))
    expect_ok(feed(r, "S", liq(200, 100)))
    expect_ok(feed(r, "S", liq(100, 300)))
    rep = alerts(r)
    assert rep["alerts"][0]["ts"] == 200
    assert rep["alerts"][0]["factors"]["liq_cluster(1,1000)"] == 0.3


@pytest.mark.parametrize("stamps, ts", [
    ([I64_MIN], I64_MIN), ([I64_MIN, I64_MIN], I64_MIN), ([5, I64_MAX, -1], I64_MAX), ([-7, -3, -9], -3),
])
def test_ts_is_signed_maximum(radar, stamps, ts):
    expect_ok(feed_batch(radar, "S", [book(t, 1, 1) for t in stamps]))
    assert alerts(radar).raw.endswith('"ts":%d}],"scanned":1}' % ts)


def test_state_of_one_event_kind_leaves_others_empty():
    spec = make_spec(FUNDING, sig("book_imbalance", 0.5), sig("liq_cluster", 3, 1000), sig("oi_delta", 1, 0.1),
                     sig("oi_price_divergence", 1, 0.1), threshold=-1)
    only_books = factors_of(spec, [book(1, 300, 100), book(2, 100, 300)])
    assert [v for k, v in only_books.items() if k != "book_imbalance(0.5)"] == [0.0, 0.0, 0.0, 0.0, 0.2]
    only_liq = factors_of(spec, [liq(1, 500), liq(2, 500)])
    assert only_liq == {"book_imbalance(0.5)": 0.0, "funding_flip(0.001)": 0.0, "liq_cluster(3,1000)": 1.0,
                        "oi_delta(1,0.1)": 0.0, "oi_price_divergence(1,0.1)": 0.0, "severity": 0.2}


def test_latest_book_replaces_volumes_and_ignores_best_prices():
    spec = make_spec(sig("book_imbalance", 0.5))
    assert factors_of(spec, [book(1, 300, 100)])["book_imbalance(0.5)"] == 1.0
    assert factors_of(spec, [book(1, 300, 100), book(2, 300, 200, best_bid=1e9, best_ask=-5)])["book_imbalance(0.5)"] == 0.4


def test_symbols_are_exact_texts(radar):
    for sym in ("BTC", "btc", "", " BTC", "BTC "):
        expect_ok(feed(radar, sym, deriv(1, fr=0.0004)))
    expect_ok(feed(radar, "BTC", deriv(2, fr=-0.0006)))
    rep = alerts(radar)
    assert rep["scanned"] == 5
    assert [(a["symbol"], a["severity"]) for a in rep["alerts"]] == [
        ("BTC", 1.0), ("", 0.0), (" BTC", 0.0), ("BTC ", 0.0), ("btc", 0.0)]


def test_duplicate_events_are_applied_twice():
    f = factors_of(make_spec(sig("liq_cluster", 3, 1000)), [liq(1, 300), liq(1, 300)])
    assert f["liq_cluster(3,1000)"] == 0.6


@pytest.mark.parametrize("events", [
    derivs(fr=[0.0004, -0.0006]) + [book(9, 300, 200), liq(3, 700), liq(2, 500)],
    [liq(i, 10.0 * i, side="sell" if i % 2 else "buy") for i in range(30)] + derivs(oi=[5, 6, 7], mp=[3, 2, 1]),
])
def test_feed_and_feed_batch_are_equivalent(events):
    spec = make_spec(FUNDING, sig("book_imbalance", 0.5), sig("liq_cluster", 4, 1000),
                     sig("oi_price_divergence", 2, 0.1), threshold=-1)
    one, batch, halves = new_radar(spec), new_radar(spec), new_radar(spec)
    for ev in events:
        expect_ok(feed(one, "S", ev))
    expect_ok(feed_batch(batch, "S", events))
    expect_ok(feed_batch(halves, "S", events[:3]))
    expect_ok(feed_batch(halves, "S", events[3:]))
    assert alerts(one).raw == alerts(batch).raw == alerts(halves).raw


def test_reset_then_fresh_state():
    r = new_radar(make_spec(FUNDING, threshold=-1))
    expect_ok(feed(r, "S", deriv(1, fr=0.0004)))
    expect_ok(run(r, {"cmd": "reset"}))
    assert alerts(r).raw == '{"alerts":[],"scanned":0}'
    expect_ok(feed(r, "S", deriv(2, fr=-0.0006)))
    assert alerts(r)["alerts"][0]["factors"]["funding_flip(0.001)"] == 0.0


def test_set_spec_window_applies_to_new_states():
    r = new_radar(make_spec(FUNDING, threshold=-1))
    expect_ok(feed(r, "S", deriv(1, fr=0.0004)))
    expect_ok(run(r, {"cmd": "set_spec", "spec": make_spec(sig("oi_delta", 50, 0.1), threshold=-1)}))
    assert alerts(r).raw == '{"alerts":[],"scanned":0}'
    oi = [100.0] + [101.0] * 49 + [105.0]
    for ev in derivs(oi=oi[1:]):
        expect_ok(feed(r, "S", ev))
    assert alerts(r)["alerts"][0]["factors"]["oi_delta(50,0.1)"] == 0.0  # 50 samples: one short
    expect_ok(run(r, {"cmd": "reset"}))
    expect_ok(feed_batch(r, "S", derivs(oi=oi)))
    assert alerts(r)["alerts"][0]["factors"]["oi_delta(50,0.1)"] == 0.5
