#pragma once

#include "python/py_class.h"
#include "python/facade_state.h"

namespace quorrel::python {

// The sandbox.fs facade: forwards to the Sandbox's own file methods.
struct PyFileSystem : FacadeState {
  static const ClassSpec kSpec;
};

}  // namespace quorrel::python
