"""The Python surface of the native module: names, docs, argument binding and
text conversion, the owner-thread rule, and reference hygiene."""

import gc
import importlib.metadata
import inspect
import json
import pickle
import re
import subprocess
import sys
import threading

import norsel_radar
import pytest
from norsel_radar import Radar, _norsel_radar

SPEC = '{"signals":[{"kind":"funding_flip","params":[0.001]}]}'
VERSION_REQUEST, VERSION_REPLY = '{"cmd":"version"}', '{"version":"0.2.0"}'
PANIC = re.compile(
    r"assertion `left == right` failed: _norsel_radar::PyRadar is unsendable, "
    r"but sent to another thread\n  left: (\S+)\n right: (\S+)\Z"
)
DROPPED = "_norsel_radar::PyRadar is unsendable, but is being dropped on another thread"


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


PUBLIC = ["__version__", "Alert", "AsyncScreener", "Derivatives", "Event", "Liquidation"]
PUBLIC += ["OrderBook", "Radar", "RadarError", "Report", "Screener", "Signal", "Spec"]


def test_names_docs_and_version():
    assert _norsel_radar.__all__ == ["__version__", "Radar"]
    assert norsel_radar.__all__ == PUBLIC and set(PUBLIC) <= set(dir(norsel_radar))
    assert all(getattr(norsel_radar, name) is not None for name in PUBLIC)
    with pytest.raises(AttributeError):
        norsel_radar.Nothing  # noqa: B018
    # The typed layer is loaded on first use: the raw protocol needs nothing more.
    code = "import sys, norsel_radar; norsel_radar.Radar; print(sorted({'orjson', 'asyncio'} & set(sys.modules)))"
    assert (
        subprocess.run([sys.executable, "-c", code], capture_output=True, text=True).stdout
        == "[]\n"
    )
    assert (
        _norsel_radar.__version__
        == norsel_radar.__version__
        == Radar.version()
        == Radar(SPEC).version()
        == "0.2.0"
    )
    assert norsel_radar.Radar is _norsel_radar.Radar
    assert (Radar.__module__, Radar.__qualname__, Radar.__name__) == ("builtins", "Radar", "Radar")
    assert [_norsel_radar.__doc__, Radar.__doc__, Radar.command.__doc__, Radar.version.__doc__] == [
        "The native module (`norsel_radar._norsel_radar`).",
        "A radar instance driven by JSON commands.\n\n`unsendable`: a handle owns a mutable "
        "dataset and spec, so it is bound to the\nthread that created it.",
        "Apply a command JSON and return the resulting response JSON.",
        "The library version.",
    ]
    assert [list(inspect.signature(f).parameters) for f in (Radar.command, Radar.version)] == [
        ["self", "cmd_json"],
        [],
    ]
    with pytest.raises(TypeError):  # a handle is bound to its thread and process
        pickle.dumps(Radar(SPEC))


# The two bound callables: (call, function name as the errors write it, parameter).
CALLS = [
    pytest.param(Radar, "Radar.__new__()", "spec_json", id="new"),
    pytest.param(
        lambda *a, **k: Radar(SPEC).command(*a, **k), "Radar.command()", "cmd_json", id="command"
    ),
]


@pytest.mark.parametrize("call, name, param", CALLS)
@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((), {}, TypeError, "{name} missing 1 required positional argument: '{param}'"),
        (("a", "b"), {}, TypeError, "{name} takes 1 positional arguments but 2 were given"),
        # the positional count is checked before the keywords
        (
            ("a", "b", "c"),
            {"x": 1},
            TypeError,
            "{name} takes 1 positional arguments but 3 were given",
        ),
        ((), {"bogus": "x"}, TypeError, "{name} got an unexpected keyword argument 'bogus'"),
        (("a",), {"bogus": "x"}, TypeError, "{name} got an unexpected keyword argument 'bogus'"),
        (("a",), {"{param}": "x"}, TypeError, "{name} got multiple values for argument '{param}'"),
        (
            (),
            {"{param}": "x", "bogus": 1},
            TypeError,
            "{name} got an unexpected keyword argument 'bogus'",
        ),
        ((b"{}",), {}, TypeError, "'bytes' object is not an instance of 'str'"),
        ((None,), {}, TypeError, "'None' is not an instance of 'str'"),
        (('{"cmd":"\udfff"}',), {}, UnicodeEncodeError, None),  # a lone surrogate has no UTF-8
    ],
    ids=[
        "none",
        "two",
        "three",
        "unknown-kw",
        "pos-and-unknown-kw",
        "both",
        "kw-and-unknown",
        "bytes",
        "None",
        "surrogate",
    ],
)
def test_argument_errors(call, name, param, args, kwargs, error, message):
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
    assert (
        type(reply) is str
        and reply == '{"error":"parse: trailing characters at line 1 column 18","ok":false}'
    )


def assert_owner_panic(panic):
    """`except Exception` misses it, and it names two different threads."""
    assert type(panic).__name__ == "PanicException" and type(panic).__bases__ == (BaseException,), (
        repr(panic)
    )
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
@pytest.mark.parametrize(
    "call",
    [
        lambda radar, text: radar.command(text),
        lambda radar, text: radar.command(cmd_json=text),
        lambda radar, text: radar.command(text, text),
        lambda radar, text: radar.command(bogus=text),
    ],
    ids=["positional", "by-keyword", "two", "unknown-kw"],
)
def test_calls_leave_no_references_and_radar_usable(call, text):
    gc.collect()  # earlier tests' garbage holding radars must not go meanwhile
    type_refs, radar = sys.getrefcount(Radar), Radar(SPEC)
    text = "".join([text[:1], text[1:]])  # a fresh, non-interned str
    before = sys.getrefcount(text)
    for _ in range(100):
        try:
            call(radar, text)
        except (TypeError, UnicodeEncodeError):
            pass
    assert sys.getrefcount(text) == before
    assert radar.command(VERSION_REQUEST) == VERSION_REPLY
    del radar  # an instance holds a reference to its type until it goes
    assert sys.getrefcount(Radar) == type_refs


def test_version_comes_from_the_package_metadata():
    # Written once, in pyproject.toml; the build hands it to the module and
    # to the "version" command alike.
    metadata = importlib.metadata.version("norsel_radar")
    assert _norsel_radar.__version__ == metadata
    reply = Radar(SPEC).command(VERSION_REQUEST)
    assert reply == json.dumps({"version": metadata}, separators=(",", ":"))
