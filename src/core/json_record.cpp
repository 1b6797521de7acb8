#include "core/json_record.h"

#include <vector>

#include "core/json.h"

namespace quorrel::core {

using Json = nlohmann::ordered_json;

std::string json_invalid_type(const Json& value, std::string_view expected) {
  return "invalid type: " + describe_json_value(value) + ", expected " + std::string(expected);
}

std::expected<std::uint64_t, std::string> read_json_unsigned(const Json& value, std::uint64_t max,
                                                             std::string_view type_name) {
  auto out_of_range = [&] {
    return std::unexpected("invalid value: integer `" + value.dump() + "`, expected " + std::string(type_name));
  };
  if (value.is_number_unsigned()) {
    const auto n = value.get<std::uint64_t>();
    if (n > max) return out_of_range();
    return n;
  }
  if (value.is_number_integer()) {
    const auto n = value.get<std::int64_t>();
    if (n < 0 || static_cast<std::uint64_t>(n) > max) return out_of_range();
    return static_cast<std::uint64_t>(n);
  }
  return std::unexpected(json_invalid_type(value, type_name));
}

std::expected<void, std::string> read_json_record(std::string_view text, std::string_view record_name,
                                                  std::span<const std::string_view> fields,
                                                  const JsonFieldReader& read_field, std::uint64_t optional_mask) {
  auto parsed = parse_json(text);
  if (!parsed) return std::unexpected(parsed.error());
  const Json& root = parsed->value;

  if (root.is_array()) {
    if (root.size() != fields.size()) {
      return std::unexpected("invalid length " + std::to_string(root.size()) + ", expected struct " +
                             std::string(record_name) + " with " + std::to_string(fields.size()) + " elements");
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (auto r = read_field(i, root[i]); !r) return r;
    }
    return {};
  }
  if (!root.is_object()) return std::unexpected(json_invalid_type(root, "struct " + std::string(record_name)));

  for (const auto& dup : parsed->duplicates) {
    if (dup.depth != 1) continue;
    for (auto f : fields) {
      if (f == dup.key) return std::unexpected("duplicate field `" + dup.key + "`");
    }
  }
  std::vector<bool> seen(fields.size(), false);
  for (auto it = root.begin(); it != root.end(); ++it) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i] != it.key()) continue;
      if (auto r = read_field(i, it.value()); !r) return r;
      seen[i] = true;
    }
  }
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const bool optional = i < 64 && ((optional_mask >> i) & 1) != 0;
    if (!seen[i] && !optional) return std::unexpected("missing field `" + std::string(fields[i]) + "`");
  }
  return {};
}

}  // namespace quorrel::core
