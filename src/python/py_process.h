#pragma once

#include "python/py_class.h"
#include "python/py_ref.h"

namespace quorrel::python {

// The sandbox.process facade: forwards to the Sandbox's own methods.
struct PyProcess {
  static const ClassSpec kSpec;

  PyRef sandbox;  // the Sandbox object it was obtained from

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(sandbox.get());
    return 0;
  }
  void clear() { sandbox = PyRef(); }
};

}  // namespace quorrel::python
