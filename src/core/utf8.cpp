#include "core/utf8.h"

#include <cstdint>

namespace quorrel::core {

namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when the bytes
// there do not begin one. On failure *bad is the length of the maximal
// invalid subpart (at least 1).
std::size_t valid_sequence_length(std::string_view s, std::size_t i, std::size_t* bad) {
  auto b = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  const std::uint8_t c = b(i);
  *bad = 1;
  if (c < 0x80) return 1;
  std::size_t need;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return 0;
    const std::uint8_t t = b(i + k);
    const std::uint8_t l = k == 1 ? lo : 0x80;
    const std::uint8_t h = k == 1 ? hi : 0xBF;
    if (t < l || t > h) return 0;
    *bad = k + 1;
  }
  return need + 1;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0, bad = 0;
  while (i < bytes.size()) {
    const std::size_t n = valid_sequence_length(bytes, i, &bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0, bad = 0;
  while (i < bytes.size()) {
    const std::size_t n = valid_sequence_length(bytes, i, &bad);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += bad;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace quorrel::core
