#pragma once

#include <Python.h>

#include "python/py_ref.h"

namespace quorrel::python {

// State of a facade object (`sandbox.fs`, `sandbox.process`): the Sandbox it
// was obtained from. The reference is visible to the cycle collector, so a
// Sandbox that keeps its own facade in an attribute is still freed.
struct FacadeState {
  PyRef sandbox;

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(sandbox.get());
    return 0;
  }
  void clear() { sandbox = PyRef(); }
};

}  // namespace quorrel::python
