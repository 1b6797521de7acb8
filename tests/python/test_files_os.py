"""File API at the OS level: the Sandbox file methods on host paths, DirEntry,
FileStat and the FileSystem facade."""
import os
import stat as stat_module

import pytest

import quorrel
from support import raised

EMPTY_PATH = "path must not be empty"
TRAVERSAL = "path must not contain '..' path traversal"


# ---- read_file / write_file -------------------------------------------------

def test_write_and_read_round_trip(sb, tmp_path):
    path = str(tmp_path / "data.bin")
    data = bytes(range(256)) * 1000
    assert sb.write_file(path, data) is None
    assert sb.read_file(path) == data
    assert open(path, "rb").read() == data
    sb.write_file(path, "héllo")  # str as UTF-8, the old content truncated
    assert sb.read_file(path) == "héllo".encode()
    sb.write_file(path, b"")
    assert sb.read_file(path) == b""


def test_written_file_is_visible_to_the_command(sb, shared_tmp):
    path = shared_tmp / "in.txt"
    sb.write_file(str(path), b"from host\n")
    path.chmod(0o644)
    assert sb.execute(f"cat {path}").stdout == "from host\n"
    sb.execute(f"sh -c 'echo from sandbox > {shared_tmp}/out.txt'", cwd="/tmp")
    assert sb.read_file(f"{shared_tmp}/out.txt") == b"from sandbox\n"


@pytest.mark.parametrize("data", [5, None, bytearray(b"x"), memoryview(b"x"), ["a"]])
def test_write_file_refuses_other_data(sb, tmp_path, data):
    path = tmp_path / "x"
    assert raised(lambda: sb.write_file(str(path), data)) == (TypeError, "data must be str or bytes")
    assert not path.exists()


@pytest.mark.parametrize("path, message", [
    ("", EMPTY_PATH), ("../x", TRAVERSAL), ("/tmp/a..b", TRAVERSAL), ("/tmp/..", TRAVERSAL)])
@pytest.mark.parametrize("method", ["read_file", "write_file"])
def test_host_file_path_checks(sb, method, path, message):
    call = (lambda: sb.read_file(path)) if method == "read_file" else (lambda: sb.write_file(path, b"x"))
    assert raised(call) == (ValueError, message)


@pytest.mark.parametrize("make, error", [
    (lambda d: str(d / "missing"), FileNotFoundError),
    (lambda d: str(d / "missing" / "x"), FileNotFoundError),
    (lambda d: str(d), RuntimeError),  # a directory: EISDIR
    (lambda d: str(d) + "/a\0b", RuntimeError),
])
def test_read_file_errors(sb, tmp_path, make, error):
    assert raised(lambda: sb.read_file(make(tmp_path)))[0] is error


def test_read_file_error_text_is_the_os_text(sb, tmp_path):
    assert raised(lambda: sb.read_file(str(tmp_path / "missing"))) == (
        FileNotFoundError, "No such file or directory (os error 2)")


def test_write_file_into_missing_directory(sb, tmp_path):
    assert raised(lambda: sb.write_file(str(tmp_path / "no" / "x"), b"")) == (
        FileNotFoundError, "No such file or directory (os error 2)")


def test_read_file_argument_types(sb):
    assert raised(lambda: sb.read_file(b"/etc/hostname")) == (
        TypeError, "argument 'path': 'bytes' object cannot be converted to 'str'")


# ---- stat -------------------------------------------------------------------

def test_stat_of_tmp(sb):
    st = sb.stat("/tmp")
    assert (st.path, st.is_dir, st.is_file) == ("/tmp", True, False)
    assert st.mode & 0o170000 == 0o040000
    assert st.mode == os.stat("/tmp").st_mode


def test_stat_of_a_file_follows_symlinks(sb, tmp_path):
    target = tmp_path / "f"
    target.write_bytes(b"12345")
    link = tmp_path / "link"
    link.symlink_to(target)
    host = os.stat(target)
    for path in (str(target), str(link)):
        st = sb.stat(path)
        assert (st.path, st.is_dir, st.is_file, st.size, st.mode) == (path, False, True, 5, host.st_mode)
        assert st.modified_ms == host.st_mtime_ns // 1_000_000


def test_stat_keeps_the_path_as_given(sb, tmp_path, monkeypatch):
    (tmp_path / "rel").write_bytes(b"")
    monkeypatch.chdir(tmp_path)
    assert sb.stat("rel").path == "rel"
    assert sb.stat("./rel").is_file


def test_stat_modification_time_before_the_epoch(sb, tmp_path):
    path = tmp_path / "old"
    path.write_bytes(b"")
    os.utime(path, (-10, -10))
    assert sb.stat(str(path)).modified_ms is None
    os.utime(path, ns=(1_500_000_123_456_789_000, 1_500_000_123_456_789_000))
    assert sb.stat(str(path)).modified_ms == 1_500_000_123_456


def test_stat_of_special_files(sb):
    st = sb.stat("/dev/null")
    assert (st.is_dir, st.is_file) == (False, False)
    assert stat_module.S_ISCHR(st.mode)


@pytest.mark.parametrize("method, args", [
    ("stat", ("",)), ("stat", ("a/../b",)),
    ("file_exists", ("",)), ("file_exists", ("/tmp/..",)),
    ("remove_file", ("",)), ("remove_file", ("/tmp/x..y",)),
    ("rename", ("", "/tmp/b")), ("rename", ("/tmp/a", "")),
    ("rename", ("/tmp/../a", "/tmp/b")), ("rename", ("/tmp/a", "/tmp/../b")),
])
def test_path_checks_fail_as_failed_commands(sb, method, args):
    error, message = raised(lambda: getattr(sb, method)(*args))
    assert error is quorrel.SandboxProcessError
    assert message == (EMPTY_PATH if "" in args else TRAVERSAL)


def test_stat_missing(sb, tmp_path):
    assert raised(lambda: sb.stat(str(tmp_path / "missing"))) == (
        FileNotFoundError, "No such file or directory (os error 2)")


def test_file_stat_is_read_only(sb):
    st = sb.stat("/tmp")
    for name in ("path", "is_dir", "is_file", "size", "mode", "modified_ms"):
        with pytest.raises(AttributeError):
            setattr(st, name, 1)
    assert quorrel.FileStat.__doc__ == "文件元信息，由 Sandbox.stat() 返回。"


# ---- list_dir ---------------------------------------------------------------

def entries_of(sb, path):
    return {e.name: (e.file_type, e.size, e.is_symlink) for e in sb.list_dir(path)}


def test_list_dir_describes_each_entry(sb, tmp_path):
    (tmp_path / "file").write_bytes(b"abc")
    (tmp_path / "dir").mkdir()
    (tmp_path / "link").symlink_to(tmp_path / "file")
    (tmp_path / "dangling").symlink_to(tmp_path / "nowhere")
    os.mkfifo(tmp_path / "fifo")
    listed = entries_of(sb, str(tmp_path))
    assert listed == {
        "file": ("file", 3, False),
        "dir": ("dir", os.lstat(tmp_path / "dir").st_size, False),
        "link": ("other", len(str(tmp_path / "file")), True),
        "dangling": ("other", len(str(tmp_path / "nowhere")), True),
        "fifo": ("other", 0, False),
    }


def test_list_dir_keeps_the_directory_order(sb, tmp_path):
    for i in range(50):
        (tmp_path / f"f{i}").write_bytes(b"")
    assert [e.name for e in sb.list_dir(str(tmp_path))] == os.listdir(tmp_path)


def test_list_dir_is_not_path_checked(sb, tmp_path, monkeypatch):
    (tmp_path / "child").mkdir()
    (tmp_path / "sibling").write_bytes(b"")
    monkeypatch.chdir(tmp_path / "child")
    assert set(entries_of(sb, "..")) == {"child", "sibling"}
    assert set(entries_of(sb, "../child/..")) == {"child", "sibling"}


def test_list_dir_decodes_names_lossily(sb, tmp_path):
    os.close(os.open(os.path.join(os.fsencode(tmp_path), b"bad\xffname"), os.O_CREAT | os.O_WRONLY))
    assert [e.name for e in sb.list_dir(str(tmp_path))] == ["bad\ufffdname"]


def test_list_dir_of_an_empty_directory(sb, tmp_path):
    assert sb.list_dir(str(tmp_path)) == []


@pytest.mark.parametrize("make, error", [
    (lambda d: str(d / "missing"), FileNotFoundError),
    (lambda d: str(d / "file"), RuntimeError),  # ENOTDIR
    (lambda d: "", FileNotFoundError),
])
def test_list_dir_errors(sb, tmp_path, make, error):
    (tmp_path / "file").write_bytes(b"")
    assert raised(lambda: sb.list_dir(make(tmp_path)))[0] is error


def test_dir_entry_is_read_only(sb, tmp_path):
    (tmp_path / "f").write_bytes(b"")
    entry = sb.list_dir(str(tmp_path))[0]
    for name in ("name", "file_type", "size", "is_symlink"):
        with pytest.raises(AttributeError):
            setattr(entry, name, 1)
    with pytest.raises(TypeError):
        quorrel.DirEntry()


# ---- file_exists / remove_file / rename ------------------------------------

def test_file_exists(sb, tmp_path):
    (tmp_path / "f").write_bytes(b"")
    (tmp_path / "dangling").symlink_to(tmp_path / "nowhere")
    (tmp_path / "link").symlink_to(tmp_path / "f")
    assert [sb.file_exists(str(tmp_path / n)) for n in ("f", "link", "dangling", "missing")] == [
        True, True, False, False]
    assert sb.file_exists(str(tmp_path)) is True
    assert sb.file_exists(str(tmp_path) + "/f\0") is False


def test_remove_file_removes_files_links_and_empty_directories(sb, tmp_path):
    (tmp_path / "f").write_bytes(b"")
    (tmp_path / "empty").mkdir()
    (tmp_path / "link").symlink_to(tmp_path / "f")
    (tmp_path / "dangling").symlink_to(tmp_path / "nowhere")
    for name in ("link", "dangling", "f", "empty"):
        assert sb.remove_file(str(tmp_path / name)) is None
    assert os.listdir(tmp_path) == []


def test_remove_file_errors(sb, tmp_path):
    (tmp_path / "full").mkdir()
    (tmp_path / "full" / "x").write_bytes(b"")
    assert raised(lambda: sb.remove_file(str(tmp_path / "full"))) == (
        RuntimeError, "Directory not empty (os error 39)")
    assert (tmp_path / "full" / "x").exists()
    assert raised(lambda: sb.remove_file(str(tmp_path / "missing"))) == (
        FileNotFoundError, "No such file or directory (os error 2)")


def test_rename_moves_files_and_directories(sb, tmp_path):
    (tmp_path / "a").write_bytes(b"content")
    (tmp_path / "sub").mkdir()
    assert sb.rename(str(tmp_path / "a"), str(tmp_path / "sub" / "b")) is None
    assert (tmp_path / "sub" / "b").read_bytes() == b"content" and not (tmp_path / "a").exists()
    sb.rename(str(tmp_path / "sub"), str(tmp_path / "moved"))
    assert (tmp_path / "moved" / "b").exists()


def test_rename_errors(sb, tmp_path):
    assert raised(lambda: sb.rename(str(tmp_path / "missing"), str(tmp_path / "b")))[0] is FileNotFoundError
    assert raised(lambda: sb.rename(**{"from": "/tmp/a", "to": 1})) == (
        TypeError, "argument 'to': 'int' object cannot be converted to 'str'")


def test_file_methods_of_a_wasm_sandbox():
    sandbox = quorrel.Sandbox(isolation="wasm")
    for call in (lambda: sandbox.read_file("/etc/hostname"), lambda: sandbox.list_dir("/tmp"),
                 lambda: sandbox.stat("/tmp"), lambda: sandbox.write_file("/tmp/x", b"")):
        assert raised(call) == (NotImplementedError, "wasm")


def test_file_methods_create_the_backend():
    sandbox = quorrel.Sandbox(isolation="os")
    sandbox.file_exists("/tmp")
    assert sandbox.is_ready() is True


# ---- FileSystem facade ------------------------------------------------------

def test_file_system_round_trip(sb, tmp_path):
    fs = sb.fs
    path = str(tmp_path / "f")
    assert fs.write(path, "héllo") is None
    assert open(path, "rb").read() == "héllo".encode() and len(fs.read(path)) == 6
    assert fs.exists(path) is True
    assert [e.name for e in fs.list(str(tmp_path))] == ["f"]
    assert fs.stat(path).size == 6
    assert fs.rename(path, path + "2") is None
    assert fs.remove(path + "2") is None
    assert fs.exists(path + "2") is False


def test_file_system_write_refuses_other_data(sb, tmp_path):
    assert raised(lambda: sb.fs.write(str(tmp_path / "x"), 5)) == (TypeError, "data must be str or bytes")


def test_file_system_is_a_new_facade_each_time(sb):
    assert isinstance(sb.fs, quorrel.FileSystem) and sb.fs is not sb.fs
    with pytest.raises(TypeError):
        quorrel.FileSystem()


def test_file_system_passes_errors_through(sb, tmp_path):
    assert raised(lambda: sb.fs.read(str(tmp_path / "missing")))[0] is FileNotFoundError
    assert raised(lambda: sb.fs.stat(""))[0] is quorrel.SandboxProcessError


class Overriding(quorrel.Sandbox):
    """File methods returning whatever the test puts in `answers`."""

    def __init__(self, *args, **kwargs):
        self.answers = {}

    def read_file(self, path):
        return self.answers["read_file"]

    def list_dir(self, path):
        return self.answers["list_dir"]

    def file_exists(self, path):
        return self.answers["file_exists"]

    def stat(self, path):
        return self.answers["stat"]


@pytest.mark.parametrize("method, answer, outcome", [
    ("read", b"raw", b"raw"),
    ("read", bytearray(b"ab"), b"ab"),
    ("read", [104, 105], b"hi"),
    ("read", "text", (TypeError, "Can't extract `str` to `Vec`")),
    ("read", 5, (TypeError, "'int' object cannot be converted to 'Sequence'")),
    ("exists", True, True),
    ("exists", False, False),
    ("exists", 1, (TypeError, "'int' object cannot be converted to 'PyBool'")),
    ("exists", None, (TypeError, "'NoneType' object cannot be converted to 'PyBool'")),
    ("list", "ab", (TypeError, "Can't extract `str` to `Vec`")),
    ("list", [1], (TypeError, "'int' object cannot be converted to 'DirEntry'")),
    ("list", [], []),
])
def test_file_system_converts_overridden_results(method, answer, outcome):
    sandbox = Overriding(isolation="os")
    key = {"read": "read_file", "exists": "file_exists", "list": "list_dir"}[method]
    sandbox.answers[key] = answer
    call = lambda: getattr(sandbox.fs, method)("/x")
    if isinstance(outcome, tuple):
        assert raised(call) == outcome
    else:
        result = call()
        assert result == outcome and type(result) is type(outcome)


def test_file_system_copies_entries_and_passes_stat_unchanged(tmp_path):
    (tmp_path / "f").write_bytes(b"abc")
    sandbox = Overriding(isolation="os")
    real = quorrel.Sandbox(isolation="os")
    entries = real.list_dir(str(tmp_path))
    sandbox.answers["list_dir"] = entries
    listed = sandbox.fs.list("/x")
    assert listed is not entries and listed[0] is not entries[0]
    assert (listed[0].name, listed[0].file_type, listed[0].size) == ("f", "file", 3)
    marker = object()
    sandbox.answers["stat"] = marker
    assert sandbox.fs.stat("/x") is marker
