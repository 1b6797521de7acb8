#pragma once

#include "python/py_class.h"

namespace quorrel::python {

// The sandbox.snapshot facade.
struct PySnapshotOps {
  static const ClassSpec kSpec;
};

}  // namespace quorrel::python
