#include <gtest/gtest.h>

#include "sdk/http_proxy_error_mapping.h"

namespace quorrel::sdk {
namespace {

using vm::http_proxy::HttpProxyError;

TEST(MapHttpProxyError, CodesMessagesAndSuggestions) {
  struct Case {
    HttpProxyError in;
    ErrorCode code;
    std::string text;
  };
  const Case cases[] = {
      {HttpProxyError::denied_host("h"), ErrorCode::HttpDeniedHost,
       "h. Suggestion: ensure target domain is in allowed_http_domains whitelist"},
      {HttpProxyError::timeout(), ErrorCode::HttpTimeout,
       "HTTP request timed out. Suggestion: check target service reachability or increase timeout config"},
      {HttpProxyError::body_too_large(), ErrorCode::HttpBodyTooLarge,
       "HTTP body exceeds size limit. Suggestion: reduce request/response body size or transfer volume"},
      {HttpProxyError::connect_failed("d"), ErrorCode::HttpConnectFailed,
       "d. Suggestion: check target service connectivity and port reachability"},
      {HttpProxyError::tls_failed("d"), ErrorCode::HttpTlsFailed,
       "d. Suggestion: check target certificate chain and TLS configuration"},
      {HttpProxyError::invalid_url("d"), ErrorCode::HttpInvalidUrl,
       "d. Suggestion: only HTTPS URLs are supported, and direct IP access is not allowed"},
      {HttpProxyError::dns_rebind("d"), ErrorCode::HttpDeniedHost,
       "d. Suggestion: target domain resolved to private/loopback address, access denied"},
  };
  for (const auto& c : cases) {
    const SdkError e = map_http_proxy_error(c.in);
    EXPECT_EQ(e.kind(), SdkError::Kind::Coded) << c.text;
    EXPECT_EQ(e.code(), c.code) << c.text;
    EXPECT_EQ(e.to_string(), c.text);
  }
  const SdkError internal = map_http_proxy_error(HttpProxyError::internal("detail"));
  EXPECT_EQ(internal.kind(), SdkError::Kind::Config);
  EXPECT_EQ(internal.to_string(), "detail");
  const SdkError empty = map_http_proxy_error(HttpProxyError::denied_host(""));
  EXPECT_EQ(empty.message(), "");
}

}  // namespace
}  // namespace quorrel::sdk
