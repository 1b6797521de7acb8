#pragma once

#include <optional>

#include "python/py_class.h"
#include "sdk/stream.h"

namespace quorrel::python {

// Iterator over the events of a streaming execution; bound to its thread.
struct PyStreamIterator {
  static const ClassSpec kSpec;

  // The stream, or nothing once it is exhausted.
  std::optional<sdk::StreamReceiver> receiver;
};

}  // namespace quorrel::python
