#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorrel::vm {

// Nullopt for valid UTF-8; otherwise where and how decoding fails, e.g.
// "invalid utf-8 sequence of 1 bytes from index 3" or
// "incomplete utf-8 byte sequence from index 5".
std::optional<std::string> describe_utf8_error(std::string_view bytes);

}  // namespace quorrel::vm
