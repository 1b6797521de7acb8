#pragma once

#include <Python.h>

namespace quorrel::python {

// Builds the quorrel module on the first call and returns the cached module
// (a new reference) on every later call in the same interpreter. A call from
// another interpreter than the first raises ImportError.
PyObject* init_quorrel_module();

}  // namespace quorrel::python
