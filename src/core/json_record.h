#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace quorrel::core {

// "invalid type: string \"x\", expected a boolean".
std::string json_invalid_type(const nlohmann::ordered_json& value, std::string_view expected);

// A non-negative integer no larger than `max`; `type_name` ("u8", "u64", ...)
// names the expectation in messages.
std::expected<std::uint64_t, std::string> read_json_unsigned(const nlohmann::ordered_json& value, std::uint64_t max,
                                                             std::string_view type_name);

// Reads one field, given its index in the record's field list.
using JsonFieldReader = std::function<std::expected<void, std::string>(std::size_t, const nlohmann::ordered_json&)>;

// Reads a record written either as an object keyed by field name (any key
// order; unknown keys are skipped; a known key given twice is "duplicate
// field `…`"; every field not in `optional_mask` is required: "missing field
// `…`") or as an array holding exactly one value per field, in order
// ("invalid length N, expected struct {record_name} with M elements").
// Object fields are read in document order, so the first bad value wins.
std::expected<void, std::string> read_json_record(std::string_view text, std::string_view record_name,
                                                  std::span<const std::string_view> fields,
                                                  const JsonFieldReader& read_field, std::uint64_t optional_mask = 0);

}  // namespace quorrel::core
