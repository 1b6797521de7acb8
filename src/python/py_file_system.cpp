#include "python/py_file_system.h"

#include <string>

#include "python/conversions.h"
#include "python/facade_call.h"
#include "python/py_dir_entry.h"

namespace quorrel::python {

namespace {

constexpr char kDoc[] = "文件系统子模块（sandbox.fs）。\n\n聚合文件操作 API，通过代理模式调用 PySandbox 的已有方法。";

constexpr char kReadDoc[] = "read($self, path)\n--\n\n读取文件内容。";
constexpr char kWriteDoc[] = "write($self, path, data)\n--\n\n写入文件。";
constexpr char kListDoc[] = "list($self, path)\n--\n\n列出目录内容。";
constexpr char kExistsDoc[] = "exists($self, path)\n--\n\n检查文件是否存在。";
constexpr char kRemoveDoc[] = "remove($self, path)\n--\n\n删除文件。";
constexpr char kRenameDoc[] = "rename($self, from, to)\n--\n\n重命名或移动文件。";
constexpr char kStatDoc[] = "stat($self, path)\n--\n\n返回文件元信息。";

PyObject* sandbox_of(Object<PyFileSystem>& self) { return self.state().sandbox.get(); }

PyObject* none_unless_failed(PyRef result) {
  if (!result) return nullptr;
  Py_RETURN_NONE;
}

PyObject* read(Object<PyFileSystem>& self, std::string path) {
  PyRef result = call_method(sandbox_of(self), "read_file", {to_python(path)});
  if (!result) return nullptr;
  std::string data;
  if (!ByteSequence::convert(result.get(), data)) return nullptr;
  return to_python(Bytes{std::move(data)});
}

PyObject* write(Object<PyFileSystem>& self, std::string path, std::string data) {
  return none_unless_failed(call_method(sandbox_of(self), "write_file", {to_python(path), to_python(Bytes{data})}));
}

PyObject* list(Object<PyFileSystem>& self, std::string path) {
  PyRef result = call_method(sandbox_of(self), "list_dir", {to_python(path)});
  if (!result) return nullptr;
  if (PyUnicode_Check(result.get())) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return nullptr;
  }
  if (!PySequence_Check(result.get())) {
    raise_conversion_error(result.get(), "Sequence");
    return nullptr;
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(result.get()));
  if (!iterator) return nullptr;
  PyRef copies = PyRef::steal(PyList_New(0));
  if (!copies) return nullptr;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    auto* entry = instance_of<PyDirEntry>(item.get());
    if (entry == nullptr) {
      raise_conversion_error(item.get(), "DirEntry");
      return nullptr;
    }
    PyRef copy = PyRef::steal(new_instance(PyDirEntry(entry->state())));
    if (!copy || PyList_Append(copies.get(), copy.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return copies.release();
}

// A Python bool, or a numpy boolean through its __bool__.
PyObject* as_bool(PyRef result) {
  if (!result) return nullptr;
  if (PyBool_Check(result.get())) return result.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(result.get()));
  PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
  const char* module_name = module && PyUnicode_Check(module.get()) ? PyUnicode_AsUTF8(module.get()) : nullptr;
  if (module_name == nullptr) PyErr_Clear();
  const std::string type_name = type_name_of(result.get());
  if (module_name != nullptr && std::string_view(module_name) == "numpy" &&
      (type_name == "bool_" || type_name == "bool")) {
    const int truth = PyObject_IsTrue(result.get());
    if (truth < 0) return nullptr;
    return PyBool_FromLong(truth);
  }
  raise_conversion_error(result.get(), "PyBool");
  return nullptr;
}

PyObject* exists(Object<PyFileSystem>& self, std::string path) {
  return as_bool(call_method(sandbox_of(self), "file_exists", {to_python(path)}));
}

PyObject* remove(Object<PyFileSystem>& self, std::string path) {
  return none_unless_failed(call_method(sandbox_of(self), "remove_file", {to_python(path)}));
}

PyObject* rename(Object<PyFileSystem>& self, std::string from, std::string to) {
  return none_unless_failed(call_method(sandbox_of(self), "rename", {to_python(from), to_python(to)}));
}

PyObject* stat(Object<PyFileSystem>& self, std::string path) {
  return call_method(sandbox_of(self), "stat", {to_python(path)}).release();
}

PyMethodDef kMethods[] = {
    method<&read, kReadDoc, Text>(),
    method<&write, kWriteDoc, Text, BytesOrText>(),
    method<&list, kListDoc, Text>(),
    method<&exists, kExistsDoc, Text>(),
    method<&remove, kRemoveDoc, Text>(),
    method<&rename, kRenameDoc, Text, Text>(),
    method<&stat, kStatDoc, Text>(),
    {},
};

PyType_Slot kSlots[] = {{Py_tp_methods, kMethods}, {0, nullptr}};

}  // namespace

const ClassSpec PyFileSystem::kSpec{
    .name = "FileSystem",
    .doc = kDoc,
    .slots = kSlots,
};

}  // namespace quorrel::python
