"""The quorrel module itself: public names, classes, exception types, module
caching, subinterpreter refusal, and the Sandbox constructor's argument
handling and thread binding."""

import gc
import importlib
import pathlib
import sys
import threading

import pytest

import quorrel
from support import UnraisableRecorder

CLASSES = [
    "Sandbox", "Snapshot", "ExecuteResult", "HttpResponse", "DirEntry", "FileStat",
    "StreamEvent", "StreamIterator", "FileSystem", "Process", "SnapshotOps", "Network",
]
EXCEPTIONS = ["SandboxError", "SandboxProcessError", "SandboxHttpError", "SandboxLifecycleError"]


def test_public_names_and_all_in_table_order():
    assert quorrel.__all__ == CLASSES + EXCEPTIONS
    public = {name for name in dir(quorrel) if not name.startswith("_")}
    assert public == set(CLASSES + EXCEPTIONS)
    assert quorrel.__doc__ == ""


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_types_with_bare_names(name):
    cls = getattr(quorrel, name)
    assert isinstance(cls, type)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "quorrel"
    assert repr(cls) == f"<class 'quorrel.{name}'>"


@pytest.mark.parametrize("name", [n for n in CLASSES if n != "Sandbox"])
def test_only_sandbox_has_a_constructor(name):
    cls = getattr(quorrel, name)
    for args, kwargs in [((), {}), ((1,), {}), ((), {"x": 1})]:
        with pytest.raises(TypeError) as info:
            cls(*args, **kwargs)
        assert info.value.args == (f"No constructor defined for {name}",)


@pytest.mark.parametrize("name, base", [
    ("SandboxError", Exception),
    ("SandboxProcessError", quorrel.SandboxError),
    ("SandboxHttpError", quorrel.SandboxError),
    ("SandboxLifecycleError", quorrel.SandboxError),
])
def test_exception_types(name, base):
    exc = getattr(quorrel, name)
    assert exc.__bases__ == (base,)
    assert exc.__name__ == name
    assert exc.__module__ == "quorrel"
    assert exc.__doc__ is None
    assert repr(exc) == f"<class 'quorrel.{name}'>"
    # Catching the base catches every module exception.
    with pytest.raises(quorrel.SandboxError):
        raise exc("m")


def test_repeated_initialisation_returns_the_cached_module():
    first = sys.modules.pop("quorrel")
    try:
        again = importlib.import_module("quorrel")
        assert again is first
        assert again.Sandbox is first.Sandbox
        assert again.SandboxError is first.SandboxError
    finally:
        sys.modules["quorrel"] = first


def test_subinterpreter_import_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    module_dir = str(pathlib.Path(quorrel.__file__).parent)
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.RunFailedError) as info:
            interpreters.run_string(interp, f"import sys\nsys.path.insert(0, {module_dir!r})\nimport quorrel\n")
        assert str(info.value) == "<class 'ImportError'>: quorrel does not support loading in subinterpreters"
    finally:
        interpreters.destroy(interp)
    # The main interpreter keeps its module.
    assert importlib.import_module("quorrel") is quorrel


# ---- Sandbox constructor --------------------------------------------------

def test_sandbox_constructor_signature():
    assert quorrel.Sandbox.__text_signature__ == "(*, isolation=None, allowed_http_domains=None)"
    assert quorrel.Sandbox.__doc__.startswith("A secure sandbox for executing commands.")


@pytest.mark.parametrize("kwargs", [
    {},
    {"isolation": None, "allowed_http_domains": None},
    {"isolation": "os"},
    {"allowed_http_domains": ["a.com", "*.b.com", "a.com"]},
    {"allowed_http_domains": ("a.com",)},
    {"allowed_http_domains": []},
])
def test_sandbox_constructor_accepts(kwargs):
    assert isinstance(quorrel.Sandbox(**kwargs), quorrel.Sandbox)


@pytest.mark.parametrize("args, kwargs, message", [
    (("os",), {}, "Sandbox() takes 0 positional arguments but 1 was given"),
    (("os", []), {}, "Sandbox() takes 0 positional arguments but 2 were given"),
    ((), {"isolaton": "os"}, "Sandbox() got an unexpected keyword argument 'isolaton'"),
    ((), {"isolation": b"os"}, "argument 'isolation': 'bytes' object cannot be converted to 'str'"),
    ((), {"isolation": 1}, "argument 'isolation': 'int' object cannot be converted to 'str'"),
    ((), {"allowed_http_domains": "a.com"}, "argument 'allowed_http_domains': Can't extract `str` to `Vec`"),
    ((), {"allowed_http_domains": ["a.com", 1]},
     "argument 'allowed_http_domains': 'int' object cannot be converted to 'str'"),
    ((), {"allowed_http_domains": 5},
     "argument 'allowed_http_domains': 'int' object cannot be converted to 'Sequence'"),
    # The first failing parameter wins.
    ((), {"allowed_http_domains": "x", "isolation": 1},
     "argument 'isolation': 'int' object cannot be converted to 'str'"),
])
def test_sandbox_constructor_refuses(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        quorrel.Sandbox(*args, **kwargs)
    assert info.value.args == (message,)


def test_sandbox_constructor_lone_surrogate_propagates_codec_error():
    with pytest.raises(UnicodeEncodeError):
        quorrel.Sandbox(isolation="\ud800")
    with pytest.raises(UnicodeEncodeError):
        quorrel.Sandbox(allowed_http_domains=["\udcff"])


def test_sandbox_can_be_subclassed():
    class Custom(quorrel.Sandbox):
        pass

    sandbox = Custom(isolation="os")
    assert type(sandbox) is Custom
    sandbox.extra = 1  # the subclass has a __dict__
    assert sandbox.extra == 1


# ---- thread binding of Sandbox -------------------------------------------

def drop_on_other_thread(holder):
    thread = threading.Thread(target=holder.clear)
    thread.start()
    thread.join()


@pytest.mark.parametrize("make", [lambda: quorrel.Sandbox(isolation="os"),
                                  lambda: type("Custom", (quorrel.Sandbox,), {})()])
def test_sandbox_dropped_on_another_thread_reports_unraisable(make):
    holder = [make()]
    with UnraisableRecorder() as recorder:
        drop_on_other_thread(holder)
        gc.collect()
    assert recorder.seen == [
        (RuntimeError, "quorrel.Sandbox is unsendable, but is being dropped on another thread", None)]


def test_sandbox_dropped_on_its_thread_reports_nothing():
    with UnraisableRecorder() as recorder:
        sandbox = quorrel.Sandbox()
        del sandbox
        gc.collect()
    assert recorder.seen == []
