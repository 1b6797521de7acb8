#pragma once

#include "python/py_class.h"
#include "python/facade_state.h"

namespace quorrel::python {

// The sandbox.process facade: forwards to the Sandbox's own methods.
struct PyProcess : FacadeState {
  static const ClassSpec kSpec;
};

}  // namespace quorrel::python
