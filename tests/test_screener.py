"""Screener: the same answers as the raw protocol on the same events, errors
raised with the radar's texts, misuse refused without touching the state."""

import json
import threading

import pytest
from conftest import event_object, raw_form, typed
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from norsel_radar import (
    Derivatives,
    Liquidation,
    OrderBook,
    Radar,
    RadarError,
    Report,
    Screener,
    Signal,
    Spec,
    _wire,
    sample,
)

# ---------------------------------------------------------------- strategies

SCALES = st.sampled_from([0.001, 0.05, 0.1, 0.5, 1.0, 400.0, 0.0, -1.0])
PARAMS = {
    "oi_delta": st.tuples(st.integers(0, 5), SCALES),
    "funding_flip": st.tuples(SCALES),
    "book_imbalance": st.tuples(SCALES),
    "liq_cluster": st.tuples(st.integers(0, 5), SCALES),
    "oi_price_divergence": st.tuples(st.integers(0, 4), SCALES),
}
SIGNALS = st.sampled_from(sorted(PARAMS)).flatmap(
    lambda kind: st.builds(Signal, st.just(kind), PARAMS[kind], st.sampled_from([0, 0.5, 1, 2]))
)
SPECS = st.builds(
    Spec,
    st.lists(SIGNALS, min_size=1, max_size=5, unique_by=lambda s: (s.kind, s.params)),
    threshold=st.sampled_from([-1, 0, 0.1, 0.25, 0.5, 0.9]),
    limit=st.one_of(st.none(), st.integers(1, 4)),
)
# Realistic values mostly, any finite double sometimes (all must travel exactly).
NUMBERS = st.one_of(
    st.sampled_from([0.0, 1.0, 100.0, 105.0, 110.0, -0.0006, 0.0004, 50.0, 47.5]),
    st.floats(-1e3, 1e3),
    st.floats(allow_nan=False, allow_infinity=False),
)
TS = st.one_of(st.integers(0, 50), st.integers(-(2**63), 2**63 - 1))
EVENTS = st.one_of(
    st.builds(Derivatives, TS, NUMBERS, NUMBERS, NUMBERS),
    st.builds(OrderBook, TS, NUMBERS, NUMBERS, NUMBERS, NUMBERS),
    st.builds(Liquidation, TS, st.sampled_from(["buy", "sell"]), NUMBERS, NUMBERS),
)
SYMBOLS = st.one_of(st.sampled_from(["BTC", "ETH", "BTC-PERP", ""]), st.text(max_size=5))
BATCHES = st.dictionaries(SYMBOLS, st.lists(EVENTS, max_size=10), max_size=8)


def raw_scan(spec, events_by_symbol):
    """The radar's own answer, through a request written with the standard library."""
    request = {
        "cmd": "scan",
        "events": {s: [event_object(e) for e in evs] for s, evs in events_by_symbol.items()},
    }
    return json.loads(Radar(spec.to_json()).command(json.dumps(request)))


def check_report(report, spec, expected):
    assert isinstance(report, Report) and report.labels == spec.labels
    assert raw_form(report) == expected
    assert all(list(a.factors) == list(spec.labels) for a in report.alerts)


# ---------------------------------------------------------------- the same answers


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(SPECS, BATCHES, st.sampled_from([1, 3, 1 << 16]))
def test_scan_answers_as_the_raw_protocol(spec, batch, piece_events):
    # Small pieces make one scan of many commands, ranked together afterwards.
    saved, _wire.PIECE_EVENTS = _wire.PIECE_EVENTS, piece_events
    try:
        report = Screener(spec).scan(batch)
    finally:
        _wire.PIECE_EVENTS = saved
    check_report(report, spec, raw_scan(spec, batch))


FEEDS = st.lists(
    st.tuples(
        st.sampled_from(["BTC", "ETH", 'é"\n']),
        st.lists(EVENTS, min_size=1, max_size=4),
        st.booleans(),
    ),
    max_size=15,
)


@settings(max_examples=40, deadline=None)
@given(SPECS, FEEDS)
def test_feeds_and_alerts_answer_as_the_raw_protocol(spec, feeds):
    screener, radar = Screener(spec), Radar(spec.to_json())
    for symbol, events, one_by_one in feeds:
        if one_by_one:
            for event in events:
                screener.feed(symbol, event)
                request = {"cmd": "feed", "symbol": symbol, "event": event_object(event)}
                assert radar.command(json.dumps(request)) == '{"ok":true}'
        else:
            screener.feed_batch(symbol, iter(events))  # any iterable
            request = {
                "cmd": "feed_batch",
                "symbol": symbol,
                "events": [event_object(e) for e in events],
            }
            assert radar.command(json.dumps(request)) == '{"ok":true}'
    check_report(screener.alerts(), spec, json.loads(radar.command('{"cmd":"alerts"}')))


def test_sample_data_ranks_the_planted_symbols():
    events = sample.generate_events(40, 300, seed=3)
    batch = {s: [typed(e) for e in evs] for s, evs in events.items()}
    screener = Screener(Spec.default())
    report = screener.scan(batch)
    assert {a.symbol for a in report.alerts[:4]} == set(sample.PLANTED)
    check_report(report, Spec.default(), raw_scan(Spec.default(), batch))
    for symbol, evs in batch.items():
        screener.feed_batch(symbol, evs)
    assert screener.alerts() == report  # fed or scanned, the same states


def test_commands_of_the_protocol():
    screener = Screener(Spec.default().to_json())  # RadarSpec text works as well
    assert screener.version() == Radar.version() == "0.2.0"
    screener.feed("BTC", Derivatives(1, 100, 0.0004, 50))
    assert screener.alerts().scanned == 1
    screener.reset()
    assert screener.alerts() == Report((), 0, Spec.default().labels)
    screener.feed("BTC", Derivatives(1, 100, 0.0004, 50))
    quick = Spec([Signal("funding_flip", [0.001])], threshold=-1)
    screener.set_spec(quick)
    assert screener.spec == quick and screener.alerts() == Report((), 0, quick.labels)
    screener.feed_batch("BTC", [Derivatives(1, 1, 0.0004, 1), Derivatives(2, 1, -0.0006, 1)])
    screener.feed_batch("ETH", [])  # an empty batch creates no state
    (alert,) = screener.alerts().alerts
    assert alert == (alert.symbol, 1.0, {"funding_flip(0.001)": 1.0}, 2)
    assert screener.scan({}) == Report((), 0, quick.labels)
    assert screener.scan({"X": []}).alerts[0].ts == -(2**63)


# ---------------------------------------------------------------- errors and misuse

QUICK = Spec([Signal("funding_flip", [0.001])], threshold=-1)


def fed_screener():
    screener = Screener(QUICK)
    screener.feed_batch("BTC", [Derivatives(1, 1, 0.0004, 1), Derivatives(2, 1, -0.0006, 1)])
    screener.feed("ETH", Liquidation(3, "sell", 2, 3))
    return screener


def forged(*fields):
    """An event made around its constructor's checks."""
    return tuple.__new__(Derivatives, fields)


@pytest.mark.parametrize(
    "call, error, words",
    [
        (
            lambda s: s.feed("BTC", {"kind": "derivatives"}),
            TypeError,
            "event must be a Derivatives",
        ),
        (lambda s: s.feed("BTC", (1, 1.0, 1.0, 1.0)), TypeError, "got tuple"),
        (lambda s: s.feed(5, Derivatives(9, 1, 1, 1)), TypeError, "symbol must be a str, got int"),
        (lambda s: s.feed(None, Derivatives(9, 1, 1, 1)), TypeError, "symbol must be a str"),
        (lambda s: s.feed("\ud800", Derivatives(9, 1, 1, 1)), ValueError, "lone surrogate"),
        (lambda s: s.feed("BTC", forged(2**64, 1.0, 1.0, 1.0)), ValueError, "cannot be encoded"),
        (
            lambda s: s.feed_batch("BTC", [Derivatives(9, 1, 1, 1), Derivatives(9, 1, 1, 1), "x"]),
            TypeError,
            "events[2] must be a Derivatives, OrderBook or Liquidation, got str",
        ),
        (lambda s: s.feed_batch("BTC", Derivatives(9, 1, 1, 1)), TypeError, "got one Derivatives"),
        (lambda s: s.feed_batch("BTC", None), TypeError, "events must be a sequence of events"),
        (lambda s: s.feed_batch(b"BTC", []), TypeError, "symbol must be a str, got bytes"),
        (lambda s: s.scan([("BTC", [])]), TypeError, "scan needs a mapping"),
        (lambda s: s.scan({1: []}), TypeError, "symbol must be a str, got int"),
        (
            lambda s: s.scan({"A": [], "B": [Derivatives(9, 1, 1, 1), 7]}),
            TypeError,
            "events['B'][1]",
        ),
        (lambda s: s.set_spec({"signals": []}), TypeError, "a Spec or RadarSpec JSON text"),
        (lambda s: s.set_spec('{"signals":[]}'), RadarError, "bad spec: at least one signal"),
        (
            lambda s: s.feed("BTC", forged(9, float("nan"), 1.0, 1.0)),
            RadarError,
            "parse: invalid type: null, expected f64",
        ),
        (
            lambda s: s.feed_batch(
                "BTC", [Derivatives(9, 1, 1, 1), forged(9, 1.0, float("inf"), 1.0)]
            ),
            RadarError,
            "parse: invalid type: null, expected f64",
        ),
    ],
)
def test_misuse_is_refused_and_changes_nothing(call, error, words):
    screener = fed_screener()
    before = screener.alerts()
    with pytest.raises(error) as exc:
        call(screener)
    assert words in str(exc.value)
    if error is RadarError:  # the radar's own error response, its kind kept apart
        assert exc.value.kind == "parse" or exc.value.kind == "bad spec"
        assert str(exc.value) == exc.value.kind + ": " + exc.value.message
    assert screener.alerts() == before and screener.spec == QUICK


def test_bad_spec_text_raises_the_radars_error():
    text = '{"signals":[{"kind":"funding_flip","params":[0.001]}],"threshold":"x"}'
    with pytest.raises(ValueError) as raw:
        Radar(text)
    with pytest.raises(RadarError) as exc:
        Screener(text)
    assert exc.value.kind == "parse" and str(exc.value) == str(raw.value)
    assert exc.value.message.startswith('invalid type: string "x", expected f64 at line 1 column')
    with pytest.raises(TypeError, match="a Spec or RadarSpec JSON text"):
        Screener(None)


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.feed("BTC", Derivatives(9, 1, 1, 1)),
        lambda s: s.feed_batch("BTC", [Derivatives(9, 1, 1, 1)]),
        lambda s: s.scan({"A": [Derivatives(9, 1, 1, 1)]}),
        lambda s: s.alerts(),
        lambda s: s.reset(),
        lambda s: s.set_spec(Spec.default()),
        lambda s: s.version(),
    ],
)
def test_use_from_another_thread_is_refused(call):
    screener = fed_screener()
    before = screener.alerts()
    caught = []

    def other():
        try:
            call(screener)
        except (
            Exception
        ) as exc:  # the radar's panic, which `except Exception` misses, is translated
            caught.append(exc)

    thread = threading.Thread(target=other)
    thread.start()
    thread.join(60)
    assert len(caught) == 1 and isinstance(caught[0], RuntimeError)
    assert "belongs to the thread that created it" in str(caught[0])
    assert screener.alerts() == before and screener.spec == QUICK
