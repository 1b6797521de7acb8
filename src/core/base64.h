#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace quorrel::core {

// Standard base64 (RFC 4648 alphabet with "+" and "/"), always padded.
std::string base64_encode(std::string_view bytes);

// Strict decoding: the length must be a multiple of four, only the standard
// alphabet is accepted, "=" may appear only as the last one or two
// characters, and the bits that padding discards must be zero, so every byte
// string has exactly one accepted encoding. No whitespace is skipped. The
// error text names the first problem, e.g. "invalid symbol '-' at offset 4".
std::expected<std::string, std::string> base64_decode(std::string_view text);

}  // namespace quorrel::core
