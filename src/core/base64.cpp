#include "core/base64.h"

#include <array>
#include <cstdint>

namespace quorrel::core {

namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> make_decode_table() {
  std::array<std::int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  return t;
}
constexpr auto kDecode = make_decode_table();

std::string describe_symbol(unsigned char c) {
  if (c >= 0x20 && c < 0x7F) return std::string("'") + static_cast<char>(c) + "'";
  const char* digits = "0123456789abcdef";
  return std::string("byte 0x") + digits[c >> 4] + digits[c & 15];
}

}  // namespace

std::string base64_encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  auto at = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[k])); };
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += kAlphabet[v >> 6 & 63];
    out += kAlphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    const std::uint32_t v = at(i) << 16;
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += "==";
  } else if (rest == 2) {
    const std::uint32_t v = at(i) << 16 | at(i + 1) << 8;
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += kAlphabet[v >> 6 & 63];
    out += '=';
  }
  return out;
}

std::expected<std::string, std::string> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) {
    return std::unexpected("invalid length " + std::to_string(text.size()) + ": not a multiple of 4");
  }
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
  const std::size_t data_len = text.size() - padding;

  std::string out;
  out.reserve(text.size() / 4 * 3);
  std::uint32_t acc = 0;
  int bits = 0;
  for (std::size_t i = 0; i < data_len; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::int8_t v = kDecode[c];
    if (v < 0) return std::unexpected("invalid symbol " + describe_symbol(c) + " at offset " + std::to_string(i));
    acc = acc << 6 | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>(acc >> bits & 0xFF);
      acc &= (1u << bits) - 1;
    }
  }
  // What is left over are the bits the padding discards; canonical input
  // leaves them zero.
  if (acc != 0) {
    return std::unexpected("invalid last symbol " + describe_symbol(static_cast<unsigned char>(text[data_len - 1])) +
                           " at offset " + std::to_string(data_len - 1) + ": non-zero trailing bits");
  }
  return out;
}

}  // namespace quorrel::core
