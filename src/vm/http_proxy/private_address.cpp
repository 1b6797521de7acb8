#include "vm/http_proxy/private_address.h"

#include <algorithm>

namespace quorrel::vm::http_proxy {

namespace {

bool is_private_v4(std::uint8_t a, std::uint8_t b) {
  return a == 0 || a == 10 || a == 127 || (a == 169 && b == 254) || (a == 172 && (b & 0xF0) == 16) ||
         (a == 192 && b == 168);
}

}  // namespace

bool is_private_ip(const IpAddress& ip) {
  const auto& b = ip.bytes;
  if (ip.family == IpAddress::Family::V4) return is_private_v4(b[0], b[1]);

  const bool first_ten_zero = std::all_of(b.begin(), b.begin() + 10, [](std::uint8_t x) { return x == 0; });
  const bool mapped = first_ten_zero && b[10] == 0xFF && b[11] == 0xFF;
  const bool compatible = first_ten_zero && b[10] == 0 && b[11] == 0;
  // The IPv4-compatible block holds :: and ::1 too; their IPv4 reading
  // (0.0.0.0 and 0.0.0.1) is private as well.
  if (mapped || compatible) return is_private_v4(b[12], b[13]);
  if ((b[0] & 0xFE) == 0xFC) return true;                   // fc00::/7
  if (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) return true;   // fe80::/10
  return false;
}

}  // namespace quorrel::vm::http_proxy
