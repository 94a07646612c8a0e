"""The command layer: dispatch on "cmd", member lookups, atomicity of failing
commands and the writing of the radar's own responses.

fuzz/fuzz_commands.cpp checks on every request it makes the exact
missing-member and unknown-command answers (repeated members read as their
last value), that nothing but a successful command changes the "alerts"
answer, that reset and set_spec empty it, and that scans follow the spec in
force; the rows here are what it does not pin."""

import json

import pytest
from conftest import (
    FUNDING,
    alerts,
    command,
    deriv,
    error_response,
    feed_batch,
    make_spec,
    run,
    sig,
)

OK = '{"ok":true}'
EV = json.dumps(deriv(1, 100.0, 0.0004, 50.0))
NAME = 'a\bb\t\n\f\r\x00\x01\x0b\x1a\x1e\x1f q"b\\s/ \x7fé中😀\u2028\u2029'
NAME_ERROR = '{"error":"bad spec: unknown cmd: %s","ok":false}' % (
    'a\\bb\\t\\n\\f\\r\\u0000\\u0001\\u000b\\u001a\\u001e\\u001f q\\"b\\\\s/ \x7fé中😀\u2028\u2029'
)


@pytest.mark.parametrize(
    "text, expected",
    [
        # members a command does not read are ignored, whatever their type
        ('{"cmd":"reset","spec":{"signals":[]}}', OK),
        ('{"cmd":"feed","symbol":"S","event":%s,"events":1,"extra":{"a":[1,2]}}' % EV, OK),
        ('{"cmd":"scan","events":{},"symbol":5,"event":null}', '{"alerts":[],"scanned":0}'),
        # \u escapes (surrogate pairs included) and raw UTF-8 decode to the same
        # name, written back with only quote, backslash and controls escaped
        (json.dumps({"cmd": NAME}), NAME_ERROR),
        (json.dumps({"cmd": NAME}, ensure_ascii=False), NAME_ERROR),
        # 127 levels in all pass (the 128th: test_hostile_inputs)
        ('{"cmd":"version","x":%s}' % ("[" * 126 + "]" * 126), '{"version":"0.2.0"}'),
    ],
)
def test_dispatch(radar, text, expected):
    assert command(radar, text) == expected


def test_failing_or_empty_commands_change_nothing(radar):
    bad_event = {"kind": "derivatives", "open_interest": 1, "funding_rate": 1, "mark_price": 1}
    feed_batch(radar, "BTC", [deriv(1, fr=0.0004), deriv(2, fr=-0.0006)])
    before = alerts(radar).raw
    assert '"funding_flip(0.001)":1.0' in before
    for request, message in [
        # feed_batch is all or nothing: the good events before the bad one are not kept
        ({"cmd": "feed_batch", "symbol": "BTC", "events": [deriv(3, fr=4e-4), deriv(4), bad_event]}, "parse: missing field `ts`"),
        ({"cmd": "feed_batch", "symbol": "ETH", "events": [deriv(1), bad_event]}, "parse: missing field `ts`"),
        ({"cmd": "set_spec", "spec": make_spec(FUNDING, limit=0)}, "bad spec: limit must be greater than zero"),
        ({"cmd": "set_spec", "spec": make_spec(sig("oi_delta", 1))}, "bad spec: oi_delta takes 2 parameter(s), got 1"),
        ({"cmd": "feed_batch", "symbol": "XRP", "events": []}, None),  # no symbol from an empty batch
    ]:  # fmt: skip
        assert run(radar, request).raw == (error_response(message) if message else OK)
        assert alerts(radar).raw == before
