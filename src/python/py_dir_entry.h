#pragma once

#include "python/py_class.h"

namespace quorrel::python {

// One entry of a directory listing.
struct PyDirEntry {
  static const ClassSpec kSpec;
};

}  // namespace quorrel::python
