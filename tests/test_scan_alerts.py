"""Signal evaluation, the scan and alerts reports: factors, severity,
threshold, ranking, limit, and agreement between "scan" and "alerts"."""

import json
import os
import random
import shutil
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import (
    FUNDING, I64_MAX, I64_MIN, alerts, book, command, deriv, derivs, expect_ok, factors_of, feed,
    feed_batch, liq, make_spec, new_radar, quantize, run, scan, sig,
)


# ---------------------------------------------------------------- factors

def oi_mp(oi, mp):
    return derivs(oi=oi, mp=mp)


FACTOR_CASES = [
    # (signal, events, expected reported factor)
    (sig("oi_delta", 1, 0.1), derivs(oi=[100, 105]), 0.5),
    (sig("oi_delta", 1, 0.1), derivs(oi=[100, 95]), 0.5),                    # direction does not matter
    (sig("oi_delta", 1, 0.1), derivs(oi=[-100, -95]), 1.0),                  # negative level floors to 1e-12
    (sig("oi_delta", 2, 0.1), derivs(oi=[100, 200]), 0.0),                   # series as long as the lookback
    (sig("oi_delta", 0.5, 0.1), derivs(oi=[100, 200]), 0.0),                 # lookback 0: old is the newest
    (sig("oi_delta", 1, 0), derivs(oi=[100, 100]), 0.0),                     # 0 / 0
    (sig("oi_delta", 1, -0.1), derivs(oi=[100, 105]), 0.0),                  # negative scale
    (sig("funding_flip", 0.001), derivs(fr=[0.0004, -0.0006]), 1.0),         # raw 1.2
    (sig("funding_flip", 0.001), derivs(fr=[0.0004, 0.0005]), 0.5),
    (sig("funding_flip", 0.001), derivs(fr=[0.0004]), 0.0),
    (sig("funding_flip", 0.001), derivs(fr=[0.0001, -0.0003]), quantize(0.0003 / 0.001 + 0.0003 / 0.001)),
    (sig("funding_flip", 0.001), derivs(fr=[0.0, -0.0003]), quantize(0.0003 / 0.001)),   # zero is no flip
    (sig("funding_flip", 0.001), derivs(fr=[-0.0003, 0.0]), 0.0),
    (sig("funding_flip", 0), derivs(fr=[0.0004, 0.0005]), 0.0),              # infinite raw value
    (sig("funding_flip", -0.001), derivs(fr=[0.0004, 0.0005]), 0.0),
    (sig("book_imbalance", 0.5), [book(1, 300, 100)], 1.0),
    (sig("book_imbalance", 0.5), [book(1, 300, 200)], 0.4),
    (sig("book_imbalance", 0.5), [book(1, 200, 300)], 0.4),
    (sig("book_imbalance", 0.5), derivs(fr=[1, -1]), 0.0),                   # no book yet
    (sig("book_imbalance", 0.5), [book(1, 0, 0)], 0.0),
    (sig("book_imbalance", 0.5), [book(1, 5, -5)], 1.0),                     # zero level floors to 1e-12
    (sig("liq_cluster", 3, 1000), [liq(i, q) for i, q in enumerate([100, 200, 300, 400])], 0.9),
    (sig("liq_cluster", 10, 1000), [liq(i, q) for i, q in enumerate([100, 200, 300, 400])], 1.0),
    (sig("liq_cluster", 0.5, 1000), [liq(i, q) for i, q in enumerate([100, 200, 300, 400])], 0.0),
    (sig("liq_cluster", 3, 1000), [], 0.0),
    (sig("liq_cluster", 3, 1000), [liq(1, -500), liq(2, 300)], 0.0),
    (sig("liq_cluster", 3, 0), [liq(1, 5)], 0.0),
    (sig("oi_price_divergence", 1, 0.1), oi_mp([100, 110], [50, 47.5]),
     quantize(-(((110 - 100) / 100) * ((47.5 - 50) / 50)) / (0.1 * 0.1))),
    (sig("oi_price_divergence", 1, 0.2), oi_mp([100, 110], [50, 47.5]), 0.125),
    (sig("oi_price_divergence", 1, -0.1), oi_mp([100, 110], [50, 47.5]),
     quantize(-(((110 - 100) / 100) * ((47.5 - 50) / 50)) / (-0.1 * -0.1))),
    (sig("oi_price_divergence", 1, 0.1), oi_mp([100, 110], [50, 55]), 0.0),  # both rising
    (sig("oi_price_divergence", 1, 0.1), oi_mp([110, 100], [47.5, 50]),
     quantize(-(((100 - 110) / 110) * ((50 - 47.5) / 47.5)) / (0.1 * 0.1))),
    (sig("oi_price_divergence", 2, 0.1), oi_mp([100, 110], [50, 47.5]), 0.0),
    (sig("oi_price_divergence", 1e301, 0.1), oi_mp([100, 110, 120, 130], [50, 47.5, 45, 40]), 0.0),
]


@pytest.mark.parametrize("signal, events, expected", FACTOR_CASES)
def test_factor(signal, events, expected):
    # one signal of weight 1: the severity is the factor itself
    factors = factors_of(make_spec(signal), events)
    assert list(factors.values()) == [expected, expected]


def test_weighted_mean_uses_unrounded_factors():
    # 6e-9 reports as 1e-8, but the mean of 6e-9 and 0 is 3e-9, which rounds to 0
    spec = make_spec(sig("funding_flip", 100000), sig("book_imbalance", 0.5))
    f = factors_of(spec, derivs(fr=[0.0004, 0.0006]))
    assert f == {"book_imbalance(0.5)": 0.0, "funding_flip(100000)": 1e-8, "severity": 0.0}


def test_weighted_mean():
    spec = make_spec(sig("funding_flip", 0.001, weight=2), sig("book_imbalance", 0.5, weight=1),
                     sig("liq_cluster", 3, 1000, weight=1))
    f = factors_of(spec, derivs(fr=[0.0004, 0.0005]) + [book(3, 300, 100), liq(4, 100)])
    assert f["severity"] == quantize((0.5 * 2 + 1.0 * 1 + 0.1 * 1) / 4)


def test_example_report_byte_exact():
    r = new_radar('{"signals":[{"kind":"funding_flip","params":[0.001]}],"threshold":0.5}')
    text = ('{"cmd":"scan","events":{"BTC":[{"kind":"derivatives","ts":1,"open_interest":100,"funding_rate":0.0004,'
            '"mark_price":50},{"kind":"derivatives","ts":2,"open_interest":100,"funding_rate":-0.0006,"mark_price":50}]}}')
    assert command(r, text) == ('{"alerts":[{"symbol":"BTC","severity":1.0,"factors":{"funding_flip(0.001)":1.0,'
                                '"severity":1.0},"ts":2}],"scanned":1}')


# ---------------------------------------------------------------- threshold, ranking, limit

def test_empty_events_map(radar):
    assert command(radar, '{"cmd":"scan","events":{}}') == '{"alerts":[],"scanned":0}'


def test_symbol_without_events():
    r = new_radar(make_spec(FUNDING, sig("oi_delta", 3, 0.1)))  # threshold 0.0
    assert scan(r, {"X": []}).raw == (
        '{"alerts":[{"symbol":"X","severity":0.0,"factors":{"funding_flip(0.001)":0.0,"oi_delta(3,0.1)":0.0,'
        '"severity":0.0},"ts":-9223372036854775808}],"scanned":1}')
    r = new_radar(make_spec(FUNDING, threshold=1e-8))
    assert scan(r, {"X": []}).raw == '{"alerts":[],"scanned":1}'


def test_ranking_by_severity_then_symbol_bytes(radar):
    events = {"SOL": derivs(fr=[0.0004, 0.0003]), "ETH": derivs(fr=[0.0001, 0.0003]),
              "BTC-PERP": derivs(fr=[0.0004, 0.0003]), "BTC": derivs(fr=[0.0005, 0.0003]),
              "ONE": derivs(fr=[0.0004, -0.0006]), "FIFTH": derivs(fr=[0.0001, 0.0002]),
              "HALF": derivs(fr=[0.0004, 0.0005]), "Z": []}
    rep = scan(radar, events)
    assert [(a["symbol"], a["severity"]) for a in rep["alerts"]] == [
        ("ONE", 1.0), ("HALF", 0.5), ("BTC", 0.3), ("BTC-PERP", 0.3), ("ETH", 0.3), ("SOL", 0.3),
        ("FIFTH", 0.2), ("Z", 0.0)]
    assert rep["scanned"] == 8
    for sym, evs in events.items():
        for ev in evs:
            expect_ok(feed(radar, sym, ev))
    expect_ok(feed_batch(radar, "Z", []))  # creates no state
    stored = alerts(radar)
    assert stored["scanned"] == 7
    assert stored["alerts"] == [a for a in rep["alerts"] if a["symbol"] != "Z"]


@pytest.mark.parametrize("limit, symbols", [(1, ["ONE"]), (2, ["ONE", "HALF"]), (3, ["ONE", "HALF", "LOW"]),
                                            (50, ["ONE", "HALF", "LOW"])])
def test_limit_cuts_after_ranking(limit, symbols):
    r = new_radar(make_spec(FUNDING, threshold=0.1, limit=limit))
    events = {"LOW": derivs(fr=[0.0004, 0.0002]), "ONE": derivs(fr=[0.0004, -0.0006]),
              "HALF": derivs(fr=[0.0004, 0.0005]), "NONE": [], "TINY": derivs(fr=[0.0004, 0.00001])}
    rep = scan(r, events)
    assert [a["symbol"] for a in rep["alerts"]] == symbols
    assert rep["scanned"] == 5
    for sym, evs in events.items():
        if evs:
            expect_ok(feed_batch(r, sym, evs))
    assert alerts(r).raw == scan(r, {k: v for k, v in events.items() if v}).raw
    assert alerts(r)["scanned"] == 4


@pytest.mark.parametrize("threshold, passes", [
    (0.5, True), (0.50000001, False), (0.49999999, True), (1, False), (-0.0, True),
])
def test_threshold_is_inclusive(threshold, passes):
    r = new_radar(make_spec(FUNDING, threshold=threshold))
    rep = scan(r, {"S": derivs(fr=[0.0004, 0.0005])})
    assert len(rep["alerts"]) == (1 if passes else 0)
    assert rep["scanned"] == 1


def test_threshold_compares_rounded_severity():
    # the unrounded mean 2/3 is below 0.66666667; the reported severity equals it
    spec = make_spec(sig("funding_flip", 0.001, weight=2), sig("book_imbalance", 0.5), threshold=0.66666667)
    rep = scan(new_radar(spec), {"S": derivs(fr=[0.0004, 0.0005]) + [book(3, 300, 100)]})
    assert [a["severity"] for a in rep["alerts"]] == [0.66666667]


def test_threshold_above_every_severity():
    r = new_radar(make_spec(FUNDING, threshold=1.5))
    for sym in ("A", "B", "C"):
        expect_ok(feed_batch(r, sym, derivs(fr=[0.0004, -0.0006])))
    assert alerts(r).raw == '{"alerts":[],"scanned":3}'
    assert scan(r, {"A": derivs(fr=[1, -1]), "B": []}).raw == '{"alerts":[],"scanned":2}'


# ---------------------------------------------------------------- statelessness

def test_scan_leaves_store_untouched(radar):
    expect_ok(feed(radar, "BTC", deriv(1, fr=0.0004)))
    before = alerts(radar).raw
    rep = scan(radar, {"BTC": [deriv(7, fr=-0.0006)], "ETH": derivs(fr=[1, -1])})
    # the scan did not read the stored BTC sample: one sample gives 0
    assert rep["alerts"][1]["symbol"] == "BTC"
    assert rep["alerts"][1]["factors"]["funding_flip(0.001)"] == 0.0
    assert alerts(radar).raw == before
    assert alerts(radar).raw == before


def test_repeated_commands_give_identical_text(radar):
    events = {"A": derivs(fr=[0.0004, 0.0005]), "B": [book(1, 1, 2)], "C": []}
    first = scan(radar, events).raw
    assert all(scan(radar, events).raw == first for _ in range(5))
    for sym, evs in events.items():
        expect_ok(feed_batch(radar, sym, evs))
    a1 = alerts(radar).raw
    assert alerts(radar).raw == a1


def test_repeated_symbol_key_in_scan_keeps_later_value(radar):
    text = '{"cmd":"scan","events":{"S":%s,"S":%s}}' % (
        json.dumps(derivs(fr=[0.0004, -0.0006])), json.dumps([deriv(9, fr=0.0005)]))
    rep = run(radar, text)
    assert rep["scanned"] == 1
    assert rep["alerts"][0]["ts"] == 9
    assert rep["alerts"][0]["severity"] == 0.0


# ---------------------------------------------------------------- scan agrees with alerts

NUM = st.one_of(st.sampled_from([0.0, -1.0, 0.0004, -0.0006, 1.0, 100.0, 105.0, 300.0, 1e-13]),
                st.floats(min_value=-1e6, max_value=1e6, allow_nan=False, allow_infinity=False))
TS = st.one_of(st.integers(-5, 20), st.sampled_from([I64_MIN, I64_MAX]))
EVENT = st.one_of(
    st.builds(deriv, TS, NUM, NUM, NUM),
    st.builds(book, TS, NUM, NUM),
    st.builds(liq, TS, NUM, st.sampled_from(["buy", "sell"])),
)
SPECS = [
    make_spec(FUNDING, threshold=-1),
    make_spec(sig("oi_delta", 2, 0.1), sig("book_imbalance", 0.5, weight=2), threshold=0.2, limit=3),
    make_spec(sig("liq_cluster", 3, 100), sig("oi_price_divergence", 1, 0.1), FUNDING, threshold=0),
    make_spec(sig("oi_delta", 1, 0.05), sig("liq_cluster", 1.5, 10, weight=0.5), sig("oi_price_divergence", 4, 1)),
]


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(spec=st.sampled_from(SPECS),
       events=st.dictionaries(st.text(max_size=3), st.lists(EVENT, min_size=1, max_size=8), max_size=6))
def test_alerts_equal_scan_of_same_events(spec, events):
    batch, single = new_radar(spec), new_radar(spec)
    for sym, evs in events.items():
        expect_ok(feed_batch(batch, sym, evs))
    # interleave the symbols: states are independent of each other
    for i in range(max((len(v) for v in events.values()), default=0)):
        for sym, evs in events.items():
            if i < len(evs):
                expect_ok(feed(single, sym, evs[i]))
    report = scan(batch, events)
    assert alerts(batch).raw == report.raw
    assert alerts(single).raw == report.raw
    assert report["scanned"] == len(events)
    rows = report["alerts"]
    if "limit" in spec:
        assert len(rows) <= spec["limit"]
    keys = [(-a["severity"], a["symbol"].encode("utf-8")) for a in rows]
    assert keys == sorted(keys)
    for a in rows:
        assert a["severity"] >= spec.get("threshold", 0.0)
        assert list(a["factors"])[-1] == "severity"
        assert all(0.0 <= v <= 1.0 for v in a["factors"].values())
        assert a["ts"] == max(e["ts"] for e in events[a["symbol"]])


# ---------------------------------------------------------------- large scan

SCAN_SCRIPT = r"""
import sys
from norsel_radar import Radar
spec, request = sys.stdin.read().split("\n", 1)
sys.stdout.write(Radar(spec).command(request))
"""


def _big_scan():
    rng = random.Random(20240611)
    events = {}
    for i in range(3000):
        evs = []
        for t in range(rng.randint(0, 10)):
            pick = rng.random()
            if pick < 0.5:
                evs.append(deriv(rng.randint(-50, 50), rng.uniform(90, 110), rng.uniform(-0.002, 0.002),
                                 rng.uniform(40, 60)))
            elif pick < 0.75:
                evs.append(book(t, rng.uniform(0, 500), rng.uniform(0, 500)))
            else:
                evs.append(liq(t, rng.uniform(0, 400), rng.choice(["buy", "sell"])))
        events["S%04d%s" % (i, rng.choice(["", "-PERP", "é", "😀"]))] = evs
    spec = make_spec(FUNDING, sig("book_imbalance", 0.5), sig("liq_cluster", 3, 1000), sig("oi_delta", 2, 0.05),
                     sig("oi_price_divergence", 3, 0.1, weight=2), threshold=-1)
    return json.dumps(spec), json.dumps({"cmd": "scan", "events": events})


@pytest.mark.skipif(not sys.platform.startswith("linux") or shutil.which("taskset") is None,
                    reason="needs taskset")
def test_large_scan_same_on_one_cpu_and_many():
    spec, request = _big_scan()
    here = new_radar(spec).command(request)
    assert json.loads(here)["scanned"] == len(json.loads(request)["events"])
    stdin = spec + "\n" + request
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    normal = subprocess.run([sys.executable, "-c", SCAN_SCRIPT], input=stdin, capture_output=True,
                            text=True, encoding="utf-8", check=True, env=env)
    cpu = str(min(os.sched_getaffinity(0)))
    pinned = subprocess.run(["taskset", "-c", cpu, sys.executable, "-c", SCAN_SCRIPT], input=stdin,
                            capture_output=True, text=True, encoding="utf-8", check=True, env=env)
    assert normal.stdout == here
    assert pinned.stdout == here
