"""Signal evaluation and the scan report: factors, severity, threshold,
ranking and limit, and a large scan answered alike by one worker."""

import json
import os
import random
import shutil
import subprocess
import sys

import pytest
from conftest import FUNDING, book, deriv, derivs, factors_of, liq, make_spec, new_radar, scan, sig

LIQS = [liq(i, q) for i, q in enumerate([100, 200, 300, 400])]
DIVERGING = derivs(oi=[100, 110], mp=[50, 47.5])
BOOK = sig("book_imbalance", 0.5)
OI, LIQ, DIV = (
    sig("oi_delta", 1, 0.1),
    sig("liq_cluster", 3, 1000),
    sig("oi_price_divergence", 1, 0.1),
)


def fr(*rates):
    return derivs(fr=list(rates))


@pytest.mark.parametrize(
    "signal, events, expected",
    [
        (OI, derivs(oi=[100, 105]), 0.5),
        (OI, derivs(oi=[100, 95]), 0.5),  # direction does not matter
        (OI, derivs(oi=[-100, -95]), 1.0),  # negative level floors to 1e-12
        (sig("oi_delta", 1, 0), derivs(oi=[100, 100]), 0.0),  # 0 / 0
        (sig("oi_delta", 1, -0.1), derivs(oi=[100, 105]), 0.0),  # negative scale
        (FUNDING, fr(0.0004, 0.0005), 0.5),
        (FUNDING, fr(0.0004), 0.0),
        (FUNDING, fr(0.0001, -0.0003), 0.6),
        (FUNDING, fr(0.0004, -0.0006), 1.0),  # a flip doubles; raw 1.2 clamps
        (FUNDING, fr(0.0, -0.0003), 0.3),
        (FUNDING, fr(-0.0003, 0.0), 0.0),  # zero is no flip
        (sig("funding_flip", 0), fr(0.0004, 0.0005), 0.0),  # infinite raw value
        (BOOK, [book(1, 300, 100)], 1.0),
        (BOOK, [book(1, 300, 200)], 0.4),
        (BOOK, [book(1, 200, 300)], 0.4),
        (BOOK, fr(1, -1), 0.0),  # no book yet
        (BOOK, [book(1, 0, 0)], 0.0),  # 0 / 0
        (BOOK, [book(1, 5, -5)], 1.0),  # zero level floors to 1e-12
        (LIQ, LIQS, 0.9),
        (sig("liq_cluster", 10, 1000), LIQS, 1.0),
        (LIQ, [], 0.0),
        (LIQ, [liq(1, -500), liq(2, 300)], 0.0),
        (sig("liq_cluster", 3, 0), [liq(1, 5)], 0.0),
        (DIV, DIVERGING, 0.5),
        (DIV, derivs(oi=[100, 110], mp=[50, 55]), 0.0),  # both rising
        (DIV, derivs(oi=[110, 100], mp=[47.5, 50]), 0.47846890000000003),  # quantized to 1e-8
        (sig("oi_price_divergence", 2, 0.1), DIVERGING, 0.0),  # series as long as the lookback
    ],
)  # fmt: skip
def test_factor(signal, events, expected):
    # one signal of weight 1: the severity is the factor itself
    assert list(factors_of(make_spec(signal), events).values()) == [expected, expected]


@pytest.mark.parametrize(
    "signals, events, expected",
    [
        # 6e-9 reports as 1e-8, but the mean of 6e-9 and 0 is 3e-9, which rounds to 0
        (
            [sig("funding_flip", 100000), BOOK],
            fr(0.0004, 0.0006),
            {"book_imbalance(0.5)": 0.0, "funding_flip(100000)": 1e-8, "severity": 0.0},
        ),
        (
            [sig("funding_flip", 0.001, weight=2), BOOK, LIQ],
            fr(0.0004, 0.0005) + [book(3, 300, 100), liq(4, 100)],
            {"book_imbalance(0.5)": 1.0, "funding_flip(0.001)": 0.5, "liq_cluster(3,1000)": 0.1, "severity": 0.525},
        ),
        # all weights zero: severity zero
        (
            [sig("funding_flip", 0.001, weight=0), sig("book_imbalance", 0.5, weight=0)],
            [book(1, 300, 100)],
            {"book_imbalance(0.5)": 1.0, "funding_flip(0.001)": 0.0, "severity": 0.0},
        ),
    ],
)  # fmt: skip
def test_severity_is_weighted_mean_of_unrounded_factors(signals, events, expected):
    assert factors_of(make_spec(*signals), events) == expected


@pytest.mark.parametrize("limit", [1, 5, 8, 50])
def test_ranking_then_limit(limit):
    events = {"SOL": fr(4e-4, 3e-4), "ETH": fr(1e-4, 3e-4), "BTC-PERP": fr(4e-4, 3e-4), "BTC": fr(5e-4, 3e-4),
              "ONE": fr(4e-4, -6e-4), "FIFTH": fr(1e-4, 2e-4), "HALF": fr(4e-4, 5e-4), "Z": [],
              "é": fr(4e-4, 3e-4), "TINY": fr(4e-4, 1e-5)}  # fmt: skip
    rep = scan(new_radar(make_spec(FUNDING, threshold=0.1, limit=limit)), events)
    # ties rank by symbol bytes compared unsigned: "é" (0xC3 0xA9) sorts after ASCII
    ranked = [("ONE", 1.0), ("HALF", 0.5), ("BTC", 0.3), ("BTC-PERP", 0.3), ("ETH", 0.3)]
    ranked += [("SOL", 0.3), ("é", 0.3), ("FIFTH", 0.2)]
    assert [(a["symbol"], a["severity"]) for a in rep["alerts"]] == ranked[:limit]
    assert rep["scanned"] == 10


@pytest.mark.parametrize(
    "signals, threshold, severities",
    [
        ([FUNDING], 0.5, [0.5]),
        ([FUNDING], 0.50000001, []),
        ([FUNDING], 0.49999999, [0.5]),
        ([FUNDING], 1, []),
        ([FUNDING], -0.0, [0.5]),
        ([LIQ], None, [0.0]),  # the default threshold 0 lets severity 0 pass
        # the unrounded mean 2/3 is below 0.66666667; the reported severity equals it
        ([sig("funding_flip", 0.001, weight=2), BOOK], 0.66666667, [0.66666667]),
    ],
)
def test_threshold_is_inclusive_on_rounded_severity(signals, threshold, severities):
    events = {"S": fr(0.0004, 0.0005) + [book(3, 300, 100)]}
    rep = scan(new_radar(make_spec(*signals, threshold=threshold)), events)
    assert ([a["severity"] for a in rep["alerts"]], rep["scanned"]) == (severities, 1)


@pytest.mark.skipif(shutil.which("taskset") is None, reason="needs taskset")
def test_large_scan_same_on_one_cpu():
    # one processor means one worker: the scan must not depend on how its states are shared out
    rng = random.Random(20240611)
    makers = [
        lambda t: deriv(t, rng.uniform(90, 110), rng.uniform(-0.002, 0.002), rng.uniform(40, 60)),
        lambda t: book(t, rng.uniform(0, 500), rng.uniform(0, 500)),
        lambda t: liq(t, rng.uniform(0, 400), rng.choice(["buy", "sell"])),
    ]
    events = {
        "S%04d%s" % (i, rng.choice(["", "-PERP", "é", "😀"])): [
            rng.choice(makers)(rng.randint(-50, 50)) for _ in range(rng.randint(0, 10))
        ]
        for i in range(3000)
    }
    signals = [FUNDING, BOOK, LIQ, OI, sig("oi_price_divergence", 3, 0.1, weight=2)]
    spec = json.dumps(make_spec(*signals, threshold=-1))
    request = json.dumps({"cmd": "scan", "events": events})
    here = new_radar(spec).command(request)
    report = json.loads(here)
    assert report["scanned"] == len(report["alerts"]) == len(events)
    assert all(0.0 <= v <= 1.0 for a in report["alerts"] for v in a["factors"].values())
    script = "import sys, norsel_radar; s, r = sys.stdin.read().split('\\n', 1); print(norsel_radar.Radar(s).command(r))"
    args = ["taskset", "-c", str(min(os.sched_getaffinity(0))), sys.executable, "-c", script]
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    assert (
        subprocess.check_output(args, input=spec + "\n" + request, encoding="utf-8", env=env)
        == here + "\n"
    )
