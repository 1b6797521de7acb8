// The URL and host parser, and the policy predicates built on its output.
//
// The input is a URL. Parsing never crashes. A parsed URL with a special
// scheme (other than file) has a non-empty host free of forbidden code
// points, and parsing its serialisation again gives the same URL (or fails
// in IDNA on an A-label, see below). The host
// parser's IPv4 and IPv6 results survive a serialise-and-parse round trip.
// Every normalised non-empty host is allowed by a whitelist naming only
// itself. An IPv6 address carrying an IPv4 address is private exactly when
// that IPv4 address is.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vm/http_proxy/domain_whitelist.h"
#include "vm/http_proxy/private_address.h"
#include "vm/http_proxy/url.h"
#include "vm/http_proxy/url_host.h"

namespace {

using namespace quorrel::vm::http_proxy;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
  }
}

bool has_forbidden_domain_code_point(std::string_view host) {
  for (unsigned char c : host) {
    if (c <= 0x20 || c == 0x7F || c == '%' || c == '#' || c == '/' || c == ':' || c == '<' || c == '>' ||
        c == '?' || c == '@' || c == '\\' || c == '^' || c == '|') {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  if (auto url = parse_url(input)) {
    check(!url->scheme.empty(), "scheme present");
    if (url->is_special() && url->scheme != "file") {
      check(url->host && !url->host->empty(), "special URL has a host");
      const std::string& h = *url->host;
      if (h.front() != '[') check(!has_forbidden_domain_code_point(h), "no forbidden code point in a domain");
      check(url->path.starts_with("/"), "special URL path starts with a slash");
      auto again = parse_url(url->serialize_without_fragment());
      if (!again) {
        // libidn2 refuses some A-labels ("xn--$bcher-4ya") that it produces
        // from U-labels ("$bücher"); nothing else may fail the second time.
        check(again.error().starts_with("invalid international domain name") && h.find("xn--") != std::string::npos,
              "serialisation parses");
        return 0;
      }
      check(again->scheme == url->scheme && again->host == url->host && again->port == url->port &&
                again->path == url->path && again->query == url->query && again->username == url->username &&
                again->password == url->password,
            "serialisation parses to the same URL");
      const std::string normalised = normalize_host(h);
      if (!normalised.empty()) check(domain_allowed(normalised, {normalised}), "a host allows itself");
    }
  }

  if (auto v4 = parse_url_ipv4(input)) {
    check(parse_url_ipv4(serialize_ipv4(*v4)) == v4, "IPv4 round trip");
  }
  if (auto v6 = parse_url_ipv6(input)) {
    const std::string text = serialize_ipv6(*v6);
    check(parse_url_ipv6(text) == v6, "IPv6 round trip");
    auto ip = IpAddress::parse(text);
    check(ip.has_value(), "serialised IPv6 reads back");
    const auto& b = ip->bytes;
    bool zero_prefix = true;
    for (int i = 0; i < 10; ++i) zero_prefix = zero_prefix && b[i] == 0;
    if (zero_prefix && ((b[10] == 0xFF && b[11] == 0xFF) || (b[10] == 0 && b[11] == 0))) {
      const std::uint32_t embedded = std::uint32_t{b[12]} << 24 | std::uint32_t{b[13]} << 16 |
                                     std::uint32_t{b[14]} << 8 | b[15];
      check(is_private_ip(*ip) == is_private_ip(IpAddress::v4(embedded)), "embedded IPv4 decides");
    }
  }
  return 0;
}
