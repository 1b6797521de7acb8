#include "vm/http_proxy/url_host.h"

#include <cstdio>
#include <optional>
#include <vector>

#include "core/utf8.h"
#include "vm/http_proxy/idna.h"

namespace quorrel::vm::http_proxy {

namespace {

constexpr std::string_view kInvalidIpv4 = "invalid IPv4 address";
constexpr std::string_view kInvalidIpv6 = "invalid IPv6 address";

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ascii_hex(char c) { return is_ascii_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int hex_value(char c) {
  if (is_ascii_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

bool is_forbidden_host_code_point(unsigned char c) {
  switch (c) {
    case 0x00: case '\t': case '\n': case '\r': case ' ': case '#': case '/': case ':':
    case '<': case '>': case '?': case '@': case '[': case '\\': case ']': case '^': case '|':
      return true;
    default:
      return false;
  }
}

bool is_forbidden_domain_code_point(unsigned char c) {
  return is_forbidden_host_code_point(c) || c <= 0x1F || c == '%' || c == 0x7F;
}

std::vector<std::string_view> split_on_dots(std::string_view s) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = s.find('.', start);
    if (dot == std::string_view::npos) {
      parts.push_back(s.substr(start));
      return parts;
    }
    parts.push_back(s.substr(start, dot - start));
    start = dot + 1;
  }
}

// One part of a URL IPv4 address: "0x" hex, leading-zero octal, or decimal.
// Values far beyond 32 bits saturate; they fail the range check anyway.
std::optional<std::uint64_t> parse_ipv4_number(std::string_view input) {
  if (input.empty()) return std::nullopt;
  unsigned radix = 10;
  if (input.size() >= 2 && input[0] == '0' && (input[1] == 'x' || input[1] == 'X')) {
    radix = 16;
    input.remove_prefix(2);
  } else if (input.size() >= 2 && input[0] == '0') {
    radix = 8;
    input.remove_prefix(1);
  }
  constexpr std::uint64_t kSaturated = std::uint64_t{1} << 40;
  std::uint64_t value = 0;
  for (char c : input) {
    unsigned digit;
    if (radix == 16 && is_ascii_hex(c)) {
      digit = static_cast<unsigned>(hex_value(c));
    } else if (radix == 10 && is_ascii_digit(c)) {
      digit = static_cast<unsigned>(c - '0');
    } else if (radix == 8 && c >= '0' && c <= '7') {
      digit = static_cast<unsigned>(c - '0');
    } else {
      return std::nullopt;
    }
    value = value >= kSaturated ? kSaturated : value * radix + digit;
  }
  return value;
}

std::string percent_decode(std::string_view input) {
  std::string out;
  out.reserve(input.size());
  for (std::size_t i = 0; i < input.size(); ++i) {
    if (input[i] == '%' && i + 2 < input.size() && is_ascii_hex(input[i + 1]) && is_ascii_hex(input[i + 2])) {
      out += static_cast<char>(hex_value(input[i + 1]) * 16 + hex_value(input[i + 2]));
      i += 2;
    } else {
      out += input[i];
    }
  }
  return out;
}

}  // namespace

std::string serialize_ipv4(std::uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 0xFF) + "." + std::to_string(a >> 8 & 0xFF) + "." +
         std::to_string(a & 0xFF);
}

bool ends_in_a_number(std::string_view domain) {
  auto parts = split_on_dots(domain);
  if (parts.back().empty()) {
    if (parts.size() == 1) return false;
    parts.pop_back();
  }
  const std::string_view last = parts.back();
  if (!last.empty()) {
    bool all_digits = true;
    for (char c : last) all_digits = all_digits && is_ascii_digit(c);
    if (all_digits) return true;
  }
  return parse_ipv4_number(last).has_value();
}

std::expected<std::uint32_t, std::string> parse_url_ipv4(std::string_view input) {
  auto parts = split_on_dots(input);
  if (parts.back().empty() && parts.size() > 1) parts.pop_back();
  if (parts.size() > 4) return std::unexpected(std::string(kInvalidIpv4));
  std::vector<std::uint64_t> numbers;
  for (auto part : parts) {
    auto n = parse_ipv4_number(part);
    if (!n) return std::unexpected(std::string(kInvalidIpv4));
    numbers.push_back(*n);
  }
  for (std::size_t i = 0; i + 1 < numbers.size(); ++i) {
    if (numbers[i] > 255) return std::unexpected(std::string(kInvalidIpv4));
  }
  const std::uint64_t limit = std::uint64_t{1} << (8 * (5 - numbers.size()));
  if (numbers.back() >= limit) return std::unexpected(std::string(kInvalidIpv4));
  std::uint64_t address = numbers.back();
  for (std::size_t i = 0; i + 1 < numbers.size(); ++i) address += numbers[i] << (8 * (3 - i));
  return static_cast<std::uint32_t>(address);
}

std::expected<Ipv6Pieces, std::string> parse_url_ipv6(std::string_view input) {
  Ipv6Pieces address{};
  std::size_t piece = 0;
  std::optional<std::size_t> compress;
  std::size_t p = 0;
  const auto at = [&](std::size_t k) -> int { return k < input.size() ? static_cast<unsigned char>(input[k]) : -1; };
  const auto fail = [] { return std::unexpected(std::string(kInvalidIpv6)); };

  if (at(p) == ':') {
    if (at(p + 1) != ':') return fail();
    p += 2;
    ++piece;
    compress = piece;
  }
  while (at(p) != -1) {
    if (piece == 8) return fail();
    if (at(p) == ':') {
      if (compress) return fail();
      ++p;
      ++piece;
      compress = piece;
      continue;
    }
    unsigned value = 0;
    std::size_t length = 0;
    while (length < 4 && at(p) != -1 && is_ascii_hex(static_cast<char>(at(p)))) {
      value = value * 16 + static_cast<unsigned>(hex_value(static_cast<char>(at(p))));
      ++p;
      ++length;
    }
    if (at(p) == '.') {
      if (length == 0) return fail();
      p -= length;
      if (piece > 6) return fail();
      int numbers_seen = 0;
      while (at(p) != -1) {
        std::optional<unsigned> ipv4_piece;
        if (numbers_seen > 0) {
          if (at(p) == '.' && numbers_seen < 4) {
            ++p;
          } else {
            return fail();
          }
        }
        if (at(p) == -1 || !is_ascii_digit(static_cast<char>(at(p)))) return fail();
        while (at(p) != -1 && is_ascii_digit(static_cast<char>(at(p)))) {
          const unsigned number = static_cast<unsigned>(at(p) - '0');
          if (!ipv4_piece) {
            ipv4_piece = number;
          } else if (*ipv4_piece == 0) {
            return fail();
          } else {
            ipv4_piece = *ipv4_piece * 10 + number;
          }
          if (*ipv4_piece > 255) return fail();
          ++p;
        }
        address[piece] = static_cast<std::uint16_t>(address[piece] * 0x100 + *ipv4_piece);
        ++numbers_seen;
        if (numbers_seen == 2 || numbers_seen == 4) ++piece;
      }
      if (numbers_seen != 4) return fail();
      break;
    }
    if (at(p) == ':') {
      ++p;
      if (at(p) == -1) return fail();
    } else if (at(p) != -1) {
      return fail();
    }
    address[piece] = static_cast<std::uint16_t>(value);
    ++piece;
  }
  if (compress) {
    std::size_t swaps = piece - *compress;
    piece = 7;
    while (piece != 0 && swaps > 0) {
      std::swap(address[piece], address[*compress + swaps - 1]);
      --piece;
      --swaps;
    }
  } else if (piece != 8) {
    return fail();
  }
  return address;
}

std::string serialize_ipv6(const Ipv6Pieces& a) {
  // The first longest run of at least two zero pieces.
  std::optional<std::size_t> compress;
  std::size_t best_len = 1;
  for (std::size_t i = 0; i < 8;) {
    if (a[i] != 0) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < 8 && a[j] == 0) ++j;
    if (j - i > best_len) {
      best_len = j - i;
      compress = i;
    }
    i = j;
  }
  std::string out;
  bool ignore_zero = false;
  for (std::size_t i = 0; i < 8; ++i) {
    if (ignore_zero && a[i] == 0) continue;
    ignore_zero = false;
    if (compress == i) {
      out += i == 0 ? "::" : ":";
      ignore_zero = true;
      continue;
    }
    char buf[8];
    std::snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(a[i]));
    out += buf;
    if (i != 7) out += ':';
  }
  return out;
}

std::expected<std::string, std::string> parse_special_host(std::string_view input) {
  if (!input.empty() && input.front() == '[') {
    if (input.size() < 2 || input.back() != ']') return std::unexpected(std::string(kInvalidIpv6));
    auto pieces = parse_url_ipv6(input.substr(1, input.size() - 2));
    if (!pieces) return std::unexpected(pieces.error());
    return "[" + serialize_ipv6(*pieces) + "]";
  }
  const std::string domain = percent_decode(input);
  // Invalid UTF-8 would decode to U+FFFD, which no host name may contain.
  if (!core::is_valid_utf8(domain)) return std::unexpected("invalid international domain name");
  auto ascii = domain_to_ascii(domain);
  if (!ascii) return std::unexpected(ascii.error());
  for (unsigned char c : *ascii) {
    if (is_forbidden_domain_code_point(c)) return std::unexpected("invalid domain character");
  }
  if (ends_in_a_number(*ascii)) {
    auto v4 = parse_url_ipv4(*ascii);
    if (!v4) return std::unexpected(v4.error());
    return serialize_ipv4(*v4);
  }
  return *ascii;
}

std::expected<std::string, std::string> parse_opaque_host(std::string_view input) {
  if (!input.empty() && input.front() == '[') {
    if (input.size() < 2 || input.back() != ']') return std::unexpected(std::string(kInvalidIpv6));
    auto pieces = parse_url_ipv6(input.substr(1, input.size() - 2));
    if (!pieces) return std::unexpected(pieces.error());
    return "[" + serialize_ipv6(*pieces) + "]";
  }
  std::string out;
  for (unsigned char c : input) {
    if (is_forbidden_host_code_point(c)) return std::unexpected("invalid domain character");
    if (c <= 0x1F || c >= 0x7F) {
      out += '%';
      out += "0123456789ABCDEF"[c >> 4];
      out += "0123456789ABCDEF"[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace quorrel::vm::http_proxy
