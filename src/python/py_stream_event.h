#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "python/conversions.h"
#include "python/py_class.h"
#include "sdk/stream.h"

namespace quorrel::python {

// One event of a streaming execution; carries at most one kind of data.
struct PyStreamEvent {
  static const ClassSpec kSpec;

  std::string event_type{};  // "stdout", "stderr", "exit" or "timeout"
  std::optional<Bytes> stdout_chunk{};
  std::optional<Bytes> stderr_chunk{};
  std::optional<std::int64_t> exit_code{};
  bool timed_out = false;

  static PyStreamEvent from_sdk(sdk::StreamEvent event);
};

}  // namespace quorrel::python
