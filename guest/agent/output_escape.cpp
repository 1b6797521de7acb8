#include "output_escape.h"

#include <cstdint>

namespace quorrel::agent {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_hex(std::string& out, unsigned char byte) {
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Escapes the bytes; returns how many trailing bytes were left unprocessed
// because they start an unfinished sequence (only when `hold_tail`).
std::size_t escape_into(std::string& out, std::string_view bytes, bool hold_tail) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte < 0x80) {
      switch (byte) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (byte < 0x20 || byte == 0x7F) {
            append_hex(out, byte);
          } else {
            out += static_cast<char>(byte);
          }
      }
      ++i;
      continue;
    }
    const int len = utf8_sequence_length(bytes.substr(i));
    if (len > 0) {
      out.append(bytes.substr(i, static_cast<std::size_t>(len)));
      i += static_cast<std::size_t>(len);
    } else if (len < 0 && hold_tail) {
      return bytes.size() - i;
    } else {
      append_hex(out, byte);
      ++i;
    }
  }
  return 0;
}

}  // namespace

int utf8_sequence_length(std::string_view text) {
  if (text.empty()) {
    return 0;
  }
  const auto lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) {
    return 1;
  }
  int need;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    if (lead == 0xE0) lo = 0xA0;  // overlong
    if (lead == 0xED) hi = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    if (lead == 0xF0) lo = 0x90;  // overlong
    if (lead == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  for (int k = 1; k < need; ++k) {
    if (static_cast<std::size_t>(k) >= text.size()) {
      return -1;
    }
    const auto byte = static_cast<unsigned char>(text[static_cast<std::size_t>(k)]);
    if (k == 1 ? (byte < lo || byte > hi) : !is_continuation(byte)) {
      return 0;
    }
  }
  return need;
}

std::string OutputEscaper::escape(std::string_view chunk) {
  std::string input = std::move(held_);
  held_.clear();
  input.append(chunk);
  std::string out;
  out.reserve(input.size() + input.size() / 8);
  const std::size_t held = escape_into(out, input, true);
  held_ = input.substr(input.size() - held);
  return out;
}

std::string OutputEscaper::finish() {
  std::string out;
  escape_into(out, held_, false);
  held_.clear();
  return out;
}

std::string escape_output(std::string_view bytes) {
  std::string out;
  escape_into(out, bytes, false);
  return out;
}

}  // namespace quorrel::agent
