#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace quorrel::vm::http_proxy {

// The result of a completed exchange, whatever its status class.
struct HttpProxyResponse {
  std::uint16_t status = 0;
  // Lower-case names; values decoded as UTF-8 with U+FFFD for invalid
  // bytes; a repeated name keeps its last value.
  std::map<std::string, std::string> headers;
  // At most the request's max_response_bytes.
  std::string body;

  friend bool operator==(const HttpProxyResponse&, const HttpProxyResponse&) = default;
};

}  // namespace quorrel::vm::http_proxy
