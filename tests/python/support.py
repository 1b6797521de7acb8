"""Small helpers shared by the test modules."""
import sys


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
