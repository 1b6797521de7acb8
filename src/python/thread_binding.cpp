#include "python/thread_binding.h"

#include <string>

#include "python/exceptions.h"

namespace quorrel::python {

bool ThreadBinding::check(std::string_view class_name) const {
  if (is_current()) return true;
  raise(PyExc_RuntimeError, "quorrel." + std::string(class_name) + " is unsendable, but sent to another thread");
  return false;
}

void report_foreign_drop(std::string_view class_name) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  raise(PyExc_RuntimeError,
        "quorrel." + std::string(class_name) + " is unsendable, but is being dropped on another thread");
  // No object is passed: the one being destroyed must not be revived by the hook.
  PyErr_WriteUnraisable(nullptr);
  PyErr_Restore(type, value, traceback);
}

}  // namespace quorrel::python
