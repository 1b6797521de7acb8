#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>

#include "vm/http_proxy/client_error.h"
#include "vm/http_proxy/response_body.h"

namespace quorrel::vm::http_proxy {
namespace {

// Hands out prepared pieces; an empty optional is a read failure.
class ScriptedBody : public ResponseBody {
 public:
  explicit ScriptedBody(std::deque<std::optional<std::string>> pieces) : pieces_(std::move(pieces)) {}
  std::expected<std::size_t, std::string> read(std::span<char> area) override {
    largest_area = std::max(largest_area, area.size());
    if (pieces_.empty()) return 0;
    auto piece = pieces_.front();
    pieces_.pop_front();
    if (!piece) return std::unexpected("connection reset");
    const std::size_t n = std::min(area.size(), piece->size());
    std::copy_n(piece->data(), n, area.data());
    return n;
  }
  std::size_t largest_area = 0;

 private:
  std::deque<std::optional<std::string>> pieces_;
};

TEST(ReadResponseBody, CapIsInclusiveAndTestedBeforeEachAppend) {
  const std::string a(8192, 'a'), b(8192, 'b'), c(5, 'c');
  struct Case {
    std::uint64_t max;
    bool ok;
  };
  for (const Case& k : {Case{16389, true}, Case{16388, false}, Case{UINT64_MAX, true}, Case{0, false}}) {
    ScriptedBody body({a, b, c});
    auto res = read_response_body(body, k.max);
    EXPECT_EQ(res.has_value(), k.ok) << k.max;
    if (res) {
      EXPECT_EQ(*res, a + b + c);
    } else {
      EXPECT_EQ(res.error(), HttpProxyError::body_too_large());
    }
    EXPECT_EQ(body.largest_area, 8192u);
  }
  ScriptedBody empty({});
  EXPECT_EQ(read_response_body(empty, 0).value(), "");
}

TEST(ReadResponseBody, ReadFailureIsInternal) {
  ScriptedBody body({std::string("abc"), std::nullopt});
  auto res = read_response_body(body, 100);
  ASSERT_FALSE(res.has_value());
  EXPECT_EQ(res.error().to_string(), "HTTP proxy internal error: failed to read HTTP response: connection reset");
}

TEST(MapClientError, ClassifiesInOrder) {
  using K = ClientError::Kind;
  const std::pair<ClientError, HttpProxyError> cases[] = {
      {{K::TimedOut, "Operation timed out after 1 ms"}, HttpProxyError::timeout()},
      {{K::Connect, "Failed to connect to h port 1: Couldn't connect to server"},
       HttpProxyError::connect_failed("Failed to connect to h port 1: Couldn't connect to server")},
      {{K::Connect, "SSL certificate problem: unable to get local issuer certificate"},
       HttpProxyError::tls_failed("SSL certificate problem: unable to get local issuer certificate")},
      {{K::Connect, "TLS connect error"}, HttpProxyError::tls_failed("TLS connect error")},
      {{K::Connect, "peer aborted the Handshake"}, HttpProxyError::tls_failed("peer aborted the Handshake")},
      {{K::Connect, "unknown Certificate"}, HttpProxyError::tls_failed("unknown Certificate")},
      {{K::Request, "Empty reply from server"}, HttpProxyError::invalid_url("Empty reply from server")},
      {{K::Request, "SSL_write failed"}, HttpProxyError::invalid_url("SSL_write failed")},
      {{K::Other, "out of memory"}, HttpProxyError::internal("out of memory")},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(map_client_error(in), out) << in.text;
}

}  // namespace
}  // namespace quorrel::vm::http_proxy
