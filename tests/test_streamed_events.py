"""Events in a request's "events" member are decoded while the request is
read; a single event in "event" is decoded from the parsed value, or straight
from the text when the feed is written plainly. All roads must agree on every
event, valid or not, including repeated members."""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from norsel_radar import Radar

SPEC = json.dumps(
    {
        "signals": [
            {"kind": "oi_delta", "params": [2, 0.1]},
            {"kind": "liq_cluster", "params": [3, 10]},
            {"kind": "book_imbalance", "params": [0.5]},
        ],
        "threshold": -1,
    }
)

FIELDS = [
    "kind",
    "ts",
    "open_interest",
    "funding_rate",
    "mark_price",
    "bid_volume",
    "ask_volume",
    "best_bid",
    "best_ask",
    "side",
    "qty",
    "price",
    "zzz",
    "Kind",
]
VALUES = [
    '"derivatives"',
    '"orderbook"',
    '"liquidation"',
    '"buy"',
    '"sell"',
    '"Derivatives"',
    "1",
    "-5",
    "2.5",
    "-0",
    "9223372036854775808",
    "1e3",
    "null",
    "true",
    "[]",
    "{}",
    '{"buy":null}',
    '{"sell":{}}',
    '{"buy":1}',
    '["x"]',
    '"x\\u0041"',
]


def member_text(pairs):
    return "{" + ",".join(f'"{k}":{v}' for k, v in pairs) + "}"


members = st.lists(st.tuples(st.sampled_from(FIELDS), st.sampled_from(VALUES)), max_size=9)


def valid_members():
    return [
        ("kind", '"liquidation"'),
        ("ts", "7"),
        ("side", '"sell"'),
        ("qty", "2"),
        ("price", "1"),
    ]


@settings(max_examples=300, deadline=None)
@given(members, st.randoms(use_true_random=False))
def test_streamed_and_single_decoding_agree(pairs, rnd):
    # Bias towards nearly valid events so that most cases get past the tag.
    if rnd.random() < 0.5:
        base = valid_members()
        base.extend(pairs[:2])
        rnd.shuffle(base)
        pairs = base
    event = member_text(pairs)
    single = Radar(SPEC).command(f'{{"cmd":"feed","symbol":"S","event":{event}}}')
    batch = Radar(SPEC).command(f'{{"cmd":"feed_batch","symbol":"S","events":[{event}]}}')
    scan = Radar(SPEC).command(f'{{"cmd":"scan","events":{{"S":[{event}]}}}}')
    assert single == batch
    if single != '{"ok":true}':
        assert scan == single
    else:
        fed = Radar(SPEC)
        fed.command(f'{{"cmd":"feed","symbol":"S","event":{event}}}')
        assert scan == fed.command('{"cmd":"alerts"}')


def test_first_bad_element_of_each_list_is_reported_in_symbol_order():
    bad_b = '{"kind":"orderbook","ts":1}'
    bad_a = '["liquidation",1,"buy"]'
    text = f'{{"cmd":"scan","events":{{"B":[{bad_b}],"A":[{{"kind":"x"}},{bad_a}]}}}}'
    assert json.loads(Radar(SPEC).command(text))["error"] == (
        "parse: unknown variant `x`, expected one of `derivatives`, `orderbook`, `liquidation`"
    )


EVENT = '{"kind":"liquidation","ts":7,"side":"sell","qty":2,"price":1}'
PLAIN = f'{{"cmd":"feed","symbol":"S","event":{EVENT}}}'


# Feeds the text road declines (repeated members are in the dispatcher's
# tests): the general road must feed what the plain form feeds.
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
    assert odd.command('{"cmd":"alerts"}') == plain.command('{"cmd":"alerts"}')


# A feed read straight from the text is only applied once the whole text
# is known to be good.
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
    assert json.loads(radar.command('{"cmd":"alerts"}'))["alerts"] == []
