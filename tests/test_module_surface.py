"""The Python surface of the native module: names, docs, argument binding and
text conversion, the owner-thread rule, and reference hygiene."""

import inspect
import pickle
import re
import sys
import threading

import pytest

import norsel_radar
from norsel_radar import Radar, _norsel_radar

SPEC = '{"signals":[{"kind":"funding_flip","params":[0.001]}]}'
VERSION_REQUEST = '{"cmd":"version"}'
VERSION_REPLY = '{"version":"0.2.0"}'
HAS_NOTES = sys.version_info >= (3, 11)
JOIN_TIMEOUT = 10.0

PANIC_PATTERN = re.compile(
    r"assertion `left == right` failed: _norsel_radar::PyRadar is unsendable, "
    r"but sent to another thread\n  left: (\S+)\n right: (\S+)\Z"
)
DROPPED = "_norsel_radar::PyRadar is unsendable, but is being dropped on another thread"


def make_radar():
    return Radar(SPEC)


def run_in_thread(target, *args):
    """Runs target on a new thread and waits for it, never forever."""
    thread = threading.Thread(target=target, args=args)
    thread.start()
    thread.join(JOIN_TIMEOUT)
    assert not thread.is_alive(), "worker thread hung"


def assert_note(exc, param):
    expected = [f"while processing '{param}'"] if HAS_NOTES else None
    assert getattr(exc, "__notes__", None) == expected


# The two bound callables: (call, function name as the errors write it, parameter).
CALLS = [
    pytest.param(lambda *a, **k: Radar(*a, **k), "Radar.__new__()", "spec_json", id="new"),
    pytest.param(lambda *a, **k: make_radar().command(*a, **k), "Radar.command()", "cmd_json",
                 id="command"),
]


# --------------------------------------------------------------------------
# names and docs


def test_module_names():
    assert _norsel_radar.__all__ == ["__version__", "Radar"]
    assert norsel_radar.__all__ == ["__version__", "Radar"]
    assert _norsel_radar.__version__ == norsel_radar.__version__ == "0.2.0"
    assert _norsel_radar.__doc__ == "The native module (`norsel_radar._norsel_radar`)."
    assert norsel_radar.Radar is _norsel_radar.Radar


def test_class_identity_and_docs():
    assert (Radar.__module__, Radar.__qualname__, Radar.__name__) == ("builtins", "Radar", "Radar")
    assert Radar.__doc__ == (
        "A radar instance driven by JSON commands.\n\n`unsendable`: a handle owns a mutable "
        "dataset and spec, so it is bound to the\nthread that created it."
    )
    assert Radar.command.__doc__ == "Apply a command JSON and return the resulting response JSON."
    assert Radar.version.__doc__ == "The library version."
    assert list(inspect.signature(Radar.command).parameters) == ["self", "cmd_json"]
    assert list(inspect.signature(Radar.version).parameters) == []


def test_version_on_class_instance_and_command():
    radar = make_radar()
    assert Radar.version() == radar.version() == "0.2.0"
    assert radar.command(cmd_json=VERSION_REQUEST) == VERSION_REPLY


def test_instances_cannot_be_pickled():
    with pytest.raises(TypeError):
        pickle.dumps(make_radar())


# --------------------------------------------------------------------------
# argument binding


@pytest.mark.parametrize("call, name, param", CALLS)
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "{name} missing 1 required positional argument: '{param}'"),
        (("a", "b"), {}, "{name} takes 1 positional arguments but 2 were given"),
        (("a", "b", "c"), {"x": 1}, "{name} takes 1 positional arguments but 3 were given"),
        ((), {"bogus": "x"}, "{name} got an unexpected keyword argument 'bogus'"),
        (("a",), {"bogus": "x"}, "{name} got an unexpected keyword argument 'bogus'"),
        (("a",), {"{param}": "x"}, "{name} got multiple values for argument '{param}'"),
        ((), {"{param}": "x", "bogus": 1}, "{name} got an unexpected keyword argument 'bogus'"),
    ],
    ids=["none", "two", "three", "unknown-kw", "pos-and-unknown-kw", "both", "kw-and-unknown"],
)
def test_binding_errors(call, name, param, args, kwargs, message):
    kwargs = {k.format(param=param): v for k, v in kwargs.items()}
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    assert str(info.value) == message.format(name=name, param=param)
    assert getattr(info.value, "__notes__", None) is None


def test_keyword_and_positional_binding_agree():
    assert Radar(spec_json=SPEC).command(cmd_json=VERSION_REQUEST) == VERSION_REPLY
    assert Radar(SPEC).command(VERSION_REQUEST) == VERSION_REPLY


# --------------------------------------------------------------------------
# text conversion


class Text(str):
    pass


@pytest.mark.parametrize("call, name, param", CALLS)
@pytest.mark.parametrize(
    "value, message",
    [
        (b"{}", "'bytes' object is not an instance of 'str'"),
        (bytearray(b"{}"), "'bytearray' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
        (5, "'int' object is not an instance of 'str'"),
        ({"cmd": "version"}, "'dict' object is not an instance of 'str'"),
    ],
    ids=["bytes", "bytearray", "None", "int", "dict"],
)
def test_non_str_argument(call, name, param, value, message):
    with pytest.raises(TypeError) as info:
        call(value)
    assert str(info.value) == message
    assert_note(info.value, param)


@pytest.mark.parametrize("call, name, param", CALLS)
@pytest.mark.parametrize("text", ["\ud800", '{"cmd":"\udfff"}'])
def test_lone_surrogate_is_an_encoding_error_with_note(call, name, param, text):
    with pytest.raises(UnicodeEncodeError) as info:
        call(text)
    assert_note(info.value, param)


def test_str_subclass_is_accepted():
    assert Radar(Text(SPEC)).command(Text(VERSION_REQUEST)) == VERSION_REPLY


def test_radar_stays_usable_after_argument_errors():
    radar = make_radar()
    for bad in [(), (None,), ("\ud800",), ("a", "b")]:
        with pytest.raises((TypeError, UnicodeEncodeError)):
            radar.command(*bad)
    assert radar.command(VERSION_REQUEST) == VERSION_REPLY


# --------------------------------------------------------------------------
# construction and command results


@pytest.mark.parametrize(
    "spec_text, message",
    [
        ("", "parse: EOF while parsing a value at line 1 column 0"),
        ('{"signals":[]}', "bad spec: at least one signal is required"),
    ],
)
def test_constructor_value_errors(spec_text, message):
    with pytest.raises(ValueError) as info:
        Radar(spec_text)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "request_text, reply",
    [
        ("{}", '{"error":"bad spec: missing \\"cmd\\"","ok":false}'),
        # Non-ASCII text goes in and comes back as UTF-8, unescaped.
        ('{"cmd":"b\u00e9ta\u20ac\U0001f600"}',
         '{"error":"bad spec: unknown cmd: b\u00e9ta\u20ac\U0001f600","ok":false}'),
        # An embedded NUL is part of the text, not its end.
        ('{"cmd":"version"}\x00', None),
    ],
    ids=["empty-object", "non-ascii", "embedded-nul"],
)
def test_command_replies_are_str(request_text, reply):
    out = make_radar().command(request_text)
    assert type(out) is str
    if reply is None:
        assert out.startswith('{"error":"parse: trailing characters at line 1 column')
    else:
        assert out == reply


# --------------------------------------------------------------------------
# threads


def call_from_other_thread(radar, *args):
    """Calls radar.command on a new thread; returns what `except Exception`
    caught (or None) and what only `except BaseException` caught (or None)."""
    outcome = {"exception": None, "base": None}

    def worker():
        try:
            try:
                radar.command(*args)
            except Exception as exc:  # noqa: BLE001 - what we check is that it misses
                outcome["exception"] = exc.with_traceback(None)
        except BaseException as exc:  # noqa: BLE001
            # Without its traceback the exception holds no frame, so no cycle
            # keeps the radar alive for the collector to free on some thread.
            outcome["base"] = exc.with_traceback(None)

    run_in_thread(worker)
    return outcome["exception"], outcome["base"]


def test_foreign_thread_command_panics_and_radar_survives():
    radar = make_radar()
    caught, panic = call_from_other_thread(radar, VERSION_REQUEST)
    assert caught is None
    assert panic is not None and not isinstance(panic, Exception)
    assert type(panic).__bases__ == (BaseException,)
    match = PANIC_PATTERN.match(str(panic))
    assert match, str(panic)
    assert match.group(1) != match.group(2)
    assert radar.command(VERSION_REQUEST) == VERSION_REPLY


@pytest.mark.parametrize(
    "args, expected",
    [
        ((), TypeError),  # binding comes before the owner check
        ((None,), BaseException),  # the owner check comes before conversion
        (("\ud800",), BaseException),
    ],
    ids=["missing", "None", "surrogate"],
)
def test_order_of_checks_on_foreign_thread(args, expected):
    caught, panic = call_from_other_thread(make_radar(), *args)
    if expected is TypeError:
        assert isinstance(caught, TypeError) and panic is None
    else:
        assert caught is None and PANIC_PATTERN.match(str(panic))


def test_instance_of_ended_thread_is_foreign_to_later_threads(unraisable):
    box = []
    run_in_thread(lambda: box.append(make_radar()))
    radar = box.pop()
    # Later threads may get the dead owner's OS thread id; they must still be strangers.
    for _ in range(3):
        caught, panic = call_from_other_thread(radar, VERSION_REQUEST)
        assert caught is None and PANIC_PATTERN.match(str(panic))
    del radar
    assert unraisable == [(RuntimeError, DROPPED)]


def test_radars_of_different_threads_work_side_by_side():
    replies = []

    def worker():
        radar = make_radar()
        replies.append(radar.command(VERSION_REQUEST))

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    assert not any(thread.is_alive() for thread in threads)
    assert replies == [VERSION_REPLY] * 4


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: seen.append(
        (info.exc_type, str(info.exc_value))))
    return seen


def test_drop_on_foreign_thread_is_reported(unraisable):
    box = [make_radar()]
    run_in_thread(box.pop)  # the worker holds and drops the last reference
    assert unraisable == [(RuntimeError, DROPPED)]


def test_drop_of_foreign_radar_on_main_thread_is_reported(unraisable):
    box = []
    run_in_thread(lambda: box.append(make_radar()))
    box.clear()
    assert unraisable == [(RuntimeError, DROPPED)]


def test_drop_on_owner_thread_is_silent(unraisable):
    run_in_thread(lambda: make_radar().command(VERSION_REQUEST))
    radar = make_radar()
    del radar
    assert unraisable == []


def test_foreign_drop_keeps_the_pending_exception(unraisable):
    errors = []
    box = [make_radar()]

    def worker():
        try:
            # int() fails, and the interpreter drops its argument, the last
            # reference to the radar, while that TypeError is pending.
            int(box.pop())
        except BaseException as exc:  # noqa: BLE001 - anything else is the fault
            errors.append(exc.with_traceback(None))

    run_in_thread(worker)
    assert [type(e) for e in errors] == [TypeError]
    assert "Radar" in str(errors[0])
    assert unraisable == [(RuntimeError, DROPPED)]

# --------------------------------------------------------------------------
# reference hygiene


def test_instances_release_their_type():
    before = sys.getrefcount(Radar)
    radars = [make_radar() for _ in range(50)]
    assert sys.getrefcount(Radar) > before
    del radars
    assert sys.getrefcount(Radar) == before


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {"cmd_json": None}), ((None,), {}), ((), {}), ((), {"bogus": None})],
    ids=["by-keyword", "positional", "missing", "unknown-kw"],
)
def test_calls_do_not_leak_argument_references(args, kwargs):
    radar = make_radar()
    text = "".join(['{"cmd":', '"version"}'])  # a fresh, non-interned str
    args = tuple(text if a is None else a for a in args)
    kwargs = {k: text if v is None else v for k, v in kwargs.items()}
    before = sys.getrefcount(text)
    for _ in range(100):
        try:
            radar.command(*args, **kwargs)
        except TypeError:
            pass
    assert sys.getrefcount(text) == before
