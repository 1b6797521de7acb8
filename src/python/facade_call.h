#pragma once

#include <Python.h>

#include <initializer_list>

#include "python/py_ref.h"

namespace quorrel::python {

// Calls the attribute `name` of `target` through the ordinary attribute
// lookup (so a subclass's override is used) with the given positional
// arguments, which it takes over (new references, any of them may be null
// after a failed conversion), and optional keywords. Null with an exception
// pending on failure.
PyRef call_method(PyObject* target, const char* name, std::initializer_list<PyObject*> args,
                  PyObject* kwargs = nullptr);

}  // namespace quorrel::python
