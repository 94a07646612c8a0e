"""Typed values: events and their conversions, Spec and Signal, Report and
Alert, RadarError, and what mypy makes of them."""

import dataclasses
import datetime as dt
import pickle
import subprocess
import sys
import textwrap
from decimal import Decimal
from fractions import Fraction

import pytest
from norsel_radar import (
    Alert,
    Derivatives,
    Liquidation,
    OrderBook,
    RadarError,
    Report,
    Signal,
    Spec,
    sample,
)

UTC = dt.timezone.utc
I64_MAX = 2**63 - 1
JUNE = 1717200000000  # 2024-06-01T00:00:00Z


# ---------------------------------------------------------------- events


@pytest.mark.parametrize(
    "ts, ms",
    [
        (JUNE + 123, JUNE + 123),  # int: milliseconds as they are
        (-(2**63), -(2**63)),
        (I64_MAX, I64_MAX),
        (1717200000.1234, JUNE + 123),  # float: seconds, to the nearest millisecond
        (0.0015, 2),  # halves to even
        (-0.0015, -2),
        (Decimal("1717200000.1235"), JUNE + 124),
        (Fraction(1, 3), 333),
        (dt.datetime(2024, 6, 1, tzinfo=UTC), JUNE),
        (dt.datetime(2024, 6, 1), JUNE),  # naive: UTC
        (dt.datetime(2024, 6, 1, 2, tzinfo=dt.timezone(dt.timedelta(hours=2))), JUNE),
        (dt.datetime(1969, 12, 31, 23, 59, 59, 999999, tzinfo=UTC), -1),  # rounded down
    ],
)
def test_timestamps_convert(ts, ms):
    assert Derivatives(ts, 1, 2, 3).ts == ms
    assert type(Derivatives(ts, 1, 2, 3).ts) is int


@pytest.mark.parametrize(
    "field, value, error, words",
    [
        ("ts", True, TypeError, "Derivatives.ts must be int milliseconds, float seconds"),
        ("ts", "1717200000000", TypeError, "Derivatives.ts"),
        ("ts", None, TypeError, "Derivatives.ts"),
        ("ts", dt.date(2024, 6, 1), TypeError, "Derivatives.ts"),
        ("ts", float("nan"), ValueError, "Derivatives.ts must be finite"),
        ("ts", float("inf"), ValueError, "Derivatives.ts must be finite"),
        ("ts", Decimal("NaN"), ValueError, "Derivatives.ts must be finite"),
        ("ts", 2**63, ValueError, "Derivatives.ts is out of the signed 64-bit range"),
        ("ts", 1e17, ValueError, "out of the signed 64-bit range"),  # seconds: too far out
        ("open_interest", "1.5", TypeError, "Derivatives.open_interest must be a number"),
        ("open_interest", True, TypeError, "Derivatives.open_interest must be a number"),
        ("open_interest", 1j, TypeError, "Derivatives.open_interest must be a number"),
        ("funding_rate", float("nan"), ValueError, "Derivatives.funding_rate must be finite"),
        ("mark_price", float("-inf"), ValueError, "Derivatives.mark_price must be finite"),
        ("mark_price", Decimal("1e400"), ValueError, "Derivatives.mark_price must be finite"),
        ("mark_price", 10**400, ValueError, "Derivatives.mark_price does not fit a float"),
        ("mark_price", Decimal("sNaN"), ValueError, "Derivatives.mark_price does not fit"),
    ],
)
def test_bad_values_name_their_field(field, value, error, words):
    args = {"ts": 1, "open_interest": 1.0, "funding_rate": 0.0, "mark_price": 2.0, field: value}
    with pytest.raises(error) as exc:
        Derivatives(**args)
    assert words in str(exc.value)


@pytest.mark.parametrize(
    "make, fields",
    [
        (
            lambda: OrderBook(1, Decimal("300"), 100, Fraction(1, 4), 2),
            (1, 300.0, 100.0, 0.25, 2.0),
        ),
        (lambda: Liquidation(5, "BUY", 1, 2.5), (5, "buy", 1.0, 2.5)),
        (lambda: Liquidation(5, "Sell", 1, 2.5), (5, "sell", 1.0, 2.5)),
    ],
)
def test_numbers_and_sides_convert(make, fields):
    event = make()
    assert tuple(event) == fields and all(type(v) is type(w) for v, w in zip(event, fields))


@pytest.mark.parametrize(
    "side, error", [("long", ValueError), ("", ValueError), (1, TypeError), (None, TypeError)]
)
def test_bad_sides(side, error):
    with pytest.raises(error, match="Liquidation.side must be 'buy' or 'sell'"):
        Liquidation(1, side, 1, 1)


def test_numpy_and_pandas_values():
    np = pytest.importorskip("numpy")
    event = Derivatives(np.int64(7), np.float32(1.5), np.float64(-0.25), np.int32(3))
    assert tuple(event) == (7, 1.5, -0.25, 3.0) and type(event.ts) is int
    assert type(event.open_interest) is float
    assert Derivatives(np.float64(1.5), 1, 1, 1).ts == 1500  # numpy floating: seconds
    assert Derivatives(np.datetime64("2024-06-01T00:00:00.123456"), 1, 1, 1).ts == JUNE + 123
    for bad, error in [(np.datetime64("NaT"), ValueError), (np.bool_(True), TypeError)]:
        with pytest.raises(error, match="Derivatives.ts"):
            Derivatives(bad, 1, 1, 1)
    with pytest.raises(ValueError, match="Derivatives.mark_price must be finite"):
        Derivatives(1, 1, 1, np.float64("nan"))
    pd = pytest.importorskip("pandas")
    assert Derivatives(pd.Timestamp("2024-06-01 00:00:00.123999999"), 1, 1, 1).ts == JUNE + 123
    assert Derivatives(pd.Timestamp("2024-06-01", tz="UTC"), 1, 1, 1).ts == JUNE
    with pytest.raises(ValueError, match="Derivatives.ts is not a point in time"):
        Derivatives(pd.NaT, 1, 1, 1)


def test_events_are_small_immutable_values():
    event = Liquidation(1, "buy", 2, 3)
    assert not hasattr(event, "__dict__") and event.kind == "liquidation"
    with pytest.raises(AttributeError):
        event.qty = 5.0
    again = pickle.loads(pickle.dumps(event))
    assert again == event and type(again) is Liquidation
    assert event._replace(qty=7)._asdict() == {"ts": 1, "side": "buy", "qty": 7.0, "price": 3.0}
    with pytest.raises(ValueError, match="Liquidation.qty must be finite"):
        event._replace(qty=float("nan"))  # no way around the checks
    assert {Derivatives.kind, OrderBook.kind, Liquidation.kind} == {
        "derivatives",
        "orderbook",
        "liquidation",
    }


# ---------------------------------------------------------------- Spec and Signal

QUICK = Spec([Signal("funding_flip", [0.001]), Signal("oi_delta", [1, 0.1], 2)], threshold=0.5)


def test_spec_values_round_trip():
    default = Spec.default()
    assert default == Spec.from_json(sample.dumps(sample.default_spec()))
    assert default.labels == (
        "oi_delta(20,0.05)",
        "funding_flip(0.001)",
        "book_imbalance(0.5)",
        "liq_cluster(10,400)",
        "oi_price_divergence(15,0.04)",
    )
    for spec in (default, QUICK):
        assert Spec.from_json(spec.to_json()) == spec
        assert pickle.loads(pickle.dumps(spec)) == spec
        assert hash(Spec.from_json(spec.to_json())) == hash(spec)
    assert QUICK.labels == ("funding_flip(0.001)", "oi_delta(1,0.1)")  # signal order
    assert QUICK != Spec(QUICK.signals, threshold=0.25)
    assert Signal("funding_flip", [0.7]) != Signal("funding_flip", [0.7], 2)
    with pytest.raises(AttributeError):
        QUICK.threshold = 1.0  # type: ignore[misc]
    changed = dataclasses.replace(QUICK, threshold=0.25)  # through the checks again
    assert changed.threshold == 0.25 and changed.labels == QUICK.labels
    with pytest.raises(RadarError, match="limit must be greater than zero"):
        dataclasses.replace(QUICK, limit=0)


@pytest.mark.parametrize(
    "text, spec",
    [
        (
            '[["v"],[],[["oi_delta",[1,0.1],2],{"kind":{"funding_flip":null},"params":[0.001]}],0.5]',
            Spec(
                [Signal("oi_delta", [1, 0.1], 2), Signal("funding_flip", [0.001])], 0.5, None, ["v"]
            ),
        ),
        (
            '{"signals":[["funding_flip",[0.001]]],"limit":null,"other":{"x":[1,2]}}',
            Spec([Signal("funding_flip", [0.001])]),
        ),
        (  # integers beyond 64 bits are doubles to the radar
            '{"signals":[{"kind":"liq_cluster","params":[100000000000000000000,400]}],"limit":3}',
            Spec([Signal("liq_cluster", [1e20, 400])], limit=3),
        ),
        (
            b'{"venues":["\\u00e9"],"signals":[{"kind":"book_imbalance","params":[0.5]}]}',
            Spec([Signal("book_imbalance", [0.5])], venues=["é"]),
        ),
    ],
)
def test_spec_text_in_every_form(text, spec):
    assert Spec.from_json(text) == spec


def test_spec_from_file(tmp_path):
    path = tmp_path / "spec.json"
    path.write_text(QUICK.to_json())
    assert Spec.from_file(path) == Spec.from_file(str(path)) == QUICK
    with pytest.raises(FileNotFoundError):
        Spec.from_file(tmp_path / "missing.json")


@pytest.mark.parametrize(
    "make, kind, message",
    [
        (lambda: Spec.from_json("{}"), "parse", "missing field `signals` at line 1 column 2"),
        (lambda: Spec.from_json(""), "parse", "EOF while parsing a value at line 1 column 0"),
        (lambda: Spec.from_json('{"signals":[]}'), "bad spec", "at least one signal is required"),
        (lambda: Spec([]), "bad spec", "at least one signal is required"),
        (
            lambda: Spec([Signal("funding_flip")]),
            "bad spec",
            "funding_flip takes 1 parameter(s), got 0",
        ),
        (
            lambda: Spec([Signal("liq_cluster", [1, 2], -1)]),
            "bad spec",
            "liq_cluster weight must be finite and non-negative",
        ),
        (
            lambda: Spec(
                [Signal("funding_flip", [0.01]), Signal("funding_flip", [0.010000001], 2)]
            ),
            "bad spec",
            "duplicate signal: funding_flip(0.01)",
        ),
        (lambda: Spec(QUICK.signals, limit=0), "bad spec", "limit must be greater than zero"),
    ],
)
def test_bad_specs_raise_the_radars_error(make, kind, message):
    with pytest.raises(RadarError) as exc:
        make()
    error = exc.value
    assert isinstance(error, ValueError)
    assert (error.kind, error.message, str(error)) == (kind, message, f"{kind}: {message}")
    again = pickle.loads(pickle.dumps(error))
    assert (type(again), again.kind, again.message) == (RadarError, kind, message)


@pytest.mark.parametrize(
    "make, error, words",
    [
        (lambda: Signal("oi_deltaa", [1, 2]), ValueError, "Signal.kind must be one of oi_delta"),
        (lambda: Signal("oi_delta", "12"), TypeError, "Signal.params must be a sequence"),
        (lambda: Signal("oi_delta", [1, "2"]), TypeError, "Signal.params[1] must be a number"),
        (lambda: Signal("funding_flip", [0.1], float("nan")), ValueError, "Signal.weight"),
        (lambda: Spec(Signal("funding_flip", [0.1])), TypeError, "Spec.signals must be a sequence"),
        (lambda: Spec([{"kind": "funding_flip"}]), TypeError, "Spec.signals[0] must be a Signal"),
        (lambda: Spec(QUICK.signals, limit=True), TypeError, "Spec.limit must be an int"),
        (lambda: Spec(QUICK.signals, limit=2.0), TypeError, "Spec.limit must be an int"),
        (lambda: Spec(QUICK.signals, limit=-1), ValueError, "Spec.limit must be a positive count"),
        (lambda: Spec(QUICK.signals, threshold=float("inf")), ValueError, "Spec.threshold"),
        (lambda: Spec(QUICK.signals, venues="abc"), TypeError, "Spec.venues must be a sequence"),
        (lambda: Spec(QUICK.signals, symbols=["a", 1]), TypeError, "Spec.symbols[1] must be a str"),
        (lambda: Spec.from_json(5), TypeError, "Spec.from_json needs str or bytes"),
    ],
)
def test_spec_type_errors_name_the_field(make, error, words):
    with pytest.raises(error) as exc:
        make()
    assert words in str(exc.value) and not isinstance(exc.value, RadarError)


# ---------------------------------------------------------------- results

LABELS = ("oi_delta(1,0.1)", "funding_flip(0.001)")
REPORT = Report(
    (
        Alert("ETH", 0.75, {LABELS[0]: 1.0, LABELS[1]: 0.5}, 2),
        Alert("BTC", 0.5, {LABELS[0]: 0.5, LABELS[1]: 0.5}, -(2**63)),
    ),
    7,
    LABELS,
)


def test_report_records():
    assert REPORT.to_records() == [
        {"symbol": "ETH", "severity": 0.75, LABELS[0]: 1.0, LABELS[1]: 0.5, "ts": 2},
        {"symbol": "BTC", "severity": 0.5, LABELS[0]: 0.5, LABELS[1]: 0.5, "ts": -(2**63)},
    ]
    assert list(REPORT.to_records()[0]) == ["symbol", "severity", *LABELS, "ts"]
    assert pickle.loads(pickle.dumps(REPORT)) == REPORT
    assert Report((), 3, LABELS).to_records() == []


def test_report_to_pandas():
    pytest.importorskip("pandas")
    frame = REPORT.to_pandas()
    assert list(frame.columns) == ["symbol", "severity", *LABELS, "ts"]
    assert frame.to_dict("records") == REPORT.to_records()
    assert str(frame["ts"].dtype) == "int64" and str(frame[LABELS[0]].dtype) == "float64"
    empty = Report((), 3, LABELS).to_pandas()
    assert list(empty.columns) == list(frame.columns) and len(empty) == 0
    assert str(empty["ts"].dtype) == "int64"


def test_report_to_arrow():
    pa = pytest.importorskip("pyarrow")
    table = REPORT.to_arrow()
    assert table.column_names == ["symbol", "severity", *LABELS, "ts"]
    assert table.to_pylist() == REPORT.to_records()
    assert table.schema.field("ts").type == pa.int64()
    assert Report((), 3, LABELS).to_arrow().schema == table.schema


# ---------------------------------------------------------------- static types

STATIC = """
from norsel_radar import Alert, Derivatives, Report, Screener, Signal, Spec

def use(screener: Screener, report: Report, alert: Alert) -> float:
    screener.feed("BTC", Derivatives(1, 2.0, 3.0, 4.0))
    return alert.severity + report.scanned + {good}
"""
MISSPELLED = [
    "alert.severtiy",
    "report.scaned",
    "report.alerts[0].factor['x']",
    "Derivatives(1, 2.0, 3.0, 4.0).open_intrest",
    "len(Spec([Signal('oi_delt', [1, 2])]).labels)",
]


def test_mypy_strict_refuses_misspelled_names(tmp_path):
    pytest.importorskip("mypy")
    files = []
    for i, expr in enumerate(["0.0", *MISSPELLED]):
        path = tmp_path / f"use{i}.py"
        path.write_text(textwrap.dedent(STATIC.format(good=expr)))
        files.append(path.name)
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *files],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    flagged = {line.split(":")[0] for line in proc.stdout.splitlines() if ": error:" in line}
    assert flagged == set(files[1:]), proc.stdout + proc.stderr
