#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "vm/http_proxy/http_proxy_error.h"

namespace quorrel::vm::http_proxy {

// The body of a response whose head has arrived.
class ResponseBody {
 public:
  virtual ~ResponseBody() = default;
  // Fills the front of `area` and returns how many bytes it wrote; 0 is the
  // end of the body. A failure (including running out of time) is the
  // client's error text.
  virtual std::expected<std::size_t, std::string> read(std::span<char> area) = 0;
};

// Reads the whole body in pieces of 8192 bytes. A body longer than `max`
// bytes fails with BodyTooLarge before the piece that would exceed it is
// kept; a read failure is Internal "failed to read HTTP response: ...".
ProxyResult<std::string> read_response_body(ResponseBody& response, std::uint64_t max);

}  // namespace quorrel::vm::http_proxy
