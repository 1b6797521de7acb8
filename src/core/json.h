#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace quorrel::core {

// A key that appeared more than once in one JSON object. depth is 1 for the
// top-level object's own keys.
struct DuplicateJsonKey {
  std::string key;
  std::size_t depth;
};

struct ParsedJson {
  nlohmann::ordered_json value;
  // Every repeated key, in document order; the value that stays in `value`
  // is the first one seen.
  std::vector<DuplicateJsonKey> duplicates;
};

// Parses one JSON document without throwing. Errors carry the parser's own
// position-annotated text, e.g. "parse error at line 1, column 3: ...".
std::expected<ParsedJson, std::string> parse_json(std::string_view text);

// The JSON type name used in messages: "null", "a boolean", "an integer", ...
std::string describe_json_value(const nlohmann::ordered_json& v);

}  // namespace quorrel::core
