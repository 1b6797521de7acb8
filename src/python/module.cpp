#include "python/module.h"

#include <cstdint>

#include "python/exceptions.h"
#include "python/py_class.h"
#include "python/py_dir_entry.h"
#include "python/py_execute_result.h"
#include "python/py_file_stat.h"
#include "python/py_file_system.h"
#include "python/py_http_response.h"
#include "python/py_network.h"
#include "python/py_process.h"
#include "python/py_ref.h"
#include "python/py_sandbox.h"
#include "python/py_snapshot.h"
#include "python/py_snapshot_ops.h"
#include "python/py_stream_event.h"
#include "python/py_stream_iterator.h"

namespace quorrel::python {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quorrel",  // m_name
    "",         // m_doc
    0,          // m_size
    nullptr,    // m_methods
    nullptr,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

// Adds `value` under `name` and appends the name to __all__.
bool add_public(PyObject* module, PyObject* all, const char* name, PyObject* value) {
  if (PyModule_AddObjectRef(module, name, value) < 0) return false;
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  return text && PyList_Append(all, text.get()) == 0;
}

template <class T>
bool add_class(PyObject* module, PyObject* all) {
  return add_public(module, all, T::kSpec.name, reinterpret_cast<PyObject*>(type_object<T>()));
}

PyObject* build_module() {
  PyRef module = PyRef::steal(PyModule_Create(&module_definition));
  if (!module) return nullptr;
  PyRef all = PyRef::steal(PyList_New(0));
  if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
  PyObject* m = module.get();
  PyObject* a = all.get();
  const bool ok = add_class<PySandbox>(m, a) && add_class<PySnapshot>(m, a) && add_class<PyExecuteResult>(m, a) &&
                  add_class<PyHttpResponse>(m, a) && add_class<PyDirEntry>(m, a) && add_class<PyFileStat>(m, a) &&
                  add_class<PyStreamEvent>(m, a) && add_class<PyStreamIterator>(m, a) &&
                  add_class<PyFileSystem>(m, a) && add_class<PyProcess>(m, a) && add_class<PySnapshotOps>(m, a) &&
                  add_class<PyNetwork>(m, a) && add_public(m, a, "SandboxError", sandbox_error_type()) &&
                  add_public(m, a, "SandboxProcessError", sandbox_process_error_type()) &&
                  add_public(m, a, "SandboxHttpError", sandbox_http_error_type()) &&
                  add_public(m, a, "SandboxLifecycleError", sandbox_lifecycle_error_type());
  if (!ok) return nullptr;
  return module.release();
}

}  // namespace

PyObject* init_quorrel_module() {
  // Both statics are only touched with the interpreter lock held.
  static std::int64_t first_interpreter = -1;
  static PyObject* cached = nullptr;

  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current < 0) return nullptr;
  if (first_interpreter == -1) {
    first_interpreter = current;
  } else if (first_interpreter != current) {
    PyErr_SetString(PyExc_ImportError, "quorrel does not support loading in subinterpreters");
    return nullptr;
  }
  if (cached == nullptr) cached = build_module();  // stays alive for the life of the process
  return cached ? Py_NewRef(cached) : nullptr;
}

}  // namespace quorrel::python
