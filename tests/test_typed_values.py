"""Typed values: events and their conversions, Spec and Signal, Report and
Alert, RadarError, and what mypy makes of them."""

import dataclasses
import datetime as dt
import pickle
import subprocess
import sys
from decimal import Decimal
from fractions import Fraction

import pytest
from norsel_radar import Alert, Derivatives, Liquidation, RadarError, Report, Signal, Spec

UTC = dt.timezone.utc
JUNE = 1717200000000  # 2024-06-01T00:00:00Z

# ---------------------------------------------------------------- events


@pytest.mark.parametrize(
    "ts, ms",
    [
        (JUNE + 123, JUNE + 123),  # int: milliseconds as they are
        (-(2**63), -(2**63)),
        (1717200000.1234, JUNE + 123),  # float: seconds, to the nearest millisecond
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
    event = Derivatives(ts, 1, 2, 3)
    assert event.ts == ms and type(event.ts) is int


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
    for event, fields in [
        (Derivatives(1, Decimal("300"), Fraction(1, 4), 2), (1, 300.0, 0.25, 2.0)),
        (Liquidation(5, "BUY", 1, 2.5), (5, "buy", 1.0, 2.5)),
        (Liquidation(5, "Sell", 1, 2.5), (5, "sell", 1.0, 2.5)),
    ]:
        assert tuple(event) == fields and all(type(v) is type(w) for v, w in zip(event, fields))
        again = pickle.loads(pickle.dumps(event))
        assert again == event and type(again) is type(event)
    assert not hasattr(event, "__dict__") and event.kind == "liquidation"
    with pytest.raises(AttributeError):
        event.qty = 5.0
    assert event._replace(qty=7)._asdict() == {"ts": 5, "side": "sell", "qty": 7.0, "price": 2.5}
    with pytest.raises(ValueError, match="Liquidation.qty must be finite"):
        event._replace(qty=float("nan"))  # no way around the checks


# ---------------------------------------------------------------- Spec and Signal

QUICK = Spec([Signal("funding_flip", [0.001]), Signal("oi_delta", [1, 0.1], 2)], threshold=0.5)
# One spec in each form the radar reads: bytes, escapes, integers beyond 64 bits
# (doubles to the radar), unknown members; the array forms; a kind as an object.
FORMS = [
    b'{"venues":["\\u00e9"],"signals":[{"kind":"liq_cluster","params":[100000000000000000000,400],"weight":2},{"kind":"funding_flip","params":[0.001]}],"threshold":0.5,"x":{"y":[1]}}',
    '[["\u00e9"],[],[["liq_cluster",[1e20,400],2],["funding_flip",[0.001]]],0.5]',
    '{"venues":["\u00e9"],"signals":[["liq_cluster",[1e20,400],2],{"kind":{"funding_flip":null},"params":[0.001]}],"threshold":0.5,"limit":null}',
]


def test_specs_are_values(tmp_path):
    target = Spec([Signal("liq_cluster", [1e20, 400], 2), Signal("funding_flip", [0.001])], 0.5)
    assert all(Spec.from_json(text) == dataclasses.replace(target, venues=["é"]) for text in FORMS)
    for spec in (Spec.default(), QUICK):
        again = Spec.from_json(spec.to_json())
        assert again == spec and hash(again) == hash(spec)
        assert pickle.loads(pickle.dumps(spec)) == spec
    assert QUICK.labels == ("funding_flip(0.001)", "oi_delta(1,0.1)")  # signal order
    assert QUICK != Spec(QUICK.signals, threshold=0.25)
    assert Signal("funding_flip", [0.7]) != Signal("funding_flip", [0.7], 2)
    with pytest.raises(AttributeError):
        QUICK.threshold = 1.0  # type: ignore[misc]
    changed = dataclasses.replace(QUICK, threshold=0.25)  # through the checks again
    assert changed.threshold == 0.25 and changed.labels == QUICK.labels
    path = tmp_path / "spec.json"
    path.write_text(QUICK.to_json())
    assert Spec.from_file(path) == Spec.from_file(str(path)) == QUICK
    with pytest.raises(FileNotFoundError):
        Spec.from_file(tmp_path / "missing.json")


@pytest.mark.parametrize(
    "field, value, error, words",
    [
        ("ts", True, TypeError, "must be int milliseconds, float seconds or a datetime"),
        ("ts", dt.date(2024, 6, 1), TypeError, "must be int milliseconds"),
        ("ts", float("nan"), ValueError, "must be finite"),
        ("ts", 2**63, ValueError, "is out of the signed 64-bit range"),
        ("qty", "1.5", TypeError, "must be a number"),
        ("qty", True, TypeError, "must be a number"),
        ("qty", float("-inf"), ValueError, "must be finite"),
        ("price", 10**400, ValueError, "does not fit a float"),
        ("price", Decimal("sNaN"), ValueError, "does not fit a float"),
        ("side", "long", ValueError, "must be 'buy' or 'sell'"),
        ("side", None, TypeError, "must be 'buy' or 'sell'"),
    ],
)
def test_bad_event_values_name_their_field(field, value, error, words):
    with pytest.raises(error) as exc:
        Liquidation(**{"ts": 1, "side": "buy", "qty": 1, "price": 1, field: value})
    assert f"Liquidation.{field} {words}" in str(exc.value)


@pytest.mark.parametrize(
    "make, error, words",
    [
        (lambda: Signal("oi_deltaa", [1, 2]), ValueError, "Signal.kind must be one of oi_delta"),
        (lambda: Signal("oi_delta", "12"), TypeError, "Signal.params must be a sequence"),
        (lambda: Spec(Signal("funding_flip", [0.1])), TypeError, "Spec.signals must be a sequence"),
        (lambda: Spec(QUICK.signals, limit=True), TypeError, "Spec.limit must be an int"),
        (lambda: Spec(QUICK.signals, symbols=["a", 1]), TypeError, "Spec.symbols[1] must be a str"),
        (lambda: Spec.from_json(5), TypeError, "Spec.from_json needs str or bytes"),
    ],
)
def test_spec_type_errors_name_the_field(make, error, words):
    with pytest.raises(error) as exc:
        make()
    assert words in str(exc.value) and not isinstance(exc.value, RadarError)


@pytest.mark.parametrize(
    "make, text",
    [
        (lambda: Spec.from_json("{}"), "parse: missing field `signals` at line 1 column 2"),
        (lambda: Spec.from_json(""), "parse: EOF while parsing a value at line 1 column 0"),
        (lambda: Spec([]), "bad spec: at least one signal is required"),
        (lambda: Spec([Signal("oi_delta", [1])]), "bad spec: oi_delta takes 2 parameter(s), got 1"),
        (lambda: dataclasses.replace(QUICK, limit=0), "bad spec: limit must be greater than zero"),
        (  # the radar compares the parameters as it reads them
            lambda: Spec([Signal("funding_flip", [0.01]), Signal("funding_flip", [0.010000001])]),
            "bad spec: duplicate signal: funding_flip(0.01)",
        ),
    ],
)
def test_bad_specs_raise_the_radars_error(make, text):
    with pytest.raises(RadarError) as exc:
        make()
    error, again = exc.value, pickle.loads(pickle.dumps(exc.value))
    assert isinstance(error, ValueError) and type(again) is RadarError
    assert str(error) == str(again) == text  # its kind kept apart from its message
    assert [error.kind, error.message] == [again.kind, again.message] == text.split(": ", 1)


# ---------------------------------------------------------------- results

LABELS = ("oi_delta(1,0.1)", "funding_flip(0.001)")
COLUMNS = ["symbol", "severity", *LABELS, "ts"]
RECORDS = [["ETH", 0.75, 1.0, 0.5, 2], ["BTC", 0.5, 0.5, 0.5, -(2**63)]]
REPORT = Report(
    tuple(Alert(s, v, {LABELS[0]: a, LABELS[1]: b}, t) for s, v, a, b, t in RECORDS), 7, LABELS
)
EMPTY = Report((), 3, LABELS)


def test_report_records_pandas_and_arrow():
    records = REPORT.to_records()
    assert records == [dict(zip(COLUMNS, r)) for r in RECORDS] and list(records[0]) == COLUMNS
    assert EMPTY.to_records() == [] and pickle.loads(pickle.dumps(REPORT)) == REPORT
    pytest.importorskip("pandas")
    frame, empty = REPORT.to_pandas(), EMPTY.to_pandas()
    assert list(frame.columns) == list(empty.columns) == COLUMNS and len(empty) == 0
    assert frame.to_dict("records") == records
    assert str(frame["ts"].dtype) == str(empty["ts"].dtype) == "int64"
    assert str(frame[LABELS[0]].dtype) == "float64"
    pa = pytest.importorskip("pyarrow")
    table = REPORT.to_arrow()
    assert table.column_names == COLUMNS and table.to_pylist() == records
    assert table.schema.field("ts").type == pa.int64() and EMPTY.to_arrow().schema == table.schema


# ---------------------------------------------------------------- static types

STATIC = """
from norsel_radar import Alert, Derivatives, Report, Screener, Signal, Spec

def use(screener: Screener, report: Report, alert: Alert) -> None:
    screener.feed("BTC", Derivatives(1, 2.0, 3.0, 4.0))
    print(alert.severity + report.scanned + report.alerts[0].factors["x"])
    print(alert.severtiy)
    print(report.scaned)
    print(report.alerts[0].factor)
    print(Derivatives(1, 2.0, 3.0, 4.0).open_intrest)
    print(Spec([Signal("oi_delt", [1, 2])]).labels)
"""


def test_mypy_strict_refuses_misspelled_names(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "use.py").write_text(STATIC)
    command = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "use.py"]
    proc = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=300)
    flagged = {int(line.split(":")[1]) for line in proc.stdout.splitlines() if ": error:" in line}
    assert flagged == {7, 8, 9, 10, 11}, proc.stdout + proc.stderr  # each misspelling, no other
