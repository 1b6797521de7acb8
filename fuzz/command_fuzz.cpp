// parse_command and the shell quoter on arbitrary bytes.
//
// Invariants:
// - parse_command never crashes; its only error is the mismatched-quotes text;
// - any NUL-free text quoted as one word parses back as exactly that word;
// - the words of a successful parse, each quoted and joined by blanks, parse
//   back to the same list.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/command.h"

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using quorrel::sdk::parse_command;
  using quorrel::sdk::quote_shell_word;
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const auto parsed = parse_command(input);
  if (!parsed) {
    check(parsed.error().kind() == quorrel::sdk::SdkError::Kind::Config, "parse error is a Config error");
    check(parsed.error().message() == quorrel::sdk::kMismatchedQuotes, "parse error text");
  }

  const auto quoted_input = quote_shell_word(input);
  check(quoted_input.has_value() == (input.find('\0') == std::string_view::npos), "quoting refuses exactly NUL");
  if (quoted_input) {
    const auto back = parse_command(*quoted_input);
    check(back.has_value(), "quoted text parses");
    check(back->size() == 1 && (*back)[0] == input, "quoted text parses back to the same word");
  }

  if (parsed) {
    std::string joined;
    bool all_quoted = true;
    for (const auto& word : *parsed) {
      const auto q = quote_shell_word(word);
      if (!q) {
        all_quoted = false;
        break;
      }
      joined += *q;
      joined += ' ';
    }
    if (all_quoted) {
      const auto again = parse_command(joined);
      check(again.has_value(), "re-quoted word list parses");
      check(*again == *parsed, "re-quoted word list parses back to the same words");
    }
  }
  return 0;
}
