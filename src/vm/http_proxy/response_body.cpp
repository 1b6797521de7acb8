#include "vm/http_proxy/response_body.h"

#include <array>
#include <limits>

namespace quorrel::vm::http_proxy {

ProxyResult<std::string> read_response_body(ResponseBody& response, std::uint64_t max) {
  std::string body;
  std::array<char, 8192> area;
  while (true) {
    auto n = response.read(area);
    if (!n) return std::unexpected(HttpProxyError::internal("failed to read HTTP response: " + n.error()));
    if (*n == 0) return body;
    const std::uint64_t have = body.size();
    const std::uint64_t total = have > std::numeric_limits<std::uint64_t>::max() - *n
                                    ? std::numeric_limits<std::uint64_t>::max()
                                    : have + *n;
    if (total > max) return std::unexpected(HttpProxyError::body_too_large());
    body.append(area.data(), *n);
  }
}

}  // namespace quorrel::vm::http_proxy
