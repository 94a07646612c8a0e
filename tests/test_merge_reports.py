"""merge_reports and report_text: reports of disjoint symbol sets joined into
the report of one radar, and reports written back as the radar's own text
(needs no pyarrow)."""

import json
import random

import pytest
from conftest import deriv, liq, make_spec, sig, typed
from hypothesis import given, settings
from hypothesis import strategies as st
from norsel_radar import Radar, RadarError, Report, Screener, Spec
from norsel_radar.history import format_double, merge_reports, report_text

SIGNALS = [sig("oi_delta", 1, 0.1), sig("funding_flip", 0.001), sig("liq_cluster", 2, 100)]
SYMBOLS = "A B BTC BTC-PERP Z a é ß-PERP 日本 😀".split() + ['q"uote\\', "\x01", ""]


def scan_text(spec, events):
    return Radar(spec).command(json.dumps({"cmd": "scan", "events": events}))


def event(rng, ts):  # from few values: severities often tie
    if rng.random() < 0.3:
        return liq(ts, rng.choice([10.0, 50.0, 100.0]))
    oi, fr = rng.choice([100.0, 105.0, 110.0, 120.0]), rng.choice([0.0004, -0.0006, 0.0005, 0.0])
    return deriv(ts, oi=oi, fr=fr)


@pytest.mark.parametrize("seed", range(12))
def test_split_scans_merge_to_the_single_scan_byte_for_byte(seed):
    rng = random.Random(seed)
    threshold, limit = rng.choice([-1, 0.0, 0.2, 0.5]), rng.choice([None, 1, 2, 5])
    spec = Spec.from_json(json.dumps(make_spec(*SIGNALS, threshold=threshold, limit=limit)))
    events = {s: [event(rng, ts) for ts in range(1, rng.randrange(1, 7))] for s in SYMBOLS}
    whole = scan_text(spec.to_json(), events)

    def parts(n, scan):  # the scans of disjoint groups of symbols (some possibly empty)
        groups = [[] for _ in range(n)]
        for s in SYMBOLS:
            groups[rng.randrange(n)].append(s)
        return [scan({s: events[s] for s in group}) for group in groups]

    assert merge_reports(parts(4, lambda part: scan_text(spec.to_json(), part)), spec) == whole
    # Reports from a radar without limit or threshold give the same answer.
    loose = json.dumps(make_spec(*SIGNALS, threshold=-1))
    assert merge_reports(parts(3, lambda part: scan_text(loose, part)), spec.to_json()) == whole
    # Report values merge like the texts.
    screener = Screener(spec)

    def typed_scan(part):
        return screener.scan({s: [typed(e) for e in evs] for s, evs in part.items()})

    merged = merge_reports(parts(3, typed_scan), spec)
    assert merged == typed_scan(events) and report_text(merged) == whole


@pytest.mark.parametrize(
    ("severities", "limit", "expected"),
    [
        # ties across reports: byte order of the symbols decides
        ({"B": 0.5, "A": 0.5, "é": 0.5, "Z": 0.5}, None, ["A", "B", "Z", "é"]),
        ({"BTC-PERP": 1.0, "BTC": 1.0}, 1, ["BTC"]),
        # a limit smaller than one report's alerts
        ({"A": 0.1, "B": 0.9, "C": 0.8, "D": 0.7}, 2, ["B", "C"]),
    ],
)
def test_ranking_rule(severities, limit, expected):
    spec = Spec.from_json(json.dumps(make_spec(sig("funding_flip", 1), limit=limit)))
    reports = []
    for symbol, v in severities.items():
        alert = dict(symbol=symbol, severity=v, factors={"funding_flip(1)": v, "severity": v}, ts=1)
        reports.append(json.dumps({"alerts": [alert], "scanned": 2}, ensure_ascii=False))
    merged = json.loads(merge_reports(reports, spec))
    assert [a["symbol"] for a in merged["alerts"]] == expected
    assert merged["scanned"] == 2 * len(severities)


def test_empty_reports_and_errors():
    spec = json.dumps(make_spec(*SIGNALS))
    empty = '{"alerts":[],"scanned":0}'
    assert merge_reports([empty, empty], spec) == empty
    assert merge_reports([Report((), 0, Spec.from_json(spec).labels)], spec).alerts == ()
    with pytest.raises(ValueError, match="at least one report"):
        merge_reports([], spec)
    with pytest.raises(TypeError, match="all of one kind"):
        merge_reports([empty, Report((), 0)], spec)
    # An error response among the texts is raised as the radar's error.
    with pytest.raises(RadarError) as exc:
        merge_reports([empty, '{"error":"bad spec: missing \\"cmd\\"","ok":false}'], spec)
    assert str(exc.value) == 'bad spec: missing "cmd"'
    one = scan_text(spec, {"BTC": [deriv(1, oi=100), deriv(2, oi=120)]})
    with pytest.raises(ValueError, match="disjoint"):
        merge_reports([one, one], spec)
    with pytest.raises(ValueError, match="not those of the spec"):
        merge_reports([one], json.dumps(make_spec(sig("funding_flip", 0.5))))


FORMATS = (  # value=text: plain from 1e-5 to below 1e16, exponent form outside
    "0.0=0.0 -0.0=-0.0 1.0=1.0 0.5=0.5 0.66666667=0.66666667 0.00001=0.00001 "
    "0.000015=0.000015 1e-8=1e-8 1.5e-7=1.5e-7 1e16=1e+16 1.5e17=1.5e+17 "
    "1e15=1000000000000000.0 123.45=123.45 -2.5e-9=-2.5e-9 nan=null inf=null"
)


@pytest.mark.parametrize("value, text", [pair.split("=") for pair in FORMATS.split()])
def test_format_double(value, text):
    assert format_double(float(value)) == text


@settings(max_examples=300, deadline=None)
@given(st.integers(0, 100_000_000))
def test_format_double_writes_quantized_values_as_the_radar(n):
    # Every factor and severity is a multiple of 1e-8 in [0, 1].
    radar = Radar(json.dumps(make_spec(sig("funding_flip", 1), threshold=-1)))
    events = {"S": [deriv(1, fr=0.0), deriv(2, fr=n * 1e-8)]}
    text = radar.command(json.dumps({"cmd": "scan", "events": events}))
    reported = json.loads(text)["alerts"][0]["severity"]
    assert f'"severity":{format_double(reported)},' in text
