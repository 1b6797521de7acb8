"""The machinery every class of the module is built on, exercised through the
test-only module _quorrel_testing: argument binding and conversion, thread
binding, the borrow flag, class members, parse_python_timeout,
extract_bytes_data and map_sdk_error."""

import errno
import gc
import math
import sys
import threading
from fractions import Fraction

import pytest

import _quorrel_testing as t
from support import UnraisableRecorder


class PythonEquivalent:
    """Pure-Python methods with the probe's text signatures: the interpreter's
    own wording for binding errors is the reference."""

    def execute(self, command, env=None, timeout=None, cwd=None):
        pass

    def execute_code(self, language, code, *, env=None, timeout=None, cwd=None):
        pass

    def run(self, command, /, *, timeout=None):
        pass

    def configure(self, *, name, domains=None):
        pass

    def data(self, data, body=None, snapshot=None):
        pass

    def call_back(self, callback):
        pass


def python_binding_error(method, args, kwargs):
    with pytest.raises(TypeError) as info:
        getattr(PythonEquivalent(), method)(*args, **kwargs)
    # Python names the function by its qualified name.
    return str(info.value).replace(f"PythonEquivalent.{method}(", f"{method}(")


BINDING_CASES = [
    ("execute", (), {}),
    ("execute", ("a", None, None, None, None), {}),
    ("execute", ("a", 1, 2, 3, 4, 5), {}),
    ("execute", ("a",), {"command": "b"}),
    ("execute", ("a",), {"unknown": 1}),
    ("execute", (), {"env": {}}),
    ("execute", ("a", None, None, None, None), {"unknown": 1}),  # the keyword is checked first
    ("execute_code", ("py",), {}),
    ("execute_code", (), {}),
    ("execute_code", ("py", "x", {}), {}),
    ("execute_code", ("py", "x", {}), {"timeout": 1.0}),
    ("execute_code", ("py", "x", {}, 1), {"timeout": 1.0, "cwd": "/"}),
    ("execute_code", ("py", "x"), {"language": "sh"}),
    ("run", (), {}),
    ("run", ("a", 1.0), {}),
    ("run", (), {"command": "a"}),
    ("run", ("a",), {"command": "a"}),
    ("run", ("a", 1), {"timeout": 1.0}),
    ("configure", (), {}),
    ("configure", ("n",), {}),
    ("configure", (), {"domains": []}),
    ("configure", (), {"name": "n", "self": 1}),
    ("data", (), {}),
    ("call_back", (), {}),
    ("call_back", (1, 2), {}),
]


@pytest.mark.parametrize("method, args, kwargs", BINDING_CASES)
def test_binding_errors_match_the_interpreter(method, args, kwargs):
    expected = python_binding_error(method, args, kwargs)
    with pytest.raises(TypeError) as info:
        getattr(t.Probe(), method)(*args, **kwargs)
    assert str(info.value) == expected


def test_binding_error_for_three_missing_names():
    with pytest.raises(TypeError) as info:
        t.Probe().result()
    assert str(info.value) == "result() missing 4 required positional arguments: 'text', 'data', 'count', and 'flag'"


def test_keywords_must_be_strings():
    with pytest.raises(TypeError) as info:
        t.Probe().execute(**{1: "a"})
    assert "keywords must be strings" in str(info.value)


@pytest.mark.parametrize("method, args, kwargs, expected", [
    ("execute", ("ls",), {}, ("ls", None, None, None)),
    ("execute", ("ls", None, None, None), {}, ("ls", None, None, None)),
    ("execute", (), {"cwd": "/tmp", "command": "ls"}, ("ls", None, None, "/tmp")),
    ("execute", ("ls", {"A": "1"}, 2, "/"), {}, ("ls", {"A": "1"}, 2.0, "/")),
    ("execute_code", ("py", "x"), {"env": None, "timeout": None}, ("py", "x", None, None, None)),
    ("execute_code", ("py", "x"), {"timeout": 1.5}, ("py", "x", None, 1.5, None)),
    ("run", ("ls",), {"timeout": None}, ("ls", None)),
    ("configure", (), {"name": "n"}, ("n", None)),
    ("configure", (), {"name": "n", "domains": ("a", "b", "a")}, ("n", ["a", "b", "a"])),
    ("configure", (), {"name": "n", "domains": []}, ("n", [])),
])
def test_binding_and_none_means_omitted(method, args, kwargs, expected):
    assert getattr(t.Probe(), method)(*args, **kwargs) == expected


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 7


@pytest.mark.parametrize("value, expected", [
    (3, 3.0), (True, 1.0), (2.5, 2.5), (Floaty(), 2.5), (Indexy(), 7.0), (-1, -1.0), (float("nan"), None),
])
def test_float_conversion(value, expected):
    timeout = t.Probe().execute("x", timeout=value)[2]
    if expected is None:
        assert math.isnan(timeout)
    else:
        assert timeout == expected and type(timeout) is float


TEXT = "'{}' object cannot be converted to 'str'"
CONVERSION_ERRORS = [
    (("execute", (b"ls",), {}), "argument 'command': " + TEXT.format("bytes")),
    (("execute", (1,), {}), "argument 'command': " + TEXT.format("int")),
    (("execute", ("ls", {"A": 1}), {}), "argument 'env': " + TEXT.format("int")),
    (("execute", ("ls", {1: "a"}), {}), "argument 'env': " + TEXT.format("int")),
    (("execute", ("ls", {b"A": "a"}), {}), "argument 'env': " + TEXT.format("bytes")),
    (("execute", ("ls", [("A", "1")]), {}), "argument 'env': 'list' object cannot be converted to 'dict'"),
    (("execute", ("ls",), {"timeout": "5"}), "argument 'timeout': must be real number, not str"),
    (("execute", ("ls",), {"timeout": b"5"}), "argument 'timeout': must be real number, not bytes"),
    (("execute", ("ls",), {"cwd": b"/"}), "argument 'cwd': " + TEXT.format("bytes")),
    # The first failing parameter in signature order wins, whatever the call order.
    (("execute", (), {"cwd": 1, "timeout": "x", "env": 2, "command": 3}), "argument 'command': " + TEXT.format("int")),
    (("execute", ("ls",), {"cwd": 1, "timeout": "x", "env": 2}),
     "argument 'env': 'int' object cannot be converted to 'dict'"),
    (("execute", ("ls",), {"cwd": 1, "timeout": "x"}), "argument 'timeout': must be real number, not str"),
    (("execute_code", ("py", 1), {"env": 1}), "argument 'code': " + TEXT.format("int")),
    (("configure", (), {"name": "n", "domains": "ab"}), "argument 'domains': Can't extract `str` to `Vec`"),
    (("configure", (), {"name": "n", "domains": 5}), "argument 'domains': 'int' object cannot be converted to 'Sequence'"),
    (("configure", (), {"name": "n", "domains": {"a": 1}}),
     "argument 'domains': 'dict' object cannot be converted to 'Sequence'"),
    (("configure", (), {"name": "n", "domains": ["a", 1]}), "argument 'domains': " + TEXT.format("int")),
    (("configure", (), {"name": "n", "domains": [b"a"]}), "argument 'domains': " + TEXT.format("bytes")),
    (("data", (bytearray(b"x"),), {}), "data must be str or bytes"),
    (("data", (5,), {}), "data must be str or bytes"),
    (("data", (None,), {}), "data must be str or bytes"),
    (("data", ("x",), {"body": "s"}), "argument 'body': Can't extract `str` to `Vec`"),
    (("data", ("x",), {"body": 5}), "argument 'body': 'int' object cannot be converted to 'Sequence'"),
    (("data", ("x",), {"body": ["a"]}), "argument 'body': 'str' object cannot be interpreted as an integer"),
    (("data", ("x",), {"snapshot": bytearray(b"x")}),
     "argument 'snapshot': 'bytearray' object cannot be converted to 'bytes'"),
    (("data", ("x",), {"snapshot": memoryview(b"x")}),
     "argument 'snapshot': 'memoryview' object cannot be converted to 'bytes'"),
    (("data", ("x",), {"snapshot": "x"}), "argument 'snapshot': 'str' object cannot be converted to 'bytes'"),
]


@pytest.mark.parametrize("call, message", CONVERSION_ERRORS)
def test_conversion_errors(call, message):
    method, args, kwargs = call
    with pytest.raises(TypeError) as info:
        getattr(t.Probe(), method)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


class FloatRaises:
    def __float__(self):
        raise ValueError("no float here")


@pytest.mark.parametrize("call, error", [
    (("execute", ("\ud800",), {}), UnicodeEncodeError),
    (("execute", ("ls", {"\udc80": "v"}), {}), UnicodeEncodeError),
    (("execute", ("ls", {"k": "\udc80"}), {}), UnicodeEncodeError),
    (("configure", (), {"name": "n", "domains": ["\ud800"]}), UnicodeEncodeError),
    (("data", ("\ud800",), {}), UnicodeEncodeError),
    (("execute", ("ls",), {"timeout": 10 ** 400}), OverflowError),
    (("execute", ("ls",), {"timeout": FloatRaises()}), ValueError),
    (("data", ("x",), {"body": [256]}), OverflowError),
    (("data", ("x",), {"body": [-1]}), OverflowError),
])
def test_interpreter_errors_propagate_unchanged(call, error):
    method, args, kwargs = call
    with pytest.raises(error) as info:
        getattr(t.Probe(), method)(*args, **kwargs)
    assert type(info.value) is error
    assert not str(info.value).startswith("argument ")


@pytest.mark.parametrize("kwargs, expected", [
    ({"data": "é"}, (b"\xc3\xa9", None, None)),
    ({"data": b"\x00\xff"}, (b"\x00\xff", None, None)),
    ({"data": "", "body": b""}, (b"", b"", None)),
    ({"data": "", "body": bytearray(b"ab")}, (b"", b"ab", None)),
    ({"data": "", "body": [0, 1, 255]}, (b"", b"\x00\x01\xff", None)),
    ({"data": "", "body": (65,), "snapshot": b"s"}, (b"", b"A", b"s")),
    ({"data": "", "snapshot": type("B", (bytes,), {})(b"sub")}, (b"", None, b"sub")),
])
def test_byte_conversions(kwargs, expected):
    assert t.Probe().data(**kwargs) == expected


# ---- thread binding --------------------------------------------------------

def run_on_other_thread(action):
    outcome = {}

    def target():
        try:
            outcome["value"] = action()
        except BaseException as exc:  # noqa: B902 - reported to the test
            outcome["error"] = exc

    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    return outcome


UNSENDABLE = "quorrel.Probe is unsendable, but sent to another thread"


@pytest.mark.parametrize("action", [
    lambda p: p.execute("ls"),
    lambda p: p.execute(),  # refused before the arguments are looked at
    lambda p: p.peek(),
    lambda p: p.calls,
    lambda p: next(p),
    lambda p: iter(p),
    lambda p: p(),
], ids=["method", "method-bad-args", "reading-method", "property", "next", "iter", "call"])
def test_use_from_another_thread_is_refused(action):
    probe = t.Probe()
    outcome = run_on_other_thread(lambda: action(probe))
    assert type(outcome.get("error")) is RuntimeError
    assert str(outcome["error"]) == UNSENDABLE
    assert probe.calls == 0  # nothing ran
    assert next(probe) == 0  # the iterator did not advance either


def test_class_methods_and_result_objects_work_from_any_thread():
    # (the new object belongs to the other thread and dies there)
    assert run_on_other_thread(lambda: t.Probe.make(2).calls) == {"value": 2}
    result = t.Probe().result("x", b"", 1, True)
    assert run_on_other_thread(lambda: result.text) == {"value": "x"}


def test_drop_on_another_thread_leaks_and_reports():
    holder = [t.Probe()]
    with UnraisableRecorder() as recorder:
        run_on_other_thread(holder.clear)
        gc.collect()
    assert recorder.seen == [(RuntimeError, "quorrel.Probe is unsendable, but is being dropped on another thread", None)]


def test_drop_on_another_thread_keeps_a_pending_exception():
    holder = [t.Probe()]

    def drop_while_raising():
        try:
            raise KeyError("pending")
        except KeyError:
            holder.clear()
            return sys.exc_info()[1]

    with UnraisableRecorder() as recorder:
        outcome = run_on_other_thread(drop_while_raising)
    assert isinstance(outcome["value"], KeyError)
    assert len(recorder.seen) == 1


# ---- borrow flag -----------------------------------------------------------

class CallsBack:
    """A timeout whose conversion calls back into the object being called."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 1.0


@pytest.mark.parametrize("nested, message", [
    (lambda p: p.execute("inner"), "Already borrowed"),
    (lambda p: p.run("inner"), "Already borrowed"),
    (lambda p: next(p), "Already borrowed"),
    (lambda p: p(), "Already borrowed"),
    (lambda p: p.peek(), "Already mutably borrowed"),
    (lambda p: p.calls, "Already mutably borrowed"),
    (lambda p: iter(p), "Already mutably borrowed"),
])
def test_nested_use_during_an_exclusive_call_is_refused(nested, message):
    probe = t.Probe()
    with pytest.raises(RuntimeError) as info:
        probe.execute("outer", timeout=CallsBack(lambda: nested(probe)))
    assert info.value.args == (message,)
    # The flag is released when the refused call returns.
    assert probe.execute("again") == ("again", None, None, None)
    assert probe.calls == 1


def test_exclusive_call_holds_the_flag_for_its_whole_body():
    probe = t.Probe()
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        probe.call_back(lambda: probe.execute("x"))
    assert probe.call_back(lambda: "other object is free: " + str(t.Probe().execute("x")[0])) == \
        "other object is free: x"


def test_reading_calls_share_the_flag():
    probe = t.Probe()
    assert probe.peek(callback=lambda: probe.peek(callback=lambda: probe.calls)) == 0
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        probe.peek(callback=lambda: probe.execute("x"))
    assert probe.execute("x")[0] == "x"


# ---- class members ---------------------------------------------------------

def test_text_signatures_are_published():
    assert t.Probe.execute.__text_signature__ == "($self, command, env=None, timeout=None, cwd=None)"
    assert t.Probe.execute_code.__text_signature__ == "($self, language, code, *, env=None, timeout=None, cwd=None)"
    assert t.Probe.make.__text_signature__ == "($cls, calls=None)"
    assert t.Probe.execute.__doc__ == "Echo the arguments."
    assert t.Probe.__text_signature__ == "()"


def test_class_method_creates_instances_of_the_calling_class():
    class Sub(t.Probe):
        pass

    assert type(t.Probe.make()) is t.Probe
    made = Sub.make(calls=4)
    assert type(made) is Sub and made.calls == 4
    with pytest.raises(TypeError) as info:
        t.Probe.make(1, 2)
    assert str(info.value) == "make() takes from 1 to 2 positional arguments but 3 were given"


def test_iteration_and_call_slot():
    probe = t.Probe()
    assert iter(probe) is probe
    assert list(probe) == [0, 1, 2]
    with pytest.raises(StopIteration):
        next(probe)
    assert probe() == "called"
    with pytest.raises(TypeError) as info:
        probe(1)
    assert str(info.value) == "__call__() takes 1 positional argument but 2 were given"


def test_result_object_attributes_are_read_only_values():
    result = t.Probe().result("text é", "raw", 2 ** 40, 1, elapsed=0.25, headers={"a": "b"})
    assert (result.text, result.data, result.count, result.flag, result.elapsed, result.headers) == \
        ("text é", b"raw", 2 ** 40, True, 0.25, {"a": "b"})
    assert type(result.flag) is bool and type(result.data) is bytes
    assert t.Probe().result("", "", 0, 0).elapsed is None
    # Every read builds a new object from the stored value.
    assert result.headers is not result.headers
    result.headers["a"] = "changed"
    assert result.headers == {"a": "b"}
    for name in ["text", "data", "count", "flag", "elapsed", "headers"]:
        with pytest.raises(AttributeError):
            setattr(result, name, 1)
    with pytest.raises(AttributeError):
        result.other = 1
    with pytest.raises(TypeError) as info:
        t.ProbeResult()
    assert str(info.value) == "No constructor defined for ProbeResult"
    assert type(result).__name__ == "ProbeResult" and type(result).__module__ == "quorrel"


# ---- parse_python_timeout ---------------------------------------------------

@pytest.mark.parametrize("value", [
    0.0, -0.0, -1.0, -5e-324, float("nan"), float("-nan"), float("inf"), float("-inf"),
    2 ** 64, float(2 ** 64), 1e300, sys.float_info.max, 0, -3,
])
def test_parse_python_timeout_refuses(value):
    with pytest.raises(ValueError) as info:
        t.parse_python_timeout(value)
    assert info.value.args == ("timeout must be a finite positive float",)


def nearest_nanosecond(value):
    nanos = round(Fraction(value) * 10 ** 9)  # Fraction rounds half to even
    return divmod(nanos, 10 ** 9)


@pytest.mark.parametrize("value", [
    5e-324, 1e-300, 4e-10, 5e-10, 6e-10, 1e-9, 1.5, 0.1, 1 / 3, 2.0000000005, 0.9999999996, 1 / 1024, 3 / 1024,
    30.0, 1e15 + 0.5, 2 ** 53 - 1, float(2 ** 64 - 2048), 7, True,
])
def test_parse_python_timeout_rounds_to_nearest_nanosecond(value):
    assert t.parse_python_timeout(value) == nearest_nanosecond(value)


def test_parse_python_timeout_examples():
    assert t.parse_python_timeout(5e-324) == (0, 0)  # accepted, zero duration
    assert t.parse_python_timeout(1.5) == (1, 500_000_000)
    assert t.parse_python_timeout(0.9999999996) == (1, 0)  # carries into the seconds
    assert t.parse_python_timeout(1 / 1024) == (0, 976_562)  # a tie goes to the even count


# ---- extract_bytes_data ------------------------------------------------------

class BytesSub(bytes):
    pass


class StrSub(str):
    pass


@pytest.mark.parametrize("value, expected", [
    (b"abc", b"abc"), (b"", b""), ("", b""), ("é", b"\xc3\xa9"), ("a\x00b", b"a\x00b"),
    (BytesSub(b"sub"), b"sub"), (StrSub("s"), b"s"), ("😀", "😀".encode()),
])
def test_extract_bytes_data(value, expected):
    result = t.extract_bytes_data(value)
    assert result == expected and type(result) is bytes


@pytest.mark.parametrize("value", [bytearray(b"x"), memoryview(b"x"), 5, None, ["a"], 1.0])
def test_extract_bytes_data_refuses(value):
    with pytest.raises(TypeError) as info:
        t.extract_bytes_data(value)
    assert info.value.args == ("data must be str or bytes",)


def test_extract_bytes_data_lone_surrogate():
    with pytest.raises(UnicodeEncodeError):
        t.extract_bytes_data("\ud800")


# ---- map_sdk_error -------------------------------------------------------------

CODE_CLASSES = [
    ("CommandTimeout", TimeoutError),
    ("CommandFailed", t.SandboxProcessError),
    ("FileNotFound", FileNotFoundError),
    ("FilePermissionDenied", PermissionError),
    ("HttpDeniedHost", t.SandboxHttpError),
    ("HttpTimeout", TimeoutError),
    ("HttpBodyTooLarge", t.SandboxHttpError),
    ("HttpConnectFailed", ConnectionError),
    ("HttpTlsFailed", ConnectionError),
    ("HttpInvalidUrl", t.SandboxHttpError),
    ("SandboxNotReady", t.SandboxLifecycleError),
    ("SandboxDestroyed", t.SandboxLifecycleError),
    ("BackendFailure", t.SandboxLifecycleError),
    ("InvalidConfig", ValueError),
    ("UnsupportedPlatform", NotImplementedError),
]


def raised(**kwargs):
    with pytest.raises(BaseException) as info:
        t.raise_sdk_error(**kwargs)
    return info.value


@pytest.mark.parametrize("code, cls", CODE_CLASSES)
def test_map_sdk_error_codes(code, cls):
    with_suggestion = raised(kind="coded", code=code, message="m", suggestion="s")
    assert type(with_suggestion) is cls
    assert with_suggestion.args == ("m. Suggestion: s",)
    without = raised(kind="coded", code=code, message="m")
    assert type(without) is cls
    assert without.args == ("m",)
    # The base class is never raised itself, but catches the module's own errors.
    assert type(without) is not t.SandboxError
    assert isinstance(without, t.SandboxError) == (cls.__module__ == "quorrel")


@pytest.mark.parametrize("kwargs, cls, message", [
    ({"kind": "backend_unavailable", "message": "wasm"}, NotImplementedError, "wasm"),
    ({"kind": "config", "message": "bad config"}, ValueError, "bad config"),
    ({"kind": "config", "message": ""}, ValueError, ""),
    ({"kind": "coded", "code": "CommandFailed", "message": "中文 ✓"}, t.SandboxProcessError, "中文 ✓"),
    ({"kind": "io", "errno": errno.ENOENT}, FileNotFoundError, "No such file or directory (os error 2)"),
    ({"kind": "io", "errno": errno.EPERM}, PermissionError, "Operation not permitted (os error 1)"),
    ({"kind": "io", "errno": errno.EACCES}, PermissionError, "Permission denied (os error 13)"),
    ({"kind": "io", "errno": errno.EEXIST}, RuntimeError, "File exists (os error 17)"),
    ({"kind": "io", "errno": errno.EIO}, RuntimeError, "Input/output error (os error 5)"),
    ({"kind": "io", "errno": errno.ENOTDIR}, RuntimeError, "Not a directory (os error 20)"),
    ({"kind": "io", "io_kind": "NotFound", "message": "gone"}, FileNotFoundError, "gone"),
    ({"kind": "io", "io_kind": "PermissionDenied", "message": "no"}, PermissionError, "no"),
    ({"kind": "io", "io_kind": "TimedOut", "message": "slow"}, RuntimeError, "slow"),
    ({"kind": "io", "io_kind": "Other", "message": "other"}, RuntimeError, "other"),
])
def test_map_sdk_error_other_variants(kwargs, cls, message):
    error = raised(**kwargs)
    assert type(error) is cls
    assert error.args == (message,)


def test_mapped_os_errors_carry_only_the_message():
    error = raised(kind="io", errno=errno.ENOENT)
    assert error.errno is None and error.filename is None


def test_testing_exception_types_mirror_the_module():
    import quorrel
    for name in ["SandboxError", "SandboxProcessError", "SandboxHttpError", "SandboxLifecycleError"]:
        ours, real = getattr(t, name), getattr(quorrel, name)
        assert (ours.__name__, ours.__module__) == (real.__name__, real.__module__)
        assert [b.__name__ for b in ours.__mro__] == [b.__name__ for b in real.__mro__]
