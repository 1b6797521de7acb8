"""A short tour of quorrel: the module, its exceptions, and a sandbox."""
import quorrel

print("quorrel exports:", ", ".join(quorrel.__all__))
print()
print("exception classes:")
for name in ("SandboxError", "SandboxProcessError", "SandboxHttpError", "SandboxLifecycleError"):
    cls = getattr(quorrel, name)
    bases = ", ".join(b.__module__ + "." + b.__name__ if b.__module__ != "builtins" else b.__name__
                      for b in cls.__bases__)
    print(f"  {cls.__module__}.{cls.__name__}({bases})")
