#pragma once

#include "python/py_class.h"

namespace quorrel::python {

// One event of a streaming execution.
struct PyStreamEvent {
  static const ClassSpec kSpec;
};

}  // namespace quorrel::python
