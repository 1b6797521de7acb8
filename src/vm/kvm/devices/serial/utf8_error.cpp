#include "vm/kvm/devices/serial/utf8_error.h"

#include <cstdint>

namespace quorrel::vm {

namespace {

bool is_continuation(std::uint8_t b) { return (b & 0xC0) == 0x80; }

std::string invalid(std::size_t index, std::size_t len) {
  return "invalid utf-8 sequence of " + std::to_string(len) + " bytes from index " + std::to_string(index);
}

std::string incomplete(std::size_t index) { return "incomplete utf-8 byte sequence from index " + std::to_string(index); }

}  // namespace

std::optional<std::string> describe_utf8_error(std::string_view s) {
  const std::size_t n = s.size();
  std::size_t i = 0;
  auto at = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  while (i < n) {
    const std::uint8_t b = at(i);
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t width = 0;
    std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      width = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      width = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      width = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return invalid(i, 1);
    }
    if (i + 1 >= n) return incomplete(i);
    if (at(i + 1) < lo || at(i + 1) > hi) return invalid(i, 1);
    for (std::size_t k = 2; k < width; ++k) {
      if (i + k >= n) return incomplete(i);
      if (!is_continuation(at(i + k))) return invalid(i, k);
    }
    i += width;
  }
  return std::nullopt;
}

}  // namespace quorrel::vm
