#include "python/code_command.h"

#include <array>
#include <utility>

namespace quorrel::python {

std::optional<std::string> code_command(std::string_view language, std::string_view quoted_code) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 10> kPrefixes{{
      {"bash", "bash -c "},
      {"sh", "sh -c "},
      {"shell", "sh -c "},
      {"python", "python3 -c "},
      {"python3", "python3 -c "},
      {"py", "python3 -c "},
      {"javascript", "node -e "},
      {"js", "node -e "},
      {"node", "node -e "},
      {"nodejs", "node -e "},
  }};
  for (const auto& [name, prefix] : kPrefixes) {
    if (name == language) return std::string(prefix).append(quoted_code);
  }
  return std::nullopt;
}

}  // namespace quorrel::python
