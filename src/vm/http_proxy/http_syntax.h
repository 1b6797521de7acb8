#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace quorrel::vm::http_proxy {

// A method is any non-empty token (RFC 9110), compared case-sensitively.
std::expected<void, std::string> check_http_method(std::string_view method);
// A header name must be a token; a value may hold any byte but controls,
// horizontal tab excepted.
std::expected<void, std::string> check_header_name(std::string_view name);
std::expected<void, std::string> check_header_value(std::string_view name, std::string_view value);

}  // namespace quorrel::vm::http_proxy
