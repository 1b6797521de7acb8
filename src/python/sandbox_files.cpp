// File methods of Sandbox. An OS-level sandbox shares the host's file
// system, so its file operations act on host paths (host_files.h).
#include <string>
#include <utility>

#include "python/conversions.h"
#include "python/exceptions.h"
#include "python/host_files.h"
#include "python/py_dir_entry.h"
#include "python/py_file_stat.h"
#include "python/py_ref.h"
#include "python/py_sandbox.h"

namespace quorrel::python {

namespace {

constexpr char kReadFileDoc[] =
    "read_file($self, path)\n--\n\n"
    "Read a file from inside the sandbox.\n\n"
    "# Arguments\n\n"
    "* `path` - Absolute path inside the sandbox filesystem.\n\n"
    "# Returns\n\n"
    "The file content as bytes.\n\n"
    "# Raises\n\n"
    "* `FileNotFoundError` - If the file does not exist.\n"
    "* `PermissionError` - If access is denied.\n"
    "* `SandboxError` - For other failures.";

constexpr char kWriteFileDoc[] =
    "write_file($self, path, data)\n--\n\n"
    "Write bytes to a file inside the sandbox.\n\n"
    "# Arguments\n\n"
    "* `path` - Absolute path inside the sandbox filesystem.\n"
    "* `data` - Raw bytes to write.\n\n"
    "# Returns\n\n"
    "None.\n\n"
    "# Raises\n\n"
    "* `SandboxError` - If the write fails.";

constexpr char kListDirDoc[] =
    "list_dir($self, path)\n--\n\n"
    "List directory entries inside the sandbox.\n\n"
    "# Arguments\n\n"
    "* `path` - Absolute path inside the sandbox filesystem.\n\n"
    "# Returns\n\n"
    "A list of `DirEntry` objects with name, file_type, size, and is_symlink.\n\n"
    "# Raises\n\n"
    "* `SandboxError` - If the directory cannot be listed.";

constexpr char kStatDoc[] = "stat($self, path)\n--\n\n返回文件元信息。";
constexpr char kFileExistsDoc[] = "file_exists($self, path)\n--\n\n检查指定路径的文件是否存在。";
constexpr char kRemoveFileDoc[] = "remove_file($self, path)\n--\n\n删除指定路径的文件或空目录。";
constexpr char kRenameDoc[] = "rename($self, from, to)\n--\n\n重命名/移动文件。";

// Closed check, ensure_backend, then `host_op` on the OS-level back end
// (the only kind this build has). `host_op` returns the Python result.
template <class HostOp>
PyObject* on_backend(Object<PySandbox>& self, HostOp host_op) {
  sdk::Sandbox* sandbox = self.state().open();
  if (sandbox == nullptr) return nullptr;
  if (auto r = sandbox->ensure_backend(); !r) return map_sdk_error(r.error());
  sdk::SandboxInner* inner = sandbox->inner();
  if (inner == nullptr) return map_sdk_error(sdk::backend_missing_error());
  return host_op();
}

PyObject* read_file(Object<PySandbox>& self, std::string path) {
  return on_backend(self, [&]() -> PyObject* {
    auto data = read_host_file(path);
    if (!data) return map_sdk_error(data.error());
    return to_python(Bytes{std::move(*data)});
  });
}

PyObject* write_file(Object<PySandbox>& self, std::string path, std::string data) {
  sdk::Sandbox* sandbox = self.state().open();
  if (sandbox == nullptr) return nullptr;
  if (auto r = sandbox->write_file(path, data); !r) return map_sdk_error(r.error());
  Py_RETURN_NONE;
}

PyObject* list_dir(Object<PySandbox>& self, std::string path) {
  return on_backend(self, [&]() -> PyObject* {
    auto entries = list_host_dir(path);
    if (!entries) return map_sdk_error(entries.error());
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (auto& e : *entries) {
      PyRef item = PyRef::steal(new_instance(PyDirEntry{
          .name = std::move(e.name), .file_type = std::move(e.file_type), .size = e.size, .is_symlink = e.is_symlink}));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* stat(Object<PySandbox>& self, std::string path) {
  return on_backend(self, [&]() -> PyObject* {
    auto st = stat_host_path(path);
    if (!st) return map_sdk_error(st.error());
    return new_instance(PyFileStat{.path = path,
                                   .is_dir = st->is_dir,
                                   .is_file = st->is_file,
                                   .size = st->size,
                                   .mode = st->mode,
                                   .modified_ms = st->modified_ms});
  });
}

PyObject* file_exists(Object<PySandbox>& self, std::string path) {
  return on_backend(self, [&]() -> PyObject* {
    auto exists = host_path_exists(path);
    if (!exists) return map_sdk_error(exists.error());
    return to_python(*exists);
  });
}

PyObject* remove_file(Object<PySandbox>& self, std::string path) {
  return on_backend(self, [&]() -> PyObject* {
    if (auto r = remove_host_path(path); !r) return map_sdk_error(r.error());
    Py_RETURN_NONE;
  });
}

PyObject* rename(Object<PySandbox>& self, std::string from, std::string to) {
  return on_backend(self, [&]() -> PyObject* {
    if (auto r = rename_host_path(from, to); !r) return map_sdk_error(r.error());
    Py_RETURN_NONE;
  });
}

}  // namespace

PyMethodDef sandbox_read_file_method() { return method<&read_file, kReadFileDoc, Text>(); }
PyMethodDef sandbox_write_file_method() { return method<&write_file, kWriteFileDoc, Text, BytesOrText>(); }
PyMethodDef sandbox_list_dir_method() { return method<&list_dir, kListDirDoc, Text>(); }
PyMethodDef sandbox_stat_method() { return method<&stat, kStatDoc, Text>(); }
PyMethodDef sandbox_file_exists_method() { return method<&file_exists, kFileExistsDoc, Text>(); }
PyMethodDef sandbox_remove_file_method() { return method<&remove_file, kRemoveFileDoc, Text>(); }
PyMethodDef sandbox_rename_method() { return method<&rename, kRenameDoc, Text, Text>(); }

}  // namespace quorrel::python
