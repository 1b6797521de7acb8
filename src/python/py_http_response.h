#pragma once

#include "python/py_class.h"

namespace quorrel::python {

// An HTTP response fetched through the host-side proxy.
struct PyHttpResponse {
  static const ClassSpec kSpec;
};

}  // namespace quorrel::python
