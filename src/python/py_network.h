#pragma once

#include "python/py_class.h"

namespace quorrel::python {

// The sandbox.network facade.
struct PyNetwork {
  static const ClassSpec kSpec;
};

}  // namespace quorrel::python
