#pragma once

#include "python/py_class.h"

namespace quorrel::python {

// Metadata of one file.
struct PyFileStat {
  static const ClassSpec kSpec;
};

}  // namespace quorrel::python
