"""Shared helpers for the radar's behaviour tests.

Test modules import these names with ``from conftest import ...``; pytest puts
this directory on ``sys.path`` because ``tests/`` is not a package.
"""

import json
import math

import pytest

I64_MIN = -9223372036854775808
I64_MAX = 9223372036854775807

KIND_NAMES = "`oi_delta`, `funding_flip`, `book_imbalance`, `liq_cluster`, `oi_price_divergence`"
EVENT_KINDS = "`derivatives`, `orderbook`, `liquidation`"


def _radar_class():
    from norsel_radar import Radar

    return Radar


# --------------------------------------------------------------------------
# spec builders


def sig(kind, *params, weight=None):
    """A signal object; params are given positionally."""
    s = {"kind": kind, "params": list(params)}
    if weight is not None:
        s["weight"] = weight
    return s


def make_spec(*signals, threshold=None, limit=None, **members):
    """A spec object with the given signals; threshold/limit only when given."""
    s = {"signals": list(signals)}
    if threshold is not None:
        s["threshold"] = threshold
    if limit is not None:
        s["limit"] = limit
    s.update(members)
    return s


FUNDING = sig("funding_flip", 0.001)


# --------------------------------------------------------------------------
# event builders


def deriv(ts, oi=1.0, fr=0.0, mp=1.0):
    return {
        "kind": "derivatives",
        "ts": ts,
        "open_interest": oi,
        "funding_rate": fr,
        "mark_price": mp,
    }


def book(ts, bid, ask, best_bid=1.0, best_ask=2.0):
    return {
        "kind": "orderbook",
        "ts": ts,
        "bid_volume": bid,
        "ask_volume": ask,
        "best_bid": best_bid,
        "best_ask": best_ask,
    }


def liq(ts, qty, side="buy", price=1.0):
    return {"kind": "liquidation", "ts": ts, "side": side, "qty": qty, "price": price}


def derivs(oi=None, fr=None, mp=None, ts0=1):
    """A run of derivatives events from parallel value lists (missing lists are filled)."""
    n = len(next(x for x in (oi, fr, mp) if x is not None))
    oi = oi or [1.0] * n
    fr = fr or [0.0] * n
    mp = mp or [1.0] * n
    return [deriv(ts0 + i, o, f, m) for i, (o, f, m) in enumerate(zip(oi, fr, mp))]


# --------------------------------------------------------------------------
# commands


class Reply(dict):
    """A parsed response object that also keeps the raw response text."""

    raw: str


def dumps(obj):
    return json.dumps(obj, allow_nan=False)


def new_radar(spec):
    """A radar from a spec object (dumped to text) or from spec text."""
    return _radar_class()(spec if isinstance(spec, str) else dumps(spec))


def command(radar, text):
    out = radar.command(text)
    assert isinstance(out, str)
    return out


def run(radar, obj):
    """Send a request object (or raw request text); return the parsed reply with .raw."""
    raw = command(radar, obj if isinstance(obj, str) else dumps(obj))
    reply = Reply(json.loads(raw))
    reply.raw = raw
    return reply


def feed(radar, symbol, event):
    return run(radar, {"cmd": "feed", "symbol": symbol, "event": event})


def feed_batch(radar, symbol, events):
    return run(radar, {"cmd": "feed_batch", "symbol": symbol, "events": events})


def scan(radar, events):
    return run(radar, {"cmd": "scan", "events": events})


def alerts(radar):
    return run(radar, {"cmd": "alerts"})


def error_response(text):
    """The exact response text of an error whose message is `text`."""
    return '{"error":%s,"ok":false}' % json.dumps(text, ensure_ascii=False)


def expect_ok(reply):
    assert reply.raw == '{"ok":true}'


def expect_error(reply, text):
    assert reply.raw == error_response(text)


def ctor_error(spec_text):
    """The ValueError text of constructing a radar from spec text."""
    with pytest.raises(ValueError) as exc:
        new_radar(spec_text)
    return str(exc.value)


def only_alert(radar, events_by_symbol):
    """Scan and return the single alert (its threshold must let it pass)."""
    rep = scan(radar, events_by_symbol)
    assert rep["scanned"] == len(events_by_symbol)
    assert len(rep["alerts"]) == 1, rep.raw
    return rep["alerts"][0]


def factors_of(spec, events):
    """The factor map of one symbol scanned with `spec` under threshold -1."""
    spec = dict(spec, threshold=-1)
    return only_alert(new_radar(spec), {"S": events})["factors"]


# --------------------------------------------------------------------------
# arithmetic


def quantize(x):
    """x / 1e-8 rounded half away from zero, times 1e-8, in double arithmetic."""
    y = x / 1e-8
    if math.isnan(y) or math.isinf(y):
        return y * 1e-8
    a = abs(y)
    n = math.floor(a)
    if a - n >= 0.5:
        n += 1
    return math.copysign(n, y) * 1e-8


@pytest.fixture
def radar():
    """A radar with one funding_flip(0.001) signal and threshold -1 (everything reported)."""
    return new_radar(make_spec(FUNDING, threshold=-1))


# --------------------------------------------------------------------------
# the typed layer


def typed(event):
    """The typed event of an event object."""
    from norsel_radar import Derivatives, Liquidation, OrderBook

    kind = event["kind"]
    if kind == "derivatives":
        return Derivatives(
            event["ts"], event["open_interest"], event["funding_rate"], event["mark_price"]
        )
    if kind == "orderbook":
        return OrderBook(
            event["ts"],
            event["bid_volume"],
            event["ask_volume"],
            event["best_bid"],
            event["best_ask"],
        )
    return Liquidation(event["ts"], event["side"], event["qty"], event["price"])


def event_object(event):
    """The protocol's object form of a typed event (written independently of
    the typed layer's own encoding)."""
    return {"kind": event.kind, **event._asdict()}


def raw_form(report):
    """A Report as the radar's parsed report: factors with "severity" among them."""
    return {
        "alerts": [
            {
                "symbol": a.symbol,
                "severity": a.severity,
                "factors": {**a.factors, "severity": a.severity},
                "ts": a.ts,
            }
            for a in report.alerts
        ],
        "scanned": report.scanned,
    }


# --------------------------------------------------------------------------
# history


def reference_reports(rows, spec_text, checkpoints):
    """What one radar fed every event up to each checkpoint answers to
    "alerts": ``rows`` are (symbol, event object) pairs in input order, each
    symbol's events applied in timestamp order (stable), one "feed" each."""
    by_symbol = {}
    for symbol, event in rows:
        by_symbol.setdefault(symbol, []).append(event)
    for events in by_symbol.values():
        events.sort(key=lambda e: e["ts"])
    radar = new_radar(spec_text)
    fed = dict.fromkeys(by_symbol, 0)
    out = []
    for checkpoint in checkpoints:
        for symbol, events in by_symbol.items():
            i = fed[symbol]
            while i < len(events) and events[i]["ts"] <= checkpoint:
                reply = radar.command(
                    json.dumps({"cmd": "feed", "symbol": symbol, "event": events[i]})
                )
                assert reply == '{"ok":true}', reply
                i += 1
            fed[symbol] = i
        out.append(radar.command('{"cmd":"alerts"}'))
    return out
