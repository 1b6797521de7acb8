#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/base64.h"
#include "vm/http_proxy/http_request.h"

namespace quorrel::vm::http_proxy {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(HttpRequestCreate, UsesTheFixedLimitsAndCapsTheBody) {
  auto r = HttpRequest::create("GET", "https://example.com/", {{"a", "b"}}, std::nullopt);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->timeout_ms, 30000u);
  EXPECT_EQ(r->max_response_bytes, 1048576u);
  EXPECT_FALSE(r->body.has_value());
  EXPECT_EQ(r->headers.at("a"), "b");

  EXPECT_TRUE(HttpRequest::create("POST", "u", {}, std::string(1048576, 'x')).has_value());
  auto big = HttpRequest::create("POST", "u", {}, std::string(1048577, 'x'));
  ASSERT_FALSE(big.has_value());
  EXPECT_EQ(big.error(), HttpProxyError::body_too_large());
}

TEST(HttpRequestFromJson, AcceptsObjectsAndArraysWithDefaults) {
  struct Case {
    std::string json;
    std::optional<std::string> body;
    std::uint64_t timeout_ms;
    std::uint64_t max_response_bytes;
    std::map<std::string, std::string> headers;
  };
  const Case cases[] = {
      {R"({"method":"GET","url":"https://a/"})", std::nullopt, 30000, 1048576, {}},
      {R"({"method":"GET","url":"https://a/","timeout_ms":null,"max_response_bytes":null,"body_b64":null})",
       std::nullopt, 30000, 1048576, {}},
      {R"({"url":"https://a/","method":"GET","timeout_ms":0,"max_response_bytes":0,"extra":[1,{"x":2}]})",
       std::nullopt, 0, 0, {}},
      {R"({"method":"GET","url":"https://a/","body_b64":""})", std::string(), 30000, 1048576, {}},
      {R"({"method":"GET","url":"https://a/","body_b64":"aGk=","headers":{"X-A":"1","x-a":"2"}})", "hi", 30000,
       1048576, {{"X-A", "1"}, {"x-a", "2"}}},
      {R"(["GET","https://a/"])", std::nullopt, 30000, 1048576, {}},
      {R"(["GET","https://a/",{"k":"v"},"aGk=",5,7])", "hi", 5, 7, {{"k", "v"}}},
      {R"(["GET","https://a/",{},null,null,9])", std::nullopt, 30000, 9, {}},
      // Guest limits are lowered to the caps, and used as sent below them.
      {R"({"method":"GET","url":"u","timeout_ms":300000,"max_response_bytes":16777216})", std::nullopt, 300000,
       16777216, {}},
      {R"({"method":"GET","url":"u","timeout_ms":300001,"max_response_bytes":16777217})", std::nullopt, 300000,
       16777216, {}},
      {R"({"method":"GET","url":"u","timeout_ms":18446744073709551615,"max_response_bytes":18446744073709551615})",
       std::nullopt, 300000, 16777216, {}},
      {R"({"method":"GET","url":"u","timeout_ms":299999,"max_response_bytes":16777215})", std::nullopt, 299999,
       16777215, {}},
  };
  for (const auto& c : cases) {
    auto r = HttpRequest::from_json(c.json);
    ASSERT_TRUE(r.has_value()) << c.json << ": " << r.error().to_string();
    EXPECT_EQ(r->method, "GET") << c.json;
    EXPECT_EQ(r->body, c.body) << c.json;
    EXPECT_EQ(r->timeout_ms, c.timeout_ms) << c.json;
    EXPECT_EQ(r->max_response_bytes, c.max_response_bytes) << c.json;
    EXPECT_EQ(r->headers, c.headers) << c.json;
  }
}

TEST(HttpRequestFromJson, KeepsMethodAndUrlExactly) {
  auto r = HttpRequest::from_json(R"({"method":"get","url":"HTTPS://Example.COM/a b"})");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->method, "get");
  EXPECT_EQ(r->url, "HTTPS://Example.COM/a b");
}

TEST(HttpRequestFromJson, MalformedJsonIsAnInvalidUrlWithTheJsonPrefix) {
  const char* cases[] = {
      "",
      "{",
      "null",
      "\"GET\"",
      R"({"method":"GET"})",
      R"({"url":"u"})",
      R"({"method":1,"url":"u"})",
      R"({"method":"GET","url":null})",
      R"({"method":"GET","url":"u","headers":null})",
      R"({"method":"GET","url":"u","headers":[]})",
      R"({"method":"GET","url":"u","headers":{"a":1}})",
      R"({"method":"GET","url":"u","headers":{"a":null}})",
      R"({"method":"GET","url":"u","body_b64":5})",
      R"({"method":"GET","url":"u","timeout_ms":-1})",
      R"({"method":"GET","url":"u","timeout_ms":1.5})",
      R"({"method":"GET","url":"u","timeout_ms":"5"})",
      R"({"method":"GET","url":"u","max_response_bytes":18446744073709551616})",
      R"({"method":"GET","url":"u","method":"POST"})",
      R"({"method":"GET","url":"u","headers":{"a":"1","a":"2"}})",
      R"({"method":"GET","url":"u"} x)",
      R"({"method":"GET","url":"u"}{})",
      R"(["GET"])",
      R"([])",
      R"(["GET","u",{},null,null,null,"extra"])",
      R"(["GET","u",null])",
  };
  for (const char* json : cases) {
    auto r = HttpRequest::from_json(json);
    ASSERT_FALSE(r.has_value()) << json;
    EXPECT_EQ(r.error().kind(), HttpProxyError::Kind::InvalidUrl) << json;
    EXPECT_THAT(r.error().to_string(), StartsWith("invalid URL: invalid HTTP request JSON: ")) << json;
  }
  EXPECT_THAT(HttpRequest::from_json(R"({"method":"GET","url":"u","method":"x"})").error().payload(),
              HasSubstr("duplicate key \"method\""));
}

TEST(HttpRequestFromJson, BodyMustBeCanonicalBase64AndAtMostOneMebibyte) {
  const auto with_body = [](const std::string& b64) {
    return HttpRequest::from_json(R"({"method":"POST","url":"u","body_b64":")" + b64 + "\"}");
  };
  for (const char* bad : {"aGk", "aGl=", "aG k=", "aGk=\\n", "aGk-", "@@@@"}) {
    auto r = with_body(bad);
    ASSERT_FALSE(r.has_value()) << bad;
    EXPECT_THAT(r.error().to_string(), StartsWith("invalid URL: body_b64 is not valid base64: ")) << bad;
  }
  auto at_limit = with_body(core::base64_encode(std::string(1048576, 'x')));
  ASSERT_TRUE(at_limit.has_value());
  EXPECT_EQ(at_limit->body->size(), 1048576u);
  auto over = with_body(core::base64_encode(std::string(1048577, 'x')));
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(over.error(), HttpProxyError::body_too_large());
}

}  // namespace
}  // namespace quorrel::vm::http_proxy
