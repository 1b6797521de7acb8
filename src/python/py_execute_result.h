#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "python/py_class.h"
#include "sdk/execute_options.h"

namespace quorrel::python {

// Result of one command: output, exit code, time-out flag and elapsed time.
struct PyExecuteResult {
  static const ClassSpec kSpec;

  std::string stdout_text;  // raw bytes, decoded lossily when read
  std::string stderr_text;
  std::int64_t exit_code = -1;
  bool timed_out = false;
  std::optional<double> elapsed;  // seconds; None for a zero duration

  static PyExecuteResult from_sdk(const sdk::ExecuteResult& result);
};

}  // namespace quorrel::python
