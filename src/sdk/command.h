#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/error.h"

namespace quorrel::sdk {

inline constexpr std::string_view kMismatchedQuotes = "command parsing failed: mismatched shell-style quotes";

// Splits a command line into words the way a POSIX shell does, without
// expansions and without operators ("&&", "|" stay ordinary words).
SdkResult<std::vector<std::string>> parse_command(std::string_view command);

// Quotes text as one POSIX shell word; nullopt when it contains NUL.
std::optional<std::string> quote_shell_word(std::string_view text);

}  // namespace quorrel::sdk
