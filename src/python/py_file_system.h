#pragma once

#include "python/py_class.h"

namespace quorrel::python {

// The sandbox.fs facade.
struct PyFileSystem {
  static const ClassSpec kSpec;
};

}  // namespace quorrel::python
