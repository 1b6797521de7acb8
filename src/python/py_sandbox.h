#pragma once

#include "python/py_class.h"

namespace quorrel::python {

// The Python Sandbox object; bound to the thread that created it. Methods
// that need the SDK sandbox are declared in py_sandbox.cpp.
struct PySandbox {
  static const ClassSpec kSpec;
};

}  // namespace quorrel::python
