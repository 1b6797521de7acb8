#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorrel::python {

// The command line that runs a code snippet: the interpreter of `language`
// (exact, case-sensitive names) with the already quoted code. nullopt for a
// language without an interpreter here.
//   bash                               -> bash -c {}
//   sh, shell                          -> sh -c {}
//   python, python3, py                -> python3 -c {}
//   javascript, js, node, nodejs       -> node -e {}
std::optional<std::string> code_command(std::string_view language, std::string_view quoted_code);

inline constexpr std::string_view kSupportedLanguages =
    "bash, sh, shell, python, python3, py, javascript, js, node, nodejs";

}  // namespace quorrel::python
