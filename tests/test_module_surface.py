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

PANIC_PATTERN = re.compile(
    r"assertion `left == right` failed: _norsel_radar::PyRadar is unsendable, "
    r"but sent to another thread\n  left: (\S+)\n right: (\S+)\Z"
)
DROPPED = "_norsel_radar::PyRadar is unsendable, but is being dropped on another thread"


def make_radar():
    return Radar(SPEC)


def on_new_thread(target):
    """Runs target on a new thread, never waiting forever; returns what it raised, or None."""
    raised = [None]

    def worker():
        try:
            target()
        except BaseException as exc:  # noqa: BLE001
            # Without its traceback the exception holds no frame, so no cycle
            # keeps the radar alive for the collector to free on some thread.
            raised[0] = exc.with_traceback(None)

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join(10.0)
    assert not thread.is_alive(), "worker thread hung"
    return raised[0]


# The two bound callables: (call, function name as the errors write it, parameter).
CALLS = [pytest.param(lambda *a, **k: Radar(*a, **k), "Radar.__new__()", "spec_json", id="new"),
         pytest.param(lambda *a, **k: make_radar().command(*a, **k), "Radar.command()", "cmd_json", id="command")]


# ----------------------------------------------------------- names and docs


def test_names_docs_and_version():
    assert _norsel_radar.__all__ == norsel_radar.__all__ == ["__version__", "Radar"]
    assert _norsel_radar.__version__ == norsel_radar.__version__ == "0.2.0"
    assert _norsel_radar.__doc__ == "The native module (`norsel_radar._norsel_radar`)."
    assert norsel_radar.Radar is _norsel_radar.Radar
    assert (Radar.__module__, Radar.__qualname__, Radar.__name__) == ("builtins", "Radar", "Radar")
    assert Radar.__doc__ == (
        "A radar instance driven by JSON commands.\n\n`unsendable`: a handle owns a mutable "
        "dataset and spec, so it is bound to the\nthread that created it."
    )
    assert Radar.command.__doc__ == "Apply a command JSON and return the resulting response JSON."
    assert Radar.version.__doc__ == "The library version."
    assert list(inspect.signature(Radar.command).parameters) == ["self", "cmd_json"]
    assert list(inspect.signature(Radar.version).parameters) == []
    assert Radar.version() == make_radar().version() == "0.2.0"
    with pytest.raises(TypeError):  # a handle is bound to its thread and process
        pickle.dumps(make_radar())


# --------------------------------------- argument binding and text conversion


@pytest.mark.parametrize("call, name, param", CALLS)
@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "{name} missing 1 required positional argument: '{param}'"),
    (("a", "b"), {}, "{name} takes 1 positional arguments but 2 were given"),
    # the positional count is checked before the keywords
    (("a", "b", "c"), {"x": 1}, "{name} takes 1 positional arguments but 3 were given"),
    ((), {"bogus": "x"}, "{name} got an unexpected keyword argument 'bogus'"),
    (("a",), {"bogus": "x"}, "{name} got an unexpected keyword argument 'bogus'"),
    (("a",), {"{param}": "x"}, "{name} got multiple values for argument '{param}'"),
    ((), {"{param}": "x", "bogus": 1}, "{name} got an unexpected keyword argument 'bogus'"),
], ids=["none", "two", "three", "unknown-kw", "pos-and-unknown-kw", "both", "kw-and-unknown"])
def test_binding_errors(call, name, param, args, kwargs, message):
    kwargs = {k.format(param=param): v for k, v in kwargs.items()}
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    assert str(info.value) == message.format(name=name, param=param)
    assert getattr(info.value, "__notes__", None) is None  # binding errors carry no note


@pytest.mark.parametrize("call, name, param", CALLS)
@pytest.mark.parametrize("value, error, message", [
    (b"{}", TypeError, "'bytes' object is not an instance of 'str'"),
    (None, TypeError, "'None' is not an instance of 'str'"),
    (5, TypeError, "'int' object is not an instance of 'str'"),
    ('{"cmd":"\udfff"}', UnicodeEncodeError, None),  # a lone surrogate has no UTF-8
], ids=["bytes", "None", "int", "surrogate"])
def test_conversion_errors_name_the_parameter(call, name, param, value, error, message):
    with pytest.raises(error) as info:
        call(value)
    assert message is None or str(info.value) == message
    expected_notes = [f"while processing '{param}'"] if sys.version_info >= (3, 11) else None
    assert getattr(info.value, "__notes__", None) == expected_notes


class Text(str):
    pass


def test_accepted_arguments():
    assert Radar(spec_json=SPEC).command(cmd_json=VERSION_REQUEST) == VERSION_REPLY
    assert Radar(Text(SPEC)).command(Text(VERSION_REQUEST)) == VERSION_REPLY
    # An embedded NUL is part of the text, not its end.
    reply = make_radar().command(VERSION_REQUEST + "\x00")
    assert type(reply) is str
    assert reply == '{"error":"parse: trailing characters at line 1 column 18","ok":false}'


# ------------------------------------------------------------------ threads


def assert_owner_panic(panic):
    """`except Exception` misses it, and it names two different threads."""
    assert type(panic).__bases__ == (BaseException,), repr(panic)
    match = PANIC_PATTERN.match(str(panic))
    assert match and match.group(1) != match.group(2), str(panic)


@pytest.mark.parametrize("args", [(VERSION_REQUEST,), (), (None,), ("\ud800",)],
                         ids=["valid", "missing", "None", "surrogate"])
def test_foreign_thread_command_panics_after_binding(args):
    radar = make_radar()
    raised = on_new_thread(lambda: radar.command(*args))
    if args:  # the owner check comes before conversion
        assert_owner_panic(raised)
    else:  # binding comes before the owner check
        assert type(raised) is TypeError
    assert radar.command(VERSION_REQUEST) == VERSION_REPLY


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: seen.append(
        (info.exc_type, str(info.exc_value))))
    return seen


def test_instance_of_ended_thread_is_foreign_to_later_threads(unraisable):
    box = []
    assert on_new_thread(lambda: box.append(make_radar())) is None
    radar = box.pop()
    # Later threads may get the dead owner's OS thread id; they must still be strangers.
    for _ in range(3):
        assert_owner_panic(on_new_thread(lambda: radar.command(VERSION_REQUEST)))
    radar = None  # the last reference goes on the main thread, which does not own it
    assert unraisable == [(RuntimeError, DROPPED)]


def test_drop_is_reported_only_off_the_owner_thread(unraisable):
    assert on_new_thread(lambda: make_radar().command(VERSION_REQUEST)) is None
    make_radar()
    assert unraisable == []
    box = [make_radar()]
    # int() fails, and the interpreter drops its argument, the last reference
    # to the radar, while that TypeError is pending: the TypeError must survive.
    raised = on_new_thread(lambda: int(box.pop()))
    assert type(raised) is TypeError and "Radar" in str(raised)
    assert unraisable == [(RuntimeError, DROPPED)]


# ------------------------------------------------------- reference hygiene


def test_instances_release_their_type():
    before = sys.getrefcount(Radar)
    radars = [make_radar() for _ in range(50)]
    assert sys.getrefcount(Radar) > before
    del radars
    assert sys.getrefcount(Radar) == before


@pytest.mark.parametrize("text", [VERSION_REQUEST, '{"cmd":"\udfff"}'], ids=["valid", "surrogate"])
@pytest.mark.parametrize("call", [
    lambda radar, text: radar.command(text),
    lambda radar, text: radar.command(cmd_json=text),
    lambda radar, text: radar.command(text, text),
    lambda radar, text: radar.command(bogus=text),
], ids=["positional", "by-keyword", "two", "unknown-kw"])
def test_calls_leave_no_argument_references_and_radar_usable(call, text):
    radar = make_radar()
    text = "".join([text[:1], text[1:]])  # a fresh, non-interned str
    before = sys.getrefcount(text)
    for _ in range(100):
        try:
            call(radar, text)
        except (TypeError, UnicodeEncodeError):
            pass
    assert sys.getrefcount(text) == before
    assert radar.command(VERSION_REQUEST) == VERSION_REPLY
