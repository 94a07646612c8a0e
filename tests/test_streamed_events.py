"""Events in a request's "events" member are decoded while the request is
read; a single event in "event" is decoded from the parsed value, or straight
from the text when the feed is written plainly. All roads must agree on every
event, valid or not: fuzz/fuzz_reading.cpp compares them with the plain
reading, and fuzz/fuzz_commands.cpp a feed with a one-event feed_batch."""

import json

import pytest
from conftest import make_spec, sig
from norsel_radar import Radar

SIGNALS = [sig("oi_delta", 2, 0.1), sig("liq_cluster", 3, 10), sig("book_imbalance", 0.5)]
SPEC = json.dumps(make_spec(*SIGNALS, threshold=-1))
EVENT = '{"kind":"liquidation","ts":7,"side":"sell","qty":2,"price":1}'
PLAIN = f'{{"cmd":"feed","symbol":"S","event":{EVENT}}}'
ALERTS = '{"cmd":"alerts"}'


def test_first_bad_element_of_each_list_is_reported_in_symbol_order():
    bad_b, bad_a = '{"kind":"orderbook","ts":1}', '["liquidation",1,"buy"]'
    text = f'{{"cmd":"scan","events":{{"B":[{bad_b}],"A":[{{"kind":"x"}},{bad_a}]}}}}'
    assert json.loads(Radar(SPEC).command(text))["error"] == (
        "parse: unknown variant `x`, expected one of `derivatives`, `orderbook`, `liquidation`"
    )


# Feeds the text road declines (repeated members: test_dispatcher): the
# general road must feed what the plain form feeds.
@pytest.mark.parametrize(
    "text",
    [
        f'{{"event":{EVENT},"symbol":"S","cmd":"feed"}}',
        f' {{ "cmd" : "feed" ,\n"symbol" : "S" , "event" : {EVENT.replace(",", " , ")} }} ',
        f'{{"cmd":"fe\\u0065d","symbol":"\\u0053","event":{EVENT}}}',
        f'{{"cmd":"feed","symbol":"S","id":[1,{{"x":null}}],"event":{EVENT}}}',
        '{"cmd":"feed","symbol":"S","event":{"kind":"liquidation","ts":7,"side":{"sell":null},'
        '"qty":2,"price":1,"venue":"x"}}',
        '{"cmd":"feed","symbol":"S","event":["liquidation",7,"sell",2,1]}',
        '{"cmd":"feed","symbol":"S","event":{"kind":"liquidation","ts":7,"side":"sell",'
        '"qty":2,"price":1,"a":1,"b":2,"c":3,"d":4,"e":5}}',
    ],
)
def test_feed_written_any_way_feeds_the_same(text):
    odd, plain = Radar(SPEC), Radar(SPEC)
    assert odd.command(text) == plain.command(PLAIN) == '{"ok":true}'
    assert odd.command(ALERTS) == plain.command(ALERTS)


# A feed read straight from the text is only applied once the whole text is known to be good.
@pytest.mark.parametrize(
    "text, error",
    [
        (PLAIN + " x", "parse: trailing characters at line 1 column 99"),
        (PLAIN[:-1] + ",}", "parse: trailing comma at line 1 column 98"),
        (PLAIN[:-1], "parse: EOF while parsing an object at line 1 column 96"),
    ],
)
def test_plain_feed_with_bad_ending_applies_nothing(text, error):
    radar = Radar(SPEC)
    assert json.loads(radar.command(text))["error"] == error
    assert json.loads(radar.command(ALERTS))["alerts"] == []
