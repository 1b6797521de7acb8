#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "vm/http_proxy/reply_frames.h"

namespace quorrel::vm::http_proxy {
namespace {

TEST(HttpProxyError, CodesAndDisplayTexts) {
  struct Case {
    HttpProxyError error;
    std::string code;
    std::string text;
  };
  const Case cases[] = {
      {HttpProxyError::denied_host("h"), "DENIED_HOST", "domain not in whitelist: h"},
      {HttpProxyError::timeout(), "TIMEOUT", "HTTP request timed out"},
      {HttpProxyError::body_too_large(), "BODY_TOO_LARGE", "HTTP body exceeds size limit"},
      {HttpProxyError::connect_failed("d"), "CONNECT_FAIL", "HTTP connection failed: d"},
      {HttpProxyError::tls_failed("d"), "TLS_FAIL", "TLS handshake failed: d"},
      {HttpProxyError::invalid_url("d"), "INVALID_URL", "invalid URL: d"},
      {HttpProxyError::dns_rebind("d"), "DNS_REBIND", "DNS resolution hit private address: d"},
      {HttpProxyError::internal("d"), "INTERNAL", "HTTP proxy internal error: d"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.code(), c.code);
    EXPECT_EQ(c.error.to_string(), c.text);
    EXPECT_EQ(build_reply_error_frame(12, c.error),
              "HTTPRESP:ERROR:12:" + c.code + ":" + std::to_string(c.text.size()) + ":" + c.text + "\n");
  }
  EXPECT_EQ(build_reply_error_frame(7, HttpProxyError::body_too_large()),
            "HTTPRESP:ERROR:7:BODY_TOO_LARGE:28:HTTP body exceeds size limit\n");
  // Lengths count bytes, not characters.
  EXPECT_EQ(build_reply_error_frame(1, HttpProxyError::denied_host("é")),
            "HTTPRESP:ERROR:1:DENIED_HOST:27:domain not in whitelist: é\n");
}

TEST(ReplyFrames, HeadersJsonIsCompactSortedAndEscaped) {
  HttpProxyResponse r;
  r.status = 204;
  r.headers = {{"date", "x"}};
  EXPECT_EQ(build_reply_headers_json(r).value(), R"({"body_len":0,"headers":{"date":"x"},"status":204,"truncated":false})");

  r.status = 200;
  r.body = "abc";
  r.headers = {{"b", "q\"uote\\ \x01 é"}, {"a", ""}, {"B", "upper"}};
  EXPECT_EQ(build_reply_headers_json(r).value(),
            "{\"body_len\":3,\"headers\":{\"B\":\"upper\",\"a\":\"\",\"b\":\"q\\\"uote\\\\ \\u0001 é\"},"
            "\"status\":200,\"truncated\":false}");

  r.headers = {{"x", "\xff"}};
  EXPECT_FALSE(build_reply_headers_json(r).has_value());
  EXPECT_FALSE(build_reply_frames(1, r).has_value());
}

TEST(ReplyFrames, BodyIsCutIntoPiecesOf16384Bytes) {
  struct Case {
    std::size_t body;
    std::vector<std::size_t> pieces;
  };
  const Case cases[] = {
      {0, {}}, {1, {1}}, {16383, {16383}}, {16384, {16384}}, {16385, {16384, 1}}, {40000, {16384, 16384, 7232}},
  };
  for (const auto& c : cases) {
    HttpProxyResponse r;
    r.status = 200;
    for (std::size_t i = 0; i < c.body; ++i) r.body += static_cast<char>('a' + i % 26);
    auto frames = build_reply_frames(42, r);
    ASSERT_TRUE(frames.has_value());
    ASSERT_EQ(frames->size(), c.pieces.size() + 2) << c.body;
    const std::string json = build_reply_headers_json(r).value();
    EXPECT_EQ(frames->front(), "HTTPRESP:HEADERS:42:" + std::to_string(json.size()) + ":" + json + "\n");
    EXPECT_EQ(frames->back(), "HTTPRESP:END:42\n");
    std::size_t at = 0;
    for (std::size_t i = 0; i < c.pieces.size(); ++i) {
      const std::string piece = r.body.substr(at, c.pieces[i]);
      EXPECT_EQ((*frames)[i + 1], "HTTPRESP:BODY:42:" + std::to_string(c.pieces[i]) + ":" + piece + "\n");
      at += c.pieces[i];
    }
  }
}

}  // namespace
}  // namespace quorrel::vm::http_proxy
