"""The Python surface of the native module: names and version, argument
binding and text conversion, the owner-thread rule, and reference hygiene."""

import gc
import importlib.metadata
import pickle
import re
import subprocess
import sys
import threading

import norsel_radar
import pytest
from norsel_radar import Radar, _norsel_radar

SPEC = '{"signals":[{"kind":"funding_flip","params":[0.001]}]}'
VERSION_REQUEST = '{"cmd":"version"}'
VERSION_REPLY = '{"version":"%s"}' % importlib.metadata.version("norsel_radar")
PANIC = re.compile(
    r"assertion `left == right` failed: _norsel_radar::PyRadar is unsendable, "
    r"but sent to another thread\n  left: (\S+)\n right: (\S+)\Z"
)
DROPPED = "_norsel_radar::PyRadar is unsendable, but is being dropped on another thread"
PUBLIC = ["__version__", "Alert", "AsyncScreener", "Derivatives", "Event", "Liquidation"]
PUBLIC += ["OrderBook", "Radar", "RadarError", "Report", "Screener", "Signal", "Spec"]


def on_new_thread(target):
    """Runs target on a new thread, never waiting forever; returns what it raised, or None.
    Without its traceback that holds no frame, so no cycle keeps a radar alive
    for the collector to free on some thread."""
    raised = [None]

    def worker():
        try:
            target()
        except BaseException as exc:  # noqa: BLE001
            raised[0] = exc.with_traceback(None)

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join(10.0)
    assert not thread.is_alive(), "worker thread hung"
    return raised[0]


def test_names_and_version():
    assert norsel_radar.__all__ == PUBLIC and set(PUBLIC) <= set(dir(norsel_radar))
    assert all(getattr(norsel_radar, name) is not None for name in PUBLIC)
    assert norsel_radar.Radar is _norsel_radar.Radar
    with pytest.raises(AttributeError):
        norsel_radar.Nothing  # noqa: B018
    # The typed layer is loaded on first use: the raw protocol needs nothing more.
    code = "import sys, norsel_radar; norsel_radar.Radar; print(sorted({'orjson', 'asyncio'} & set(sys.modules)))"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.stdout == "[]\n"
    # Written once, in pyproject.toml; the build hands it to the module and the "version" command.
    metadata = importlib.metadata.version("norsel_radar")
    assert _norsel_radar.__version__ == norsel_radar.__version__ == Radar.version() == metadata
    assert (
        Radar(SPEC).version() == metadata and Radar(SPEC).command(VERSION_REQUEST) == VERSION_REPLY
    )
    with pytest.raises(TypeError):  # a handle is bound to its thread and process
        pickle.dumps(Radar(SPEC))


def command_of_new(*a, **k):
    return Radar(SPEC).command(*a, **k)


# (args, kwargs, exception, message); "{name}" and "{param}" name the bound callable and its parameter.
ARGUMENT_ERRORS = {
    "none": ((), {}, TypeError, "{name} missing 1 required positional argument: '{param}'"),
    "two": (("a", "b"), {}, TypeError, "{name} takes 1 positional arguments but 2 were given"),
    # the positional count is checked before the keywords
    "three": (("a", "b", "c"), {"x": 1}, TypeError, "{name} takes 1 positional arguments but 3 were given"),
    "unknown-kw": ((), {"bogus": "x"}, TypeError, "{name} got an unexpected keyword argument 'bogus'"),
    "pos-and-unknown-kw": (("a",), {"bogus": "x"}, TypeError, "{name} got an unexpected keyword argument 'bogus'"),
    "both": (("a",), {"{param}": "x"}, TypeError, "{name} got multiple values for argument '{param}'"),
    "kw-and-unknown": ((), {"{param}": "x", "bogus": 1}, TypeError, "{name} got an unexpected keyword argument 'bogus'"),
    "bytes": ((b"{}",), {}, TypeError, "'bytes' object is not an instance of 'str'"),
    "None": ((None,), {}, TypeError, "'None' is not an instance of 'str'"),
    "surrogate": (('{"cmd":"\udfff"}',), {}, UnicodeEncodeError, None),  # a lone surrogate has no UTF-8
}  # fmt: skip


@pytest.mark.parametrize(
    "call, name, param",
    [(Radar, "Radar.__new__()", "spec_json"), (command_of_new, "Radar.command()", "cmd_json")],
    ids=["new", "command"],
)
@pytest.mark.parametrize("case", ARGUMENT_ERRORS)
def test_argument_errors(call, name, param, case):
    args, kwargs, error, message = ARGUMENT_ERRORS[case]
    with pytest.raises(error) as info:
        call(*args, **{k.format(param=param): v for k, v in kwargs.items()})
    assert message is None or str(info.value) == message.format(name=name, param=param)
    # Conversion errors carry a note naming the parameter (Python 3.11 and later); binding errors none.
    binding = message is not None and message.startswith("{name}")
    notes = [f"while processing '{param}'"] if not binding and sys.version_info >= (3, 11) else None
    assert getattr(info.value, "__notes__", None) == notes


def test_accepted_arguments():
    text = type("Text", (str,), {})
    assert Radar(spec_json=SPEC).command(cmd_json=VERSION_REQUEST) == VERSION_REPLY
    assert Radar(text(SPEC)).command(text(VERSION_REQUEST)) == VERSION_REPLY
    reply = Radar(SPEC).command(VERSION_REQUEST + "\x00")  # an embedded NUL is part of the text
    assert type(reply) is str
    assert reply == '{"error":"parse: trailing characters at line 1 column 18","ok":false}'


def assert_owner_panic(panic):
    """`except Exception` misses it, and it names two different threads."""
    assert type(panic).__name__ == "PanicException", repr(panic)
    assert type(panic).__bases__ == (BaseException,)
    match = PANIC.match(str(panic))
    assert match and match.group(1) != match.group(2), str(panic)


@pytest.mark.parametrize(
    "args", [(VERSION_REQUEST,), (), (None,)], ids=["valid", "missing", "None"]
)
def test_foreign_thread_command_panics_after_binding(args):
    radar = Radar(SPEC)
    raised = on_new_thread(lambda: radar.command(*args))
    if args:  # the owner check comes before conversion
        assert_owner_panic(raised)
    else:  # binding comes before the owner check
        assert type(raised) is TypeError
    assert radar.command(VERSION_REQUEST) == VERSION_REPLY


def test_owner_is_never_a_later_thread_and_foreign_drops_are_reported(monkeypatch):
    unraisable = []
    monkeypatch.setattr(
        sys, "unraisablehook", lambda info: unraisable.append((info.exc_type, str(info.exc_value)))
    )
    assert on_new_thread(lambda: Radar(SPEC).command(VERSION_REQUEST)) is None
    Radar(SPEC)
    assert unraisable == []  # both dropped by their owners
    box = []
    assert on_new_thread(lambda: box.append(Radar(SPEC))) is None
    # Later threads may get the dead owner's OS thread id; they must still be strangers.
    panics = [on_new_thread(lambda: box[0].command(VERSION_REQUEST)) for _ in range(3)]
    for panic in panics:
        assert_owner_panic(panic)
    assert len({type(panic) for panic in panics}) == 1  # the panic type is made once
    # int() fails, and the interpreter drops its argument, the last reference
    # to the radar, while that TypeError is pending: the TypeError must survive.
    raised = on_new_thread(lambda: int(box.pop()))
    assert type(raised) is TypeError and "Radar" in str(raised)
    assert unraisable == [(RuntimeError, DROPPED)]


@pytest.mark.parametrize("text", [VERSION_REQUEST, '{"cmd":"\udfff"}'], ids=["valid", "surrogate"])
@pytest.mark.parametrize("shape", ["positional", "cmd_json", "two", "bogus"])
def test_calls_leave_no_references_and_radar_usable(shape, text):
    gc.collect()  # earlier tests' garbage holding radars must not go meanwhile
    type_refs, radar = sys.getrefcount(Radar), Radar(SPEC)
    text = "".join([text[:1], text[1:]])  # a fresh, non-interned str
    before = sys.getrefcount(text)
    args, kwargs = {"positional": ((text,), {}), "two": ((text, text), {})}.get(
        shape, ((), {shape: text})
    )
    for _ in range(100):
        try:
            radar.command(*args, **kwargs)
        except (TypeError, UnicodeEncodeError):
            pass
    del args, kwargs
    assert sys.getrefcount(text) == before
    assert radar.command(VERSION_REQUEST) == VERSION_REPLY
    del radar  # an instance holds a reference to its type until it goes
    assert sys.getrefcount(Radar) == type_refs
