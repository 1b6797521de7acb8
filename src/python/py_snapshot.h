#pragma once

#include "python/py_class.h"

namespace quorrel::python {

// An immutable sandbox snapshot (bytes in memory, or a snapshot file on disk).
struct PySnapshot {
  static const ClassSpec kSpec;
};

}  // namespace quorrel::python
