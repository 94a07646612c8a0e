"""Screener: the same answers as the raw protocol on the same events, errors
raised with the radar's texts; misuse of a Screener or an AsyncScreener
refused without touching the state."""

import asyncio
import contextlib
import gc
import inspect
import json
from concurrent.futures import ThreadPoolExecutor

import pytest
from conftest import event_object, raw_form
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from norsel_radar import (
    AsyncScreener,
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
KEPT = st.sampled_from(["BTC", "ETH", 'é"\n'])  # a few symbols, so that their states grow
FEED = st.tuples(st.just("feed"), KEPT, EVENTS)
FEED_BATCH = st.tuples(st.just("feed_batch"), KEPT, st.lists(EVENTS, max_size=4))
RESET, SET_SPEC = st.tuples(st.just("reset")), st.tuples(st.just("set_spec"), SPECS)
KEPT_OPS = (FEED, FEED_BATCH, FEED, FEED_BATCH, RESET, SET_SPEC)  # commands of kept states
OPS = st.lists(st.one_of(*KEPT_OPS), max_size=20)
REQUEST = {  # each command's members, as the protocol spells them
    "feed": lambda s, event: {"symbol": s, "event": event_object(event)},
    "feed_batch": lambda s, evs: {"symbol": s, "events": [event_object(e) for e in evs]},
    "reset": lambda: {},
    "set_spec": lambda spec: {"spec": json.loads(spec.to_json())},
}


@contextlib.contextmanager
def piece_events(n):
    """Scans cut into pieces of about n events: one scan of many commands."""
    saved, _wire.PIECE_EVENTS = _wire.PIECE_EVENTS, n
    try:
        yield
    finally:
        _wire.PIECE_EVENTS = saved


# ---------------------------------------------------------------- the same answers


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(SPECS, OPS, BATCHES, st.sampled_from([1, 3, 1 << 16]))
def test_answers_as_the_raw_protocol(spec, ops, batch, piece_size):
    screener, radar = Screener(spec.to_json()), Radar(spec.to_json())  # RadarSpec text works too

    def raw(cmd, **members):  # the request written with the standard library
        return radar.command(json.dumps({"cmd": cmd, **members}))

    for name, *args in ops:
        getattr(screener, name)(*[iter(a) if type(a) is list else a for a in args])  # any iterable
        assert raw(name, **REQUEST[name](*args)) == '{"ok":true}'
        spec = args[0] if name == "set_spec" else spec
    assert screener.spec == spec and screener.version() == json.loads(raw("version"))["version"]
    expected_alerts = raw("alerts")
    with piece_events(piece_size):
        scanned = screener.scan(batch)
    expected_scan = raw("scan", events={s: [event_object(e) for e in v] for s, v in batch.items()})
    # The scan neither read nor changed the fed states.
    for report, text in [(screener.alerts(), expected_alerts), (scanned, expected_scan)]:
        assert isinstance(report, Report) and report.labels == spec.labels
        assert raw_form(report) == json.loads(text)
        assert all(list(a.factors) == list(spec.labels) for a in report.alerts)


QUICK = Spec([Signal("funding_flip", [0.001])], threshold=-1)
D = Derivatives(9, 1, 1, 1)
FLIP = [Derivatives(1, 1, 0.0004, 1), Derivatives(2, 1, -0.0006, 1)]


# ---------------------------------------------------------------- errors and misuse


def forged(*fields):
    """An event made around its constructor's checks."""
    return tuple.__new__(Derivatives, fields)


def elsewhere(call):
    """The call made on another thread (an AsyncScreener's in an event loop there)."""

    def there(screener):
        result = call(screener)
        return asyncio.run(result) if inspect.isawaitable(result) else result

    def made(screener):  # the thread's exception, even the radar's panic, is raised here
        with ThreadPoolExecutor(1) as pool:
            return pool.submit(there, screener).result(60)

    return made


def closed(call):
    async def made(screener):
        await screener.aclose()
        await screener.aclose()  # twice is harmless
        return await call(screener)

    return made


NAN = float("nan")
BOTH, SYNC, ASYNC = ("sync", "async"), ("sync",), ("async",)
NULL_F64 = "parse: invalid type: null, expected f64"
OWNED = "belongs to the thread that created it"
EVENTS_2 = "events[2] must be a Derivatives, OrderBook or Liquidation, got str"
MISUSE = [
    (BOTH, lambda s: s.feed("A", {"kind": "orderbook"}), TypeError, "event must be a Derivatives"),
    (BOTH, lambda s: s.feed("A", Derivatives(NAN, 1, 1, 1)), ValueError, "ts must be finite"),
    (BOTH, lambda s: s.feed(5, D), TypeError, "symbol must be a str, got int"),
    (BOTH, lambda s: s.feed("\ud800", D), ValueError, "lone surrogate"),
    (BOTH, lambda s: s.feed_batch("A", [D, D, "x"]), TypeError, EVENTS_2),
    (BOTH, lambda s: s.feed_batch("A", D), TypeError, "got one Derivatives"),
    (BOTH, lambda s: s.feed_batch(b"A", []), TypeError, "symbol must be a str, got bytes"),
    (BOTH, lambda s: s.scan([("A", [])]), TypeError, "scan needs a mapping"),
    (BOTH, lambda s: s.scan({"A": [], "B": [D, 7]}), TypeError, "events['B'][1]"),
    (BOTH, lambda s: s.scan({"A": [forged(1, NAN, 1.0, 1.0)]}), RadarError, NULL_F64),
    (BOTH, lambda s: s.set_spec({"signals": []}), TypeError, "a Spec or RadarSpec JSON text"),
    (BOTH, lambda s: type(s)(None), TypeError, "a Spec or RadarSpec JSON text"),
    (BOTH, lambda s: s.set_spec('{"signals":[]}'), RadarError, "bad spec: at least one signal"),
    # An AsyncScreener queues these feeds; its next call raises the error (test_async).
    (SYNC, lambda s: s.feed("A", forged(NAN, 1.0, 1.0, 1.0)), RadarError, "expected i64"),
    (SYNC, lambda s: s.feed("A", forged(9, NAN, 1.0, 1.0)), RadarError, NULL_F64),
    (SYNC, lambda s: s.feed_batch("A", [D, forged(9, 1.0, NAN, 1.0)]), RadarError, NULL_F64),
    (SYNC, lambda s: s.feed("A", forged(2**64, 1.0, 1.0, 1.0)), ValueError, "cannot be encoded"),
    (SYNC, elsewhere(lambda s: s.feed("A", D)), RuntimeError, OWNED),
    (SYNC, elsewhere(lambda s: s.set_spec(Spec.default())), RuntimeError, OWNED),
    (ASYNC, elsewhere(lambda s: s.feed("A", D)), RuntimeError, "belongs to another event loop"),
    (ASYNC, elsewhere(lambda s: s.alerts()), RuntimeError, "belongs to another event loop"),
    (ASYNC, closed(lambda s: s.feed("A", D)), RuntimeError, "this AsyncScreener is closed"),
    (ASYNC, closed(lambda s: s.scan({})), RuntimeError, "this AsyncScreener is closed"),
]


@pytest.mark.parametrize(
    "flavour, call, error, words", [(f, *row) for fs, *row in MISUSE for f in fs]
)
def test_misuse_is_refused_and_changes_nothing(flavour, call, error, words):
    async def answer(result):  # a Screener answers, an AsyncScreener's coroutine is awaited
        return await result if inspect.isawaitable(result) else result

    async def main():
        screener = (Screener if flavour == "sync" else AsyncScreener)(QUICK)
        await answer(screener.feed_batch("BTC", FLIP))
        await answer(screener.feed("ETH", Liquidation(3, "sell", 2, 3)))
        before = await answer(screener.alerts())
        with pytest.raises(error) as exc:
            await answer(call(screener))
        assert words in str(exc.value)
        if error is RadarError:  # the radar's own error response, its kind kept apart
            assert exc.value.kind in ("parse", "bad spec")
            assert str(exc.value) == exc.value.kind + ": " + exc.value.message
        if not getattr(screener, "closed", False):
            assert await answer(screener.alerts()) == before and screener.spec == QUICK
        if flavour == "async":
            await screener.aclose()
            assert not screener._worker.thread.is_alive()

    asyncio.run(asyncio.wait_for(main(), 60))
    # Collected here, a Screener caught in the raised error's cycle is dropped on
    # its own thread, not on whichever thread the collector would next run on.
    gc.collect()
