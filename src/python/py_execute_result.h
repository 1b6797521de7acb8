#pragma once

#include "python/py_class.h"

namespace quorrel::python {

// Result of one command: output, exit code, time-out flag and elapsed time.
struct PyExecuteResult {
  static const ClassSpec kSpec;
};

}  // namespace quorrel::python
