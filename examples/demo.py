"""A short tour of quorrel: the module, its exceptions, and an OS-level sandbox
that runs a command and a python3 snippet."""
import quorrel

print("quorrel exports:", ", ".join(quorrel.__all__))
print()
print("exception classes:")
for name in ("SandboxError", "SandboxProcessError", "SandboxHttpError", "SandboxLifecycleError"):
    cls = getattr(quorrel, name)
    bases = ", ".join(b.__module__ + "." + b.__name__ if b.__module__ != "builtins" else b.__name__
                      for b in cls.__bases__)
    print(f"  {cls.__module__}.{cls.__name__}({bases})")


def show(label, result):
    print(f"{label}:")
    print(f"  exit_code={result.exit_code} timed_out={result.timed_out} elapsed={result.elapsed:.4f}s")
    for stream in ("stdout", "stderr"):
        text = getattr(result, stream)
        if text:
            print(f"  {stream}: " + text.rstrip("\n").replace("\n", "\n          "))


print()
with quorrel.Sandbox(isolation="os") as sb:
    # A command is split into words the way a shell would, without running one.
    show("execute('echo hello from   the \"OS level\"')", sb.execute('echo hello from   the "OS level"'))
    show("execute('id')", sb.execute("id"))

    snippet = "import sys, os\nprint('python', sys.version.split()[0], 'as uid', os.getuid())\nprint(sum(range(10)))"
    show("execute_code('python3', ...)", sb.execute_code("python3", snippet))

    show("execute('sleep 5', timeout=0.2)", sb.execute("sleep 5", timeout=0.2))

    print("stream_execute('sh -c \"echo out; echo err >&2; exit 3\"'):")
    for event in sb.stream_execute("sh -c 'echo out; echo err >&2; exit 3'"):
        print(f"  {event.event_type:<7} stdout={event.stdout!r} stderr={event.stderr!r} exit_code={event.exit_code}")

    # Unbalanced quotes are refused before anything runs.
    try:
        sb.execute("echo 'unbalanced")
    except ValueError as error:
        print(f"execute(\"echo 'unbalanced\") raised ValueError: {error}")

    # Snapshots and host-side HTTPS need a microVM; the OS level says so.
    try:
        sb.http_request("GET", "https://example.com/")
    except NotImplementedError as error:
        print(f"http_request(...) raised NotImplementedError: {error}")
