#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "python/conversions.h"
#include "python/py_class.h"

namespace quorrel::python {

// An HTTP response fetched through the host-side proxy.
struct PyHttpResponse {
  static const ClassSpec kSpec;

  std::uint32_t status = 0;
  std::map<std::string, std::string> headers;  // a new dict on every read
  Bytes body;                                  // a new bytes object on every read
};

}  // namespace quorrel::python
