#pragma once

#include <cstdint>
#include <string>

#include "python/py_class.h"

namespace quorrel::python {

// One entry of a directory listing.
struct PyDirEntry {
  static const ClassSpec kSpec;

  std::string name;
  std::string file_type;  // "file", "dir", "symlink" or "other"
  std::uint64_t size = 0;
  bool is_symlink = false;
};

}  // namespace quorrel::python
