#pragma once

#include "python/py_class.h"

namespace quorrel::python {

// Iterator over the events of a streaming execution; bound to its thread.
struct PyStreamIterator {
  static const ClassSpec kSpec;
};

}  // namespace quorrel::python
