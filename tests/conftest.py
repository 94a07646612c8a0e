"""Shared helpers for the radar's behaviour tests.

Test modules import these names with ``from conftest import ...``; pytest puts
this directory on ``sys.path`` because ``tests/`` is not a package.
"""

import json

import pytest

I64_MIN = -9223372036854775808
I64_MAX = 9223372036854775807

KIND_NAMES = "`oi_delta`, `funding_flip`, `book_imbalance`, `liq_cluster`, `oi_price_divergence`"
EVENT_KINDS = "`derivatives`, `orderbook`, `liquidation`"


def sig(kind, *params, weight=None):
    """A signal object; params are given positionally."""
    s = {"kind": kind, "params": list(params)}
    if weight is not None:
        s["weight"] = weight
    return s


def make_spec(*signals, threshold=None, limit=None, **members):
    """A spec object with the given signals; threshold/limit only when given."""
    s = {"signals": list(signals), "threshold": threshold, "limit": limit, **members}
    return {k: v for k, v in s.items() if v is not None or k in members}


FUNDING = sig("funding_flip", 0.001)


def deriv(ts, oi=1.0, fr=0.0, mp=1.0):
    ev = {"kind": "derivatives", "ts": ts, "open_interest": oi}
    return dict(ev, funding_rate=fr, mark_price=mp)


def book(ts, bid, ask, best_bid=1.0, best_ask=2.0):
    ev = {"kind": "orderbook", "ts": ts, "bid_volume": bid, "ask_volume": ask}
    return dict(ev, best_bid=best_bid, best_ask=best_ask)


def liq(ts, qty, side="buy", price=1.0):
    return {"kind": "liquidation", "ts": ts, "side": side, "qty": qty, "price": price}


def derivs(oi=None, fr=None, mp=None):
    """Derivatives events at ts 1, 2, ... from parallel value lists (missing lists are filled)."""
    n = len(next(x for x in (oi, fr, mp) if x is not None))
    rows = zip(oi or [1.0] * n, fr or [0.0] * n, mp or [1.0] * n)
    return [deriv(i, *row) for i, row in enumerate(rows, 1)]


class Reply(dict):
    """A parsed response object that also keeps the raw response text."""

    raw: str


def dumps(obj):
    return json.dumps(obj, allow_nan=False)


def new_radar(spec):
    """A radar from a spec object (dumped to text) or from spec text."""
    from norsel_radar import Radar

    return Radar(spec if isinstance(spec, str) else dumps(spec))


def command(radar, text):
    out = radar.command(text)
    assert isinstance(out, str)
    return out


def run(radar, obj):
    """Send a request object (or raw request text); return the parsed reply with .raw."""
    reply = Reply(json.loads(raw := command(radar, obj if isinstance(obj, str) else dumps(obj))))
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


def factors_of(spec, events):
    """The factor map of one symbol scanned with `spec` under threshold -1."""
    rep = scan(new_radar(dict(spec, threshold=-1)), {"S": events})
    assert rep["scanned"] == len(rep["alerts"]) == 1, rep.raw
    return rep["alerts"][0]["factors"]


@pytest.fixture
def radar():
    """A radar with one funding_flip(0.001) signal and threshold -1 (everything reported)."""
    return new_radar(make_spec(FUNDING, threshold=-1))


def typed(event):
    """The typed event of an event object."""
    import norsel_radar

    name, fields = {
        "derivatives": ("Derivatives", "ts open_interest funding_rate mark_price"),
        "orderbook": ("OrderBook", "ts bid_volume ask_volume best_bid best_ask"),
        "liquidation": ("Liquidation", "ts side qty price"),
    }[event["kind"]]
    return getattr(norsel_radar, name)(*(event[f] for f in fields.split()))


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
