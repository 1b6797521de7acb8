#pragma once

#include <string>
#include <string_view>

namespace quorrel::core {

// Strict UTF-8 validation: no overlong forms, no surrogates, nothing above
// U+10FFFF.
bool is_valid_utf8(std::string_view bytes);

// Decodes bytes as UTF-8, replacing every maximal invalid subpart by U+FFFD
// (the WHATWG / Unicode "substitution of maximal subparts" practice).
std::string utf8_lossy(std::string_view bytes);

}  // namespace quorrel::core
