"""Signal evaluation and the scan report: factors, severity, threshold,
ranking and limit, and a large scan answered alike by one worker."""

import json
import os
import random
import shutil
import subprocess
import sys

import pytest
from conftest import (
    FUNDING,
    book,
    deriv,
    derivs,
    factors_of,
    liq,
    make_spec,
    new_radar,
    quantize,
    scan,
    sig,
)

LIQS = [liq(i, q) for i, q in enumerate([100, 200, 300, 400])]
DIVERGING = derivs(oi=[100, 110], mp=[50, 47.5])
BOOK = sig("book_imbalance", 0.5)


def fr(*rates):
    return derivs(fr=list(rates))


@pytest.mark.parametrize(
    "signal, events, expected",
    [
        (sig("oi_delta", 1, 0.1), derivs(oi=[100, 105]), 0.5),
        (sig("oi_delta", 1, 0.1), derivs(oi=[100, 95]), 0.5),  # direction does not matter
        (sig("oi_delta", 1, 0.1), derivs(oi=[-100, -95]), 1.0),  # negative level floors to 1e-12
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
        (BOOK, fr(1, -1), 0.0),
        (BOOK, [book(1, 0, 0)], 0.0),  # no book yet; 0 / 0
        (BOOK, [book(1, 5, -5)], 1.0),  # zero level floors to 1e-12
        (sig("liq_cluster", 3, 1000), LIQS, 0.9),
        (sig("liq_cluster", 10, 1000), LIQS, 1.0),
        (sig("liq_cluster", 3, 1000), [], 0.0),
        (sig("liq_cluster", 3, 1000), [liq(1, -500), liq(2, 300)], 0.0),
        (sig("liq_cluster", 3, 0), [liq(1, 5)], 0.0),
        (sig("oi_price_divergence", 1, 0.1), DIVERGING, 0.5),
        (
            sig("oi_price_divergence", 1, 0.1),
            derivs(oi=[100, 110], mp=[50, 55]),
            0.0,
        ),  # both rising
        (
            sig("oi_price_divergence", 1, 0.1),
            derivs(oi=[110, 100], mp=[47.5, 50]),
            quantize(-(((100 - 110) / 110) * ((50 - 47.5) / 47.5)) / (0.1 * 0.1)),
        ),
        (sig("oi_price_divergence", 2, 0.1), DIVERGING, 0.0),  # series as long as the lookback
    ],
)
def test_factor(signal, events, expected):
    # one signal of weight 1: the severity is the factor itself
    assert list(factors_of(make_spec(signal), events).values()) == [expected, expected]


@pytest.mark.parametrize(
    "signals, events, expected",
    [
        # 6e-9 reports as 1e-8, but the mean of 6e-9 and 0 is 3e-9, which rounds to 0
        (
            [sig("funding_flip", 100000), BOOK],
            derivs(fr=[0.0004, 0.0006]),
            {"book_imbalance(0.5)": 0.0, "funding_flip(100000)": 1e-8, "severity": 0.0},
        ),
        (
            [sig("funding_flip", 0.001, weight=2), BOOK, sig("liq_cluster", 3, 1000)],
            derivs(fr=[0.0004, 0.0005]) + [book(3, 300, 100), liq(4, 100)],
            {
                "book_imbalance(0.5)": 1.0,
                "funding_flip(0.001)": 0.5,
                "liq_cluster(3,1000)": 0.1,
                "severity": 0.525,
            },
        ),
    ],
)
def test_severity_is_weighted_mean_of_unrounded_factors(signals, events, expected):
    assert factors_of(make_spec(*signals), events) == expected


# ties rank by symbol bytes compared unsigned: "é" (0xC3 0xA9) sorts after ASCII
RANKED = [
    ("ONE", 1.0),
    ("HALF", 0.5),
    ("BTC", 0.3),
    ("BTC-PERP", 0.3),
    ("ETH", 0.3),
    ("SOL", 0.3),
    ("é", 0.3),
    ("FIFTH", 0.2),
]


@pytest.mark.parametrize("limit", [1, 5, 8, 50])
def test_ranking_then_limit(limit):
    events = {
        "SOL": fr(0.0004, 0.0003),
        "ETH": fr(0.0001, 0.0003),
        "BTC-PERP": fr(0.0004, 0.0003),
        "BTC": fr(0.0005, 0.0003),
        "ONE": fr(0.0004, -0.0006),
        "FIFTH": fr(0.0001, 0.0002),
        "HALF": fr(0.0004, 0.0005),
        "Z": [],
        "é": fr(0.0004, 0.0003),
        "TINY": fr(0.0004, 0.00001),
    }
    rep = scan(new_radar(make_spec(FUNDING, threshold=0.1, limit=limit)), events)
    assert ([(a["symbol"], a["severity"]) for a in rep["alerts"]], rep["scanned"]) == (
        RANKED[:limit],
        10,
    )


TWO_THIRDS = [sig("funding_flip", 0.001, weight=2), BOOK]


@pytest.mark.parametrize(
    "signals, threshold, severities",
    [
        ([FUNDING], 0.5, [0.5]),
        ([FUNDING], 0.50000001, []),
        ([FUNDING], 0.49999999, [0.5]),
        ([FUNDING], 1, []),
        ([FUNDING], -0.0, [0.5]),
        (
            [sig("liq_cluster", 3, 1000)],
            None,
            [0.0],
        ),  # the default threshold 0 lets severity 0 pass
        # the unrounded mean 2/3 is below 0.66666667; the reported severity equals it
        (TWO_THIRDS, 0.66666667, [0.66666667]),
    ],
)
def test_threshold_is_inclusive_on_rounded_severity(signals, threshold, severities):
    rep = scan(
        new_radar(make_spec(*signals, threshold=threshold)),
        {"S": fr(0.0004, 0.0005) + [book(3, 300, 100)]},
    )
    assert ([a["severity"] for a in rep["alerts"]], rep["scanned"]) == (severities, 1)


@pytest.mark.skipif(
    not sys.platform.startswith("linux") or shutil.which("taskset") is None, reason="needs taskset"
)
def test_large_scan_same_on_one_cpu():
    # one processor means one worker: the scan must not depend on how its states are shared out
    rng = random.Random(20240611)
    makers = [
        lambda t: deriv(
            rng.randint(-50, 50),
            rng.uniform(90, 110),
            rng.uniform(-0.002, 0.002),
            rng.uniform(40, 60),
        )
    ] * 2 + [
        lambda t: book(t, rng.uniform(0, 500), rng.uniform(0, 500)),
        lambda t: liq(t, rng.uniform(0, 400), rng.choice(["buy", "sell"])),
    ]
    events = {
        "S%04d%s" % (i, rng.choice(["", "-PERP", "é", "😀"])): [
            rng.choice(makers)(t) for t in range(rng.randint(0, 10))
        ]
        for i in range(3000)
    }
    spec = json.dumps(
        make_spec(
            FUNDING,
            sig("book_imbalance", 0.5),
            sig("liq_cluster", 3, 1000),
            sig("oi_delta", 2, 0.05),
            sig("oi_price_divergence", 3, 0.1, weight=2),
            threshold=-1,
        )
    )
    request = json.dumps({"cmd": "scan", "events": events})
    here = new_radar(spec).command(request)
    report = json.loads(here)
    assert report["scanned"] == len(report["alerts"]) == len(events)
    assert all(0.0 <= v <= 1.0 for a in report["alerts"] for v in a["factors"].values())
    script = "import sys, norsel_radar; s, r = sys.stdin.read().split('\\n', 1); print(norsel_radar.Radar(s).command(r))"
    pinned = subprocess.run(
        ["taskset", "-c", str(min(os.sched_getaffinity(0))), sys.executable, "-c", script],
        input=spec + "\n" + request,
        capture_output=True,
        text=True,
        encoding="utf-8",
        check=True,
        env=dict(os.environ, PYTHONIOENCODING="utf-8"),
    )
    assert pinned.stdout == here + "\n"
