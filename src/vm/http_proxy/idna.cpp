#include "vm/http_proxy/idna.h"

#include <idn2.h>

#include <cstdlib>
#include <memory>

namespace quorrel::vm::http_proxy {

namespace {

bool ascii_iequals_prefix(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

bool needs_idna(std::string_view domain) {
  for (unsigned char c : domain) {
    if (c >= 0x80) return true;
  }
  std::size_t start = 0;
  while (start <= domain.size()) {
    std::size_t end = domain.find('.', start);
    if (end == std::string_view::npos) end = domain.size();
    if (ascii_iequals_prefix(domain.substr(start, end - start), "xn--")) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::expected<std::string, std::string> domain_to_ascii(std::string_view domain) {
  std::string out;
  if (!needs_idna(domain)) {
    out.assign(domain);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
  } else {
    // libidn2 reads a NUL-terminated string; an embedded NUL would cut the
    // name short, and NUL is forbidden in a host anyway.
    if (domain.find('\0') != std::string_view::npos) return std::unexpected("invalid international domain name");
    const std::string input(domain);
    char* converted = nullptr;
    const int rc = idn2_to_ascii_8z(input.c_str(), &converted, IDN2_NONTRANSITIONAL | IDN2_NO_ALABEL_ROUNDTRIP);
    std::unique_ptr<char, decltype(&std::free)> owner(converted, &std::free);
    if (rc != IDN2_OK || converted == nullptr) {
      return std::unexpected(std::string("invalid international domain name: ") + idn2_strerror(rc));
    }
    out = converted;
  }
  if (out.empty()) return std::unexpected("invalid international domain name: empty result");
  return out;
}

}  // namespace quorrel::vm::http_proxy
