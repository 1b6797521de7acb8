// The HTTPS exchange against a local server, connected through the pinned
// address that admission would have produced (admission itself refuses
// loopback, so these tests build the admitted request directly).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/base64.h"
#include "local_https_server.h"
#include "vm/http_proxy/pinned_exchange.h"
#include "vm/http_proxy/reply_frames.h"

namespace quorrel::vm::http_proxy {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

class PinnedExchangeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = new test::TestPki();
    if (pki_->ok()) server_ = new test::LocalHttpsServer(*pki_);
  }
  static void TearDownTestSuite() {
    delete server_;
    delete pki_;
    server_ = nullptr;
    pki_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(pki_->ok()) << pki_->error();
    ASSERT_TRUE(server_ && server_->ok()) << "the local HTTPS server did not start";
  }

  // The request as admission would hand it over: URL host proxy.test (which
  // does not resolve anywhere), connection pinned to 127.0.0.1.
  static AdmittedRequest admitted(const std::string& path, const std::string& host = "proxy.test",
                                  std::uint16_t port = 0) {
    if (port == 0) port = server_->port();
    auto url = parse_url("https://" + host + ":" + std::to_string(port) + path);
    EXPECT_TRUE(url.has_value());
    AdmittedRequest a;
    a.url = *url;
    a.host = host;
    a.port = port;
    a.pinned = SocketAddress{*IpAddress::parse("127.0.0.1"), port};
    return a;
  }

  static HttpRequest request(const std::string& method = "GET") {
    HttpRequest r;
    r.method = method;
    return r;
  }

  static ExchangeSettings trusting_test_ca() { return ExchangeSettings{pki_->ca_file()}; }

  static ProxyResult<HttpProxyResponse> run(const std::string& path, HttpRequest r = request()) {
    return exchange_http_request(admitted(path), std::move(r), trusting_test_ca());
  }

  static nlohmann::json echo(HttpRequest r) {
    auto res = run("/echo", std::move(r));
    EXPECT_TRUE(res.has_value()) << (res ? "" : res.error().to_string());
    if (!res) return {};
    return nlohmann::json::parse(res->body);
  }

  static test::TestPki* pki_;
  static test::LocalHttpsServer* server_;
};

test::TestPki* PinnedExchangeTest::pki_ = nullptr;
test::LocalHttpsServer* PinnedExchangeTest::server_ = nullptr;

TEST_F(PinnedExchangeTest, EveryStatusClassIsASuccessAndRedirectsAreNotFollowed) {
  struct Case {
    std::string path;
    std::uint16_t status;
    std::string body;
  };
  const Case cases[] = {
      {"/status/200", 200, "status 200"}, {"/status/204", 204, ""},         {"/status/404", 404, "status 404"},
      {"/status/500", 500, "status 500"}, {"/status/503", 503, "status 503"}, {"/redirect", 302, "moved"},
  };
  for (const auto& c : cases) {
    auto res = run(c.path);
    ASSERT_TRUE(res.has_value()) << c.path << ": " << res.error().to_string();
    EXPECT_EQ(res->status, c.status) << c.path;
    EXPECT_EQ(res->body, c.body) << c.path;
  }
  auto redirect = run("/redirect");
  ASSERT_TRUE(redirect.has_value());
  EXPECT_EQ(redirect->headers.at("location"), "/target");
}

TEST_F(PinnedExchangeTest, ResponseHeadersAreLowerCaseLastWinsAndLossilyDecoded) {
  auto dup = run("/dup-header");
  ASSERT_TRUE(dup.has_value()) << dup.error().to_string();
  EXPECT_EQ(dup->headers.at("x-dup"), "second");
  EXPECT_EQ(dup->headers.count("X-Dup"), 0u);
  EXPECT_EQ(dup->headers.at("content-length"), "3");

  auto bad = run("/bad-utf8");
  ASSERT_TRUE(bad.has_value()) << bad.error().to_string();
  EXPECT_EQ(bad->headers.at("x-bin"), "a\xEF\xBF\xBD" "b");
}

TEST_F(PinnedExchangeTest, BodyCapAcceptsExactlyMaxAndRefusesOneMore) {
  for (const std::string route : {"/bytes/", "/chunked/"}) {
    for (std::uint64_t size : {0ull, 1ull, 8192ull, 8193ull, 100000ull}) {
      HttpRequest at_cap = request();
      at_cap.max_response_bytes = size;
      auto ok = run(route + std::to_string(size), at_cap);
      ASSERT_TRUE(ok.has_value()) << route << size << ": " << ok.error().to_string();
      ASSERT_EQ(ok->body.size(), size);
      for (std::size_t i = 0; i < size; ++i) {
        ASSERT_EQ(static_cast<unsigned char>(ok->body[i]), i % 251) << route << size << " at " << i;
      }
      if (size == 0) continue;
      HttpRequest below = request();
      below.max_response_bytes = size - 1;
      auto too_big = run(route + std::to_string(size), below);
      ASSERT_FALSE(too_big.has_value()) << route << size;
      EXPECT_EQ(too_big.error(), HttpProxyError::body_too_large());
    }
  }
}

TEST_F(PinnedExchangeTest, ReplyFramesOfRealResponses) {
  auto empty = run("/status/204");
  ASSERT_TRUE(empty.has_value());
  auto frames = build_reply_frames(3, *empty);
  ASSERT_TRUE(frames.has_value());
  ASSERT_EQ(frames->size(), 2u);
  EXPECT_THAT((*frames)[0], StartsWith("HTTPRESP:HEADERS:3:"));
  EXPECT_THAT((*frames)[0], HasSubstr("{\"body_len\":0,\"headers\":{"));
  EXPECT_EQ((*frames)[1], "HTTPRESP:END:3\n");

  for (std::size_t size : {16384u, 16385u}) {
    auto res = run("/bytes/" + std::to_string(size));
    ASSERT_TRUE(res.has_value());
    auto f = build_reply_frames(9, *res);
    ASSERT_TRUE(f.has_value());
    const std::size_t body_frames = size == 16384 ? 1 : 2;
    ASSERT_EQ(f->size(), 2 + body_frames);
    EXPECT_THAT((*f)[1], StartsWith("HTTPRESP:BODY:9:16384:"));
    EXPECT_EQ((*f)[1].size(), std::string("HTTPRESP:BODY:9:16384:").size() + 16384 + 1);
    if (body_frames == 2) {
      EXPECT_EQ((*f)[2], "HTTPRESP:BODY:9:1:" + res->body.substr(16384) + "\n");
    }
  }
}

TEST_F(PinnedExchangeTest, TimeLimitBeforeTheHeadIsATimeout) {
  for (std::uint64_t limit : {0ull, 1ull, 300ull}) {
    HttpRequest r = request();
    r.timeout_ms = limit;  // 0 is raised to 1 ms, never "no limit"
    auto res = run("/delay/3000", r);
    ASSERT_FALSE(res.has_value()) << "limit " << limit;
    EXPECT_EQ(res.error(), HttpProxyError::timeout()) << res.error().to_string();
  }
}

TEST_F(PinnedExchangeTest, SlowBodyIsAnInternalReadError) {
  HttpRequest r = request();
  r.timeout_ms = 500;
  auto res = run("/slow-body", r);
  ASSERT_FALSE(res.has_value());
  EXPECT_EQ(res.error().kind(), HttpProxyError::Kind::Internal);
  EXPECT_THAT(res.error().to_string(), StartsWith("HTTP proxy internal error: failed to read HTTP response: "));
}

TEST_F(PinnedExchangeTest, ClosedPortIsAConnectFailure) {
  const std::uint16_t port = test::closed_loopback_port();
  ASSERT_NE(port, 0);
  auto res = exchange_http_request(admitted("/", "proxy.test", port), request(), trusting_test_ca());
  ASSERT_FALSE(res.has_value());
  EXPECT_EQ(res.error().code(), "CONNECT_FAIL") << res.error().to_string();
  EXPECT_THAT(res.error().to_string(), StartsWith("HTTP connection failed: "));
}

TEST_F(PinnedExchangeTest, CertificatesThatDoNotVerifyAreTlsFailures) {
  struct Case {
    const char* what;
    std::string host;
    ExchangeSettings settings;
  };
  const Case cases[] = {
      {"system roots only", "proxy.test", ExchangeSettings{}},
      {"another CA", "proxy.test", ExchangeSettings{pki_->other_ca_file()}},
      {"name not in the certificate", "wrong.test", trusting_test_ca()},
  };
  for (const auto& c : cases) {
    auto res = exchange_http_request(admitted("/status/200", c.host), request(), c.settings);
    ASSERT_FALSE(res.has_value()) << c.what;
    EXPECT_EQ(res.error().code(), "TLS_FAIL") << c.what << ": " << res.error().to_string();
    EXPECT_THAT(res.error().to_string(), StartsWith("TLS handshake failed: ")) << c.what;
  }
}

TEST_F(PinnedExchangeTest, ConnectionDroppedAfterItWasEstablishedIsARequestFailure) {
  auto res = run("/close");
  ASSERT_FALSE(res.has_value());
  EXPECT_EQ(res.error().code(), "INVALID_URL") << res.error().to_string();
  // Writing a large body into the closed connection fails as a value; no
  // SIGPIPE ends the process.
  HttpRequest upload = request("POST");
  upload.body = std::string(1048576, 'u');
  auto dropped = run("/close", upload);
  ASSERT_FALSE(dropped.has_value());
  EXPECT_EQ(dropped.error().code(), "INVALID_URL") << dropped.error().to_string();
}

TEST_F(PinnedExchangeTest, InvalidMethodsAndHeadersFailBeforeAnythingIsSent) {
  struct Case {
    std::string method;
    std::map<std::string, std::string> headers;
    std::string expected_prefix;
  };
  const Case cases[] = {
      {"", {}, "invalid URL: invalid HTTP method: "},
      {"GE T", {}, "invalid URL: invalid HTTP method: "},
      {"GET\r\nX: y", {}, "invalid URL: invalid HTTP method: "},
      {"GET", {{"bad name", "v"}}, "invalid URL: invalid HTTP header name: "},
      {"GET", {{"x\r\ninjected", "v"}}, "invalid URL: invalid HTTP header name: "},
      {"GET", {{"", "v"}}, "invalid URL: invalid HTTP header name: "},
      {"GET", {{"x-a", "one\r\nInjected: 1"}}, "invalid URL: invalid HTTP header value for x-a: "},
      {"GET", {{"x-a", std::string("nul\0byte", 8)}}, "invalid URL: invalid HTTP header value for x-a: "},
      {"GET", {{"x-a", "del\x7f"}}, "invalid URL: invalid HTTP header value for x-a: "},
  };
  for (const auto& c : cases) {
    HttpRequest r = request(c.method);
    r.headers = c.headers;
    auto res = run("/echo", r);
    ASSERT_FALSE(res.has_value()) << c.method;
    EXPECT_THAT(res.error().to_string(), StartsWith(c.expected_prefix));
  }
}

TEST_F(PinnedExchangeTest, RequestArrivesAsGiven) {
  // Method case is kept: "get" is an extension method of its own.
  HttpRequest lower = request("get");
  EXPECT_EQ(echo(lower)["method"], "get");

  HttpRequest r = request("POST");
  r.headers = {{"X-Case", "upper"}, {"x-case", "lower"}, {"X-Tab", "a\tb"}, {"X-Empty", ""}, {"X-Utf8", "é"}};
  r.body = std::string("\0\xff binary", 9);
  const auto doc = echo(r);
  EXPECT_EQ(doc["method"], "POST");
  EXPECT_EQ(core::base64_decode(doc["body_b64"].get<std::string>()).value(), *r.body);
  std::multimap<std::string, std::string> got;
  for (const auto& kv : doc["headers"]) got.emplace(kv[0].get<std::string>(), kv[1].get<std::string>());
  const auto value_of = [&](const std::string& name) {
    std::vector<std::string> out;
    for (const auto& [k, v] : got) {
      std::string lk = k;
      for (char& ch : lk) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      if (lk == name) out.push_back(v);
    }
    return out;
  };
  EXPECT_THAT(value_of("x-case"), ::testing::UnorderedElementsAre("upper", "lower"));
  EXPECT_THAT(value_of("x-tab"), ::testing::ElementsAre("a\tb"));
  EXPECT_THAT(value_of("x-empty"), ::testing::ElementsAre(""));
  EXPECT_THAT(value_of("content-length"), ::testing::ElementsAre("9"));
  EXPECT_THAT(value_of("host"), ::testing::ElementsAre("proxy.test:" + std::to_string(server_->port())));
  // libcurl's own additions for bodies stay out.
  EXPECT_TRUE(value_of("expect").empty());
  EXPECT_TRUE(value_of("content-type").empty());
  EXPECT_TRUE(value_of("accept-encoding").empty());

  HttpRequest empty_body = request("PUT");
  empty_body.body = std::string();
  const auto empty_doc = echo(empty_body);
  bool has_zero_length = false;
  for (const auto& kv : empty_doc["headers"]) {
    has_zero_length = has_zero_length || (kv[0] == "Content-Length" && kv[1] == "0");
  }
  EXPECT_TRUE(has_zero_length) << empty_doc.dump();

  const auto no_body = echo(request("PUT"));
  for (const auto& kv : no_body["headers"]) EXPECT_NE(kv[0], "Content-Length") << no_body.dump();
}

TEST_F(PinnedExchangeTest, HeadRequestHasNoBody) {
  auto res = run("/bytes/50", request("HEAD"));
  ASSERT_TRUE(res.has_value()) << res.error().to_string();
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->headers.at("content-length"), "50");
  EXPECT_TRUE(res->body.empty());
}

TEST_F(PinnedExchangeTest, QueryAndPercentEncodedPathReachTheServer) {
  auto res = run("/echo/a%20b/./c/../d?q=1&r=%C3%A9");
  ASSERT_TRUE(res.has_value()) << res.error().to_string();
  EXPECT_EQ(nlohmann::json::parse(res->body)["path"], "/echo/a%20b/d?q=1&r=%C3%A9");
}

TEST_F(PinnedExchangeTest, TrailingDotHostIsVerifiedWithoutTheDot) {
  auto res = exchange_http_request(admitted("/status/200", "proxy.test."), request(), trusting_test_ca());
  ASSERT_TRUE(res.has_value()) << res.error().to_string();
  EXPECT_EQ(res->status, 200);
}

TEST_F(PinnedExchangeTest, PinsAnIpv6Address) {
  test::LocalHttpsServer v6(*pki_, "::1");
  if (!v6.ok()) GTEST_SKIP() << "no IPv6 loopback here";
  AdmittedRequest a = admitted("/status/200", "proxy.test", v6.port());
  a.pinned = SocketAddress{*IpAddress::parse("::1"), v6.port()};
  auto res = exchange_http_request(a, request(), trusting_test_ca());
  ASSERT_TRUE(res.has_value()) << res.error().to_string();
  EXPECT_EQ(res->status, 200);
}

}  // namespace
}  // namespace quorrel::vm::http_proxy
