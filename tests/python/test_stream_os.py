"""Streaming at the OS level (stream_execute, StreamIterator, StreamEvent) and
the Process facade."""
import threading

import pytest

import quorrel


def describe(event):
    return (event.event_type, event.stdout, event.stderr, event.exit_code, event.timed_out)


# ---- stream_execute ---------------------------------------------------------

@pytest.mark.parametrize("command, events", [
    ("echo hi", [("stdout", b"hi\n", None, None, False), ("exit", None, None, 0, False)]),
    ("sh -c 'exit 1'", [("exit", None, None, 1, False)]),
    ("true", [("exit", None, None, 0, False)]),
    ("sh -c 'echo err >&2; echo out; exit 2'",
     [("stdout", b"out\n", None, None, False), ("stderr", None, b"err\n", None, False),
      ("exit", None, None, 2, False)]),
    ("sh -c 'printf \"\\377\\000\" >&2'", [("stderr", None, b"\xff\x00", None, False), ("exit", None, None, 0, False)]),
])
def test_stream_events_in_order(sb, command, events):
    assert [describe(e) for e in sb.stream_execute(command)] == events


def test_stream_delivers_large_output_in_one_chunk(sb):
    events = list(sb.stream_execute("head -c 1048576 /dev/zero"))
    assert [e.event_type for e in events] == ["stdout", "exit"]
    assert events[0].stdout == bytes(1048576)


def test_stream_ends_for_good(sb):
    iterator = sb.stream_execute("echo hi")
    assert iter(iterator) is iterator
    assert next(iterator).event_type == "stdout"
    assert next(iterator).event_type == "exit"
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(iterator)


def test_stream_runs_the_command_before_returning(sb, shared_tmp):
    marker = shared_tmp / "ran"
    iterator = sb.stream_execute(f"touch {marker}")
    assert marker.exists()  # nothing has been pulled yet
    assert [e.exit_code for e in iterator] == [0]


@pytest.mark.parametrize("command, error, message", [
    ("", quorrel.SandboxProcessError, "command must not be empty"),
    ("   ", quorrel.SandboxProcessError, "command must not be empty"),
    ("echo 'a", ValueError, "command parsing failed: mismatched shell-style quotes"),
])
def test_stream_execute_errors(sb, command, error, message):
    with pytest.raises(error) as info:
        sb.stream_execute(command)
    assert info.value.args == (message,)


def test_stream_execute_argument_type(sb):
    with pytest.raises(TypeError) as info:
        sb.stream_execute(b"echo")
    assert str(info.value) == "argument 'command': 'bytes' object cannot be converted to 'str'"


def test_stream_iterator_is_bound_to_its_thread(sb):
    iterator = sb.stream_execute("echo hi")
    outcome = []

    def pull():
        try:
            next(iterator)
        except RuntimeError as error:
            outcome.append(str(error))

    thread = threading.Thread(target=pull)
    thread.start()
    thread.join()
    assert outcome == ["quorrel.StreamIterator is unsendable, but sent to another thread"]
    assert [e.event_type for e in iterator] == ["stdout", "exit"]  # nothing was taken


def test_stream_iterator_outlives_its_sandbox():
    sandbox = quorrel.Sandbox(isolation="os")
    iterator = sandbox.stream_execute("echo hi")
    sandbox.close()
    del sandbox
    assert [e.event_type for e in iterator] == ["stdout", "exit"]


def test_stream_event_is_read_only_with_documented_attributes(sb):
    event = next(sb.stream_execute("echo hi"))
    for name in ("event_type", "stdout", "stderr", "exit_code", "timed_out"):
        with pytest.raises(AttributeError):
            setattr(event, name, None)
    docs = {name: getattr(quorrel.StreamEvent, name).__doc__
            for name in ("event_type", "stdout", "stderr", "exit_code", "timed_out")}
    assert docs == {
        "event_type": "",
        "stdout": "Returns stdout bytes chunk, if present.",
        "stderr": "Returns stderr bytes chunk, if present.",
        "exit_code": "Returns the process exit code, if available.",
        "timed_out": "Returns whether the command timed out.",
    }
    # Each read builds a new bytes object.
    assert event.stdout == event.stdout and event.stdout is not event.stdout


# ---- Process facade ---------------------------------------------------------

def test_process_run_matches_execute(sb):
    via_facade = sb.process.run("sh -c 'echo o; echo e >&2; exit 4'", timeout=5.0)
    direct = sb.execute("sh -c 'echo o; echo e >&2; exit 4'", timeout=5.0)
    assert type(via_facade) is quorrel.ExecuteResult
    assert ([getattr(via_facade, n) for n in ("stdout", "stderr", "exit_code", "timed_out")] ==
            [getattr(direct, n) for n in ("stdout", "stderr", "exit_code", "timed_out")])
    assert isinstance(via_facade.elapsed, float)


def test_process_run_code_and_stream(sb):
    assert sb.process.run_code("py", "print(6 * 7)").stdout == "42\n"
    assert sb.process.run_code("sh", "pwd", cwd="/tmp", env={"A": "1"}, timeout=5).stdout == "/tmp\n"
    assert [describe(e) for e in sb.process.stream("echo hi")] == [
        ("stdout", b"hi\n", None, None, False), ("exit", None, None, 0, False)]


def test_process_is_a_new_facade_each_time(sb):
    assert isinstance(sb.process, quorrel.Process)
    assert sb.process is not sb.process
    with pytest.raises(TypeError):
        quorrel.Process()


def test_process_keeps_its_sandbox_alive():
    process = quorrel.Sandbox(isolation="os").process
    assert process.run("echo alive").stdout == "alive\n"


class Recording(quorrel.Sandbox):
    """Records what the facade forwards, then runs the real method."""

    def __init__(self, *args, **kwargs):
        self.calls = []

    def execute(self, *args, **kwargs):
        self.calls.append(("execute", args, kwargs))
        return super().execute(*args, **kwargs)

    def execute_code(self, *args, **kwargs):
        self.calls.append(("execute_code", args, kwargs))
        return super().execute_code(*args, **kwargs)

    def stream_execute(self, *args, **kwargs):
        self.calls.append(("stream_execute", args, kwargs))
        return super().stream_execute(*args, **kwargs)


def test_process_forwards_by_attribute_lookup():
    sandbox = Recording(isolation="os")
    result = sandbox.process.run("echo hi")
    sandbox.process.run("echo hi", {"A": "1"}, 5, "/tmp")
    sandbox.process.run_code("py", "print(1)")
    sandbox.process.run_code("py", "print(1)", timeout=5)
    sandbox.process.stream("echo hi")
    assert result.stdout == "hi\n"
    assert sandbox.calls == [
        ("execute", ("echo hi", None, None, None), {}),
        ("execute", ("echo hi", {"A": "1"}, 5.0, "/tmp"), {}),
        ("execute_code", ("py", "print(1)"), {}),
        ("execute_code", ("py", "print(1)"), {"timeout": 5.0}),
        ("stream_execute", ("echo hi",), {}),
    ]


def test_process_copies_the_result_and_passes_the_stream_unchanged():
    marker = object()

    class Custom(quorrel.Sandbox):
        last = None

        def execute(self, *args):
            Custom.last = super().execute(*args)
            return Custom.last

        def stream_execute(self, command):
            return marker

    sandbox = Custom(isolation="os")
    result = sandbox.process.run("echo hi")
    assert result is not Custom.last and result.stdout == Custom.last.stdout
    assert sandbox.process.stream("x") is marker


def test_process_refuses_a_foreign_result():
    class Custom(quorrel.Sandbox):
        def execute(self, *args):
            return 7

    with pytest.raises(TypeError) as info:
        Custom(isolation="os").process.run("echo hi")
    assert str(info.value) == "'int' object cannot be converted to 'ExecuteResult'"


@pytest.mark.parametrize("call, message", [
    (lambda p: p.run(1), "argument 'command': 'int' object cannot be converted to 'str'"),
    (lambda p: p.run("x", env=[]), "argument 'env': 'list' object cannot be converted to 'dict'"),
    (lambda p: p.run("x", timeout="1"), "argument 'timeout': must be real number, not str"),
    (lambda p: p.run("x", cwd=1), "argument 'cwd': 'int' object cannot be converted to 'str'"),
    (lambda p: p.run_code("py", b"x"), "argument 'code': 'bytes' object cannot be converted to 'str'"),
    (lambda p: p.run_code("py", "x", None), "run_code() takes 3 positional arguments but 4 were given"),
    (lambda p: p.stream(None), "argument 'command': 'NoneType' object cannot be converted to 'str'"),
])
def test_process_converts_arguments_first(sb, call, message):
    with pytest.raises(TypeError) as info:
        call(sb.process)
    assert str(info.value) == message


def test_process_passes_errors_through(sb):
    with pytest.raises(ValueError) as info:
        sb.process.run("true", timeout=0)
    assert str(info.value) == "timeout must be a finite positive float"
    with pytest.raises(quorrel.SandboxProcessError):
        sb.process.stream("")
