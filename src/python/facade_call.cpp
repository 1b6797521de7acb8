#include "python/facade_call.h"

#include <vector>

namespace quorrel::python {

PyRef call_method(PyObject* target, const char* name, std::initializer_list<PyObject*> args, PyObject* kwargs) {
  std::vector<PyRef> owned;
  bool failed = false;
  for (PyObject* arg : args) {
    failed = failed || arg == nullptr;
    owned.push_back(PyRef::steal(arg));
  }
  if (failed) return {};
  if (target == nullptr) {
    // Only after the cycle collector has cleared a facade.
    PyErr_SetString(PyExc_RuntimeError, "the sandbox behind this object is gone");
    return {};
  }
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(owned.size())));
  if (!tuple) return {};
  for (std::size_t i = 0; i < owned.size(); ++i) {
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), owned[i].release());
  }
  PyRef callable = PyRef::steal(PyObject_GetAttrString(target, name));
  if (!callable) return {};
  return PyRef::steal(PyObject_Call(callable.get(), tuple.get(), kwargs));
}

}  // namespace quorrel::python
