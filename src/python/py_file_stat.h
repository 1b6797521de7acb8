#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "python/py_class.h"

namespace quorrel::python {

// Metadata of one file.
struct PyFileStat {
  static const ClassSpec kSpec;

  std::string path;  // exactly as the caller passed it
  bool is_dir = false;
  bool is_file = false;
  std::uint64_t size = 0;
  std::uint32_t mode = 0;  // raw st_mode, file-type bits included
  std::optional<std::int64_t> modified_ms;
};

}  // namespace quorrel::python
