#include "vm/http_proxy/http_syntax.h"


namespace quorrel::vm::http_proxy {

namespace {

bool is_token_char(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
    case '-': case '.': case '^': case '_': case '`': case '|': case '~':
      return true;
    default:
      return false;
  }
}

std::string describe_byte(unsigned char c) {
  if (c > 0x20 && c < 0x7F) return std::string("'") + static_cast<char>(c) + "'";
  const char* digits = "0123456789abcdef";
  return std::string("byte 0x") + digits[c >> 4] + digits[c & 15];
}

std::expected<void, std::string> check_token(std::string_view what, std::string_view text) {
  if (text.empty()) return std::unexpected(std::string(what) + " is empty");
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!is_token_char(c)) return std::unexpected(std::string(what) + " contains invalid " + describe_byte(c) + " at offset " + std::to_string(i));
  }
  return {};
}

}  // namespace

std::expected<void, std::string> check_http_method(std::string_view method) { return check_token("method", method); }

std::expected<void, std::string> check_header_name(std::string_view name) {
  auto ok = check_token("header name", name);
  if (!ok) return std::unexpected("invalid HTTP header name: " + ok.error());
  return {};
}

std::expected<void, std::string> check_header_value(std::string_view name, std::string_view value) {
  for (std::size_t i = 0; i < value.size(); ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7F) {
      return std::unexpected(
          "invalid HTTP header value for " + std::string(name) + ": " + describe_byte(c) + " at offset " + std::to_string(i));
    }
  }
  return {};
}

}  // namespace quorrel::vm::http_proxy
