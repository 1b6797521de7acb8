#include <gtest/gtest.h>

#include "vm/http_proxy/domain_whitelist.h"

namespace quorrel::vm::http_proxy {
namespace {

TEST(NormalizeHost, DropsAllTrailingDotsAndLowerCasesAsciiOnly) {
  EXPECT_EQ(normalize_host("Example.COM"), "example.com");
  EXPECT_EQ(normalize_host("example.com..."), "example.com");
  EXPECT_EQ(normalize_host("..."), "");
  EXPECT_EQ(normalize_host(".a.b"), ".a.b");
  EXPECT_EQ(normalize_host("ÄBC.de"), "Äbc.de");
  EXPECT_EQ(normalize_host("[::1]"), "[::1]");
}

TEST(DomainAllowed, ExactAndWildcardEntries) {
  struct Case {
    std::string host;
    std::vector<std::string> whitelist;
    bool allowed;
  };
  const Case cases[] = {
      {"example.com", {"example.com"}, true},
      {"example.com", {"Example.COM."}, true},
      {"example.com", {"other.com", "example.com"}, true},
      {"api.example.com", {"example.com"}, false},
      {"example.com", {}, false},
      {"api.example.com", {"*.example.com"}, true},
      {"a.b.example.com", {"*.example.com"}, true},
      {"example.com", {"*.example.com"}, false},
      {"badexample.com", {"*.example.com"}, false},
      {".example.com", {"*.example.com"}, true},
      {"api.example.com", {"*.EXAMPLE.com.."}, true},
      {"*.example.com", {"*.example.com"}, true},  // by the suffix rule, not by equality
      {"api.example.com", {"*example.com"}, false},
      {"api.example.com", {"*"}, false},
      {"*", {"*"}, true},
      {"example.com", {"", ".", "..."}, false},
      {"x", {"*."}, false},
      {"[::1]", {"[::1]"}, true},
      {"example.com", {"example.com:443"}, false},
  };
  for (const auto& c : cases) {
    std::string list;
    for (const auto& e : c.whitelist) list += "'" + e + "' ";
    EXPECT_EQ(domain_allowed(c.host, c.whitelist), c.allowed) << c.host << " against " << list;
  }
}

}  // namespace
}  // namespace quorrel::vm::http_proxy
