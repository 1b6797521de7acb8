#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "vm/http_proxy/admission.h"

namespace quorrel::vm::http_proxy {
namespace {

using ::testing::StartsWith;

// A resolver that answers from a table and records what it was asked.
struct FakeResolver {
  std::map<std::string, std::vector<std::string>> names;
  std::vector<std::pair<std::string, std::uint16_t>> calls;

  Resolver get() {
    return [this](const std::string& host, std::uint16_t port)
               -> std::expected<std::vector<IpAddress>, std::string> {
      calls.emplace_back(host, port);
      auto it = names.find(host);
      if (it == names.end()) return std::unexpected("Name or service not known");
      std::vector<IpAddress> out;
      for (const auto& a : it->second) out.push_back(*IpAddress::parse(a));
      return out;
    };
  }
};

HttpRequest get(const std::string& url) {
  HttpRequest r;
  r.method = "GET";
  r.url = url;
  return r;
}

TEST(Admission, RefusalsAndTheirTexts) {
  struct Case {
    std::string url;
    std::vector<std::string> whitelist;
    std::string text;
  };
  const std::vector<std::string> wl = {"example.com", "127.0.0.1", "192.168.1.1", "8.8.8.8", "*.example.org"};
  const Case cases[] = {
      {"http://example.com/", wl, "invalid URL: only HTTPS is allowed, got http"},
      {"HTTP://example.com/", wl, "invalid URL: only HTTPS is allowed, got http"},
      {"ftp://example.com/", wl, "invalid URL: only HTTPS is allowed, got ftp"},
      {"file:///etc/passwd", wl, "invalid URL: only HTTPS is allowed, got file"},
      {"example.com", wl, "invalid URL: relative URL without a base"},
      {"https://exa mple.com/", wl, "invalid URL: invalid domain character"},
      {"https://./", wl, "invalid URL: host must not be empty"},
      {"https://.../", wl, "invalid URL: host must not be empty"},
      {"https://8.8.8.8/", wl, "invalid URL: direct IP access is forbidden"},
      {"https://0x08.8.8.8/", wl, "invalid URL: direct IP access is forbidden"},
      {"https://134744072/", wl, "invalid URL: direct IP access is forbidden"},
      {"https://127.0.0.1/", wl, "domain not in whitelist: 127.0.0.1"},
      {"https://192.168.1.1/", wl, "domain not in whitelist: 192.168.1.1"},
      {"https://0x7f.1/", wl, "domain not in whitelist: 127.0.0.1"},
      {"https://2130706433/", wl, "domain not in whitelist: 127.0.0.1"},
      {"https://0/", wl, "domain not in whitelist: 0.0.0.0"},
      {"https://0.1.2.3/", wl, "domain not in whitelist: 0.1.2.3"},
      {"https://[::1]/", wl, "domain not in whitelist: [::1]"},
      {"https://[::ffff:127.0.0.1]/", wl, "domain not in whitelist: [::ffff:7f00:1]"},
      {"https://[2001:4860::8888]/", wl, "domain not in whitelist: [2001:4860::8888]"},
      {"https://example.org/", wl, "domain not in whitelist: example.org"},
      {"https://badexample.org/", wl, "domain not in whitelist: badexample.org"},
      {"https://Other.COM./", wl, "domain not in whitelist: other.com"},
      {"https://example.com/", {}, "domain not in whitelist: example.com"},
  };
  for (const auto& c : cases) {
    FakeResolver dns;
    auto res = admit_http_request(c.whitelist, get(c.url), dns.get());
    ASSERT_FALSE(res.has_value()) << c.url;
    EXPECT_EQ(res.error().to_string(), c.text) << c.url;
    EXPECT_TRUE(dns.calls.empty()) << c.url << " was resolved";
  }
}

TEST(Admission, AdmitsWhitelistedNamesAndPinsTheFirstAddress) {
  struct Case {
    std::string url;
    std::vector<std::string> whitelist;
    std::string resolved_name;
    std::uint16_t port;
    std::string host;
  };
  const Case cases[] = {
      {"https://example.com/", {"example.com"}, "example.com", 443, "example.com"},
      {"HTTPS://Example.COM/", {"example.com"}, "example.com", 443, "example.com"},
      {"https://example.com./x", {"example.com"}, "example.com.", 443, "example.com"},
      {"https://example.com:8443/", {"example.com"}, "example.com", 8443, "example.com"},
      {"https://example.com:443/", {"example.com"}, "example.com", 443, "example.com"},
      {"https://a.example.com/", {"*.example.com"}, "a.example.com", 443, "a.example.com"},
      {"https://example.com/", {"Example.COM."}, "example.com", 443, "example.com"},
      {"https://bücher.de/", {"xn--bcher-kva.de"}, "xn--bcher-kva.de", 443, "xn--bcher-kva.de"},
      {"https://user:pw@example.com/", {"example.com"}, "example.com", 443, "example.com"},
      // An IPv6 literal spelled with brackets on the whitelist is resolved
      // without them.
      {"https://[2001:4860::8888]/", {"[2001:4860::8888]"}, "2001:4860::8888", 443, "[2001:4860::8888]"},
  };
  for (const auto& c : cases) {
    FakeResolver dns;
    dns.names[c.resolved_name] = {"93.184.216.34", "2606:2800:220:1:248:1893:25c8:1946"};
    if (c.resolved_name == "2001:4860::8888") dns.names[c.resolved_name] = {"2001:4860::8888"};
    auto res = admit_http_request(c.whitelist, get(c.url), dns.get());
    ASSERT_TRUE(res.has_value()) << c.url << ": " << res.error().to_string();
    ASSERT_EQ(dns.calls.size(), 1u) << c.url;
    EXPECT_EQ(dns.calls[0], std::make_pair(c.resolved_name, c.port)) << c.url;
    EXPECT_EQ(res->host, c.host) << c.url;
    EXPECT_EQ(res->port, c.port) << c.url;
    EXPECT_EQ(res->pinned.port, c.port) << c.url;
    EXPECT_EQ(res->pinned.ip, *IpAddress::parse(dns.names[c.resolved_name].front())) << c.url;
  }
}

TEST(Admission, EveryResolvedAddressMustBePublic) {
  struct Case {
    std::vector<std::string> addresses;
    std::string text;
  };
  const Case cases[] = {
      {{"10.0.0.5", "93.184.216.34"}, "DNS resolution hit private address: example.com resolved to private address 10.0.0.5"},
      {{"93.184.216.34", "10.0.0.5"}, "DNS resolution hit private address: example.com resolved to private address 10.0.0.5"},
      {{"93.184.216.34", "2606:2800::1", "::1"}, "DNS resolution hit private address: example.com resolved to private address ::1"},
      {{"::ffff:127.0.0.1"}, "DNS resolution hit private address: example.com resolved to private address ::ffff:127.0.0.1"},
      {{"::ffff:10.0.0.5", "93.184.216.34"}, "DNS resolution hit private address: example.com resolved to private address ::ffff:10.0.0.5"},
      {{"0.1.2.3"}, "DNS resolution hit private address: example.com resolved to private address 0.1.2.3"},
      {{"fe80::1"}, "DNS resolution hit private address: example.com resolved to private address fe80::1"},
      {{"172.16.0.1", "192.168.0.1"}, "DNS resolution hit private address: example.com resolved to private address 172.16.0.1"},
      {{}, "HTTP connection failed: DNS resolution returned no addresses for example.com"},
  };
  for (const auto& c : cases) {
    FakeResolver dns;
    dns.names["example.com"] = c.addresses;
    auto res = admit_http_request({"example.com"}, get("https://example.com/"), dns.get());
    ASSERT_FALSE(res.has_value());
    EXPECT_EQ(res.error().to_string(), c.text);
  }
  FakeResolver none;
  auto res = admit_http_request({"example.com"}, get("https://example.com/"), none.get());
  ASSERT_FALSE(res.has_value());
  EXPECT_EQ(res.error().to_string(), "HTTP connection failed: DNS resolution failed: Name or service not known");
}

}  // namespace
}  // namespace quorrel::vm::http_proxy
