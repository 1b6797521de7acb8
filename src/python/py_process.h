#pragma once

#include "python/py_class.h"

namespace quorrel::python {

// The sandbox.process facade.
struct PyProcess {
  static const ClassSpec kSpec;
};

}  // namespace quorrel::python
