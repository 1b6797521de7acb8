"""Small helpers shared by the test modules."""
import sys

import pytest


class UnraisableRecorder:
    """Collects what the interpreter reports through sys.unraisablehook while active."""

    def __init__(self):
        self.seen = []

    def __enter__(self):
        self.previous = sys.unraisablehook
        sys.unraisablehook = lambda u: self.seen.append((type(u.exc_value), str(u.exc_value), u.object))
        return self

    def __exit__(self, *exc):
        sys.unraisablehook = self.previous


def raised(call):
    """The type and message of the exception that call() raises."""
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), str(info.value)
