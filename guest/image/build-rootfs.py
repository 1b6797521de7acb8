#!/usr/bin/python3
"""Builds the guest's initial ramdisk: a gzip-compressed newc cpio archive.

Contents: the agent as /init (also reachable as /usr/bin/quorrel-http),
busybox-static with its applets (/bin/sh is busybox's shell), bash, python3
with a trimmed standard library and the `quorrel_http` module, node, and the
shared libraries all of them need, found with ldd. The layout follows
Debian's merged /usr (/bin, /sbin, /lib and /lib64 are links into /usr).

The archive is deterministic: entries sorted by path, every mtime fixed,
owner root, inode numbers assigned in order, gzip header without name or
time. Two builds from the same inputs are byte-identical.

usage: build-rootfs.py --agent PATH --output PATH [--strip-cache DIR]
"""

import argparse
import gzip
import hashlib
import os
import re
import shutil
import stat
import subprocess
import sys

FIXED_MTIME = 1700000000
PY_VERSION = "3.11"
PY_LIB = f"/usr/lib/python{PY_VERSION}"
HERE = os.path.dirname(os.path.abspath(__file__))

# Parts of the Python standard library that user code in a sandbox has no
# use for (development headers, tests, GUI, packaging, documentation).
PY_EXCLUDE_DIRS = {
    "config-3.11-x86_64-linux-gnu", "test", "tests", "idle_test", "idlelib", "tkinter", "turtledemo",
    "ensurepip", "lib2to3", "pydoc_data", "distutils", "venv", "site-packages", "dist-packages", "__pycache__",
}
PY_EXCLUDE_FILES = {"turtle.py", "__phello__.foo.py"}
# Extension modules left out: test modules, terminal UI, databases needing
# large libraries, and TLS (the guest has no network; HTTPS goes through the
# host with quorrel_http).
PY_EXCLUDE_EXTENSIONS = re.compile(
    r"^(_test|_ctypes_test|_xxtestfuzz|xxlimited|_xxsubinterpreters|_curses|_dbm|_gdbm|_ssl|_hashlib|"
    r"nis|readline|ossaudiodev|_tkinter)")

# Busybox applets that must not shadow the real programs of the image.
BUSYBOX_SKIP = {"init", "linuxrc", "bash"}

# Files of the running system that programs in the image read.
ETC_FILES = {
    "/etc/passwd": "root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/nonexistent:/bin/false\n",
    "/etc/group": "root:x:0:\nnogroup:x:65534:\n",
    "/etc/hostname": "quorrel\n",
    "/etc/hosts": "127.0.0.1 localhost quorrel\n",
    "/etc/nsswitch.conf": "passwd: files\ngroup: files\nhosts: files\n",
}


class Archive:
    """The file tree to write, keyed by absolute path inside the guest."""

    def __init__(self):
        self.entries = {}  # path -> ("dir", mode) | ("file", mode, data) | ("link", target)

    def add_dir(self, path, mode=0o755):
        path = path.rstrip("/") or "/"
        if path == "/":
            return
        self.add_dir(os.path.dirname(path))
        existing = self.entries.get(path)
        if existing is None or existing[0] != "dir":
            if existing is not None:
                raise SystemExit(f"build-rootfs: {path} is both a directory and a {existing[0]}")
            self.entries[path] = ("dir", mode)

    def add_data(self, path, data, mode=0o644):
        self.add_dir(os.path.dirname(path))
        self.entries[path] = ("file", mode, data)

    def add_file(self, path, source, mode=None):
        with open(source, "rb") as f:
            data = f.read()
        if mode is None:
            mode = 0o755 if os.stat(source).st_mode & 0o111 else 0o644
        self.add_data(path, data, mode)

    def add_link(self, path, target):
        self.add_dir(os.path.dirname(path))
        self.entries[path] = ("link", target)

    def write_cpio(self, out):
        ino = 1
        for path in sorted(self.entries):
            entry = self.entries[path]
            name = path.lstrip("/").encode()
            if entry[0] == "dir":
                mode, data, nlink = stat.S_IFDIR | entry[1], b"", 2
            elif entry[0] == "file":
                mode, data, nlink = stat.S_IFREG | entry[1], entry[2], 1
            else:
                mode, data, nlink = stat.S_IFLNK | 0o777, entry[1].encode(), 1
            write_cpio_entry(out, ino, mode, nlink, data, name)
            ino += 1
        write_cpio_entry(out, 0, 0, 1, b"", b"TRAILER!!!")

    def total_bytes(self):
        return sum(len(e[2]) for e in self.entries.values() if e[0] == "file")


def write_cpio_entry(out, ino, mode, nlink, data, name):
    namesize = len(name) + 1
    header = "070701" + "".join(
        f"{v:08x}" for v in (ino, mode, 0, 0, nlink, FIXED_MTIME, len(data), 0, 0, 0, 0, namesize, 0))
    out.write(header.encode())
    out.write(name + b"\0")
    out.write(b"\0" * ((4 - (110 + namesize) % 4) % 4))
    out.write(data)
    out.write(b"\0" * ((4 - len(data) % 4) % 4))


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def shared_libraries(path):
    """Absolute paths (as the loader asks for them) of the libraries of an ELF file."""
    result = subprocess.run(["ldd", path], capture_output=True, text=True)
    if result.returncode != 0:
        if "not a dynamic executable" in result.stdout + result.stderr:
            return []
        raise SystemExit(f"build-rootfs: ldd {path} failed: {result.stderr.strip()}")
    libs = []
    for line in result.stdout.splitlines():
        line = line.strip()
        if "=> not found" in line:
            raise SystemExit(f"build-rootfs: {path} needs a missing library: {line}")
        m = re.match(r"\S+ => (/\S+) \(0x", line) or re.match(r"(/\S+) \(0x", line)
        if m:
            libs.append(m.group(1))
    return libs


def guest_library_path(host_path):
    """Where a library goes in the guest (merged /usr: /lib/... becomes /usr/lib/...)."""
    for prefix in ("/lib64/", "/lib/"):
        if host_path.startswith(prefix):
            return "/usr" + host_path
    return host_path


class Builder:
    def __init__(self, strip_cache):
        self.archive = Archive()
        self.strip_cache = strip_cache
        self.libraries = set()

    def stripped(self, source):
        """A stripped copy of an ELF file, cached by the source's identity."""
        st = os.stat(source)
        key = hashlib.sha256(f"{os.path.realpath(source)} {st.st_size} {st.st_mtime_ns}".encode()).hexdigest()[:16]
        cached = os.path.join(self.strip_cache, f"{os.path.basename(source)}-{key}")
        if not os.path.exists(cached):
            os.makedirs(self.strip_cache, exist_ok=True)
            tmp = cached + ".tmp"
            shutil.copyfile(source, tmp)
            subprocess.run(["strip", "--strip-unneeded", tmp], check=True)
            os.replace(tmp, cached)
        return cached

    def add_program(self, guest_path, source, strip=True):
        """Adds an ELF program or library and, recursively, its libraries."""
        real = os.path.realpath(source)
        mode = 0o755 if os.stat(real).st_mode & 0o111 else 0o644
        self.archive.add_file(guest_path, self.stripped(real) if strip else real, mode)
        for lib in shared_libraries(real):
            guest_lib = guest_library_path(lib)
            if guest_lib not in self.libraries:
                self.libraries.add(guest_lib)
                self.add_program(guest_lib, lib, strip=True)

    def add_busybox(self):
        self.archive.add_file("/usr/bin/busybox", "/bin/busybox", 0o755)
        listing = subprocess.run(["/bin/busybox", "--list-full"], capture_output=True, text=True, check=True)
        for entry in sorted(listing.stdout.split()):
            name = os.path.basename(entry)
            if name in BUSYBOX_SKIP:
                continue
            directory = "/usr/sbin" if "sbin/" in entry else "/usr/bin"
            path = f"{directory}/{name}"
            if path not in self.archive.entries:
                self.archive.add_link(path, "/usr/bin/busybox")

    def add_python(self):
        self.add_program(f"/usr/bin/python{PY_VERSION}", f"/usr/bin/python{PY_VERSION}")
        self.archive.add_link("/usr/bin/python3", f"python{PY_VERSION}")
        self.archive.add_link("/usr/bin/python", f"python{PY_VERSION}")
        for root, dirs, files in os.walk(PY_LIB):
            dirs[:] = sorted(d for d in dirs if d not in PY_EXCLUDE_DIRS)
            for name in sorted(files):
                source = os.path.join(root, name)
                if name in PY_EXCLUDE_FILES or name.endswith((".pyc", ".exe")):
                    continue
                if root.endswith("lib-dynload"):
                    if PY_EXCLUDE_EXTENSIONS.match(name):
                        continue
                    self.add_program(source, source)
                    continue
                # Links (Debian points sitecustomize.py into /etc) are copied
                # as the files they point to.
                if os.path.exists(source):
                    self.archive.add_file(source, os.path.realpath(source), 0o644)
        self.archive.add_file(f"{PY_LIB}/quorrel_http.py", os.path.join(HERE, "python", "quorrel_http.py"), 0o644)
        self.precompile_python()

    def precompile_python(self):
        """Byte-compiles the standard library into __pycache__ with hash-based
        (mtime-independent) pyc files, so imports in the guest need no
        compilation and the bytes are reproducible."""
        import importlib.util
        import py_compile
        import tempfile
        sources = [p for p, e in self.archive.entries.items()
                   if e[0] == "file" and p.startswith(PY_LIB + "/") and p.endswith(".py")]
        with tempfile.TemporaryDirectory() as tmp:
            for path in sorted(sources):
                cfile = importlib.util.cache_from_source(path)
                out = os.path.join(tmp, "x.pyc")
                src = os.path.join(tmp, "src.py")
                with open(src, "wb") as f:
                    f.write(self.archive.entries[path][2])
                try:
                    py_compile.compile(src, cfile=out, dfile=path, doraise=True,
                                       invalidation_mode=py_compile.PycInvalidationMode.UNCHECKED_HASH)
                except py_compile.PyCompileError:
                    continue  # e.g. files that are templates, not Python
                with open(out, "rb") as f:
                    self.archive.add_data(cfile, f.read(), 0o644)

    def build(self, agent):
        a = self.archive
        for d, mode in (("/dev", 0o755), ("/proc", 0o555), ("/sys", 0o555), ("/tmp", 0o1777), ("/run", 0o755),
                        ("/sandbox", 0o755), ("/root", 0o700), ("/etc", 0o755), ("/usr/local/bin", 0o755)):
            a.add_dir(d, mode)
        for link, target in (("/bin", "usr/bin"), ("/sbin", "usr/sbin"), ("/lib", "usr/lib"),
                             ("/lib64", "usr/lib64")):
            a.add_link(link, target)
        a.add_dir("/usr/sbin")
        for path, text in ETC_FILES.items():
            a.add_data(path, text.encode(), 0o644)
        a.add_file("/init", agent, 0o755)
        if shared_libraries(agent):
            raise SystemExit("build-rootfs: the agent must be linked statically")
        a.add_link("/usr/bin/quorrel-http", "/init")
        self.add_busybox()
        self.add_program("/usr/bin/bash", "/bin/bash")
        self.add_python()
        self.add_program("/usr/bin/node", "/usr/bin/node")
        return a


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--agent", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("--strip-cache", default=os.path.join(
        os.environ.get("XDG_CACHE_HOME", os.path.expanduser("~/.cache")), "quorrel", "stripped"))
    args = parser.parse_args()

    archive = Builder(args.strip_cache).build(args.agent)
    tmp = args.output + ".tmp"
    with open(tmp, "wb") as raw:
        with gzip.GzipFile(filename="", mode="wb", fileobj=raw, compresslevel=6, mtime=0) as gz:
            archive.write_cpio(gz)
    os.replace(tmp, args.output)
    print(f"build-rootfs: {len(archive.entries)} entries, {archive.total_bytes()} bytes of file data, "
          f"{os.path.getsize(args.output)} bytes compressed")


if __name__ == "__main__":
    sys.exit(main())
