#include "python/isolation_name.h"

#include <cstdint>
#include <vector>

namespace quorrel::python {

namespace {

// The code points with the Unicode White_Space property.
bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

struct CodePoint {
  char32_t value;
  std::size_t begin;
  std::size_t end;
};

// Splits well-formed UTF-8 into code points; a stray byte stands for itself.
std::vector<CodePoint> code_points(std::string_view text) {
  std::vector<CodePoint> out;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 1;
    char32_t value = lead;
    if (lead >= 0xF0) {
      length = 4;
      value = lead & 0x07;
    } else if (lead >= 0xE0) {
      length = 3;
      value = lead & 0x0F;
    } else if (lead >= 0xC0) {
      length = 2;
      value = lead & 0x1F;
    }
    if (i + length > text.size()) {
      length = 1;
      value = lead;
    }
    for (std::size_t k = 1; k < length; ++k) value = (value << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    out.push_back({value, i, i + length});
    i += length;
  }
  return out;
}

}  // namespace

std::string normalise_isolation_name(std::string_view text) {
  const auto points = code_points(text);
  std::size_t first = 0;
  std::size_t last = points.size();
  while (first < last && is_white_space(points[first].value)) ++first;
  while (last > first && is_white_space(points[last - 1].value)) --last;
  if (first == last) return {};
  std::string out(text.substr(points[first].begin, points[last - 1].end - points[first].begin));
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::optional<sdk::IsolationLevel> isolation_level_named(std::string_view normalised) {
  if (normalised == "auto") return sdk::IsolationLevel::Auto;
  if (normalised == "os") return sdk::IsolationLevel::Os;
  if (normalised == "wasm") return sdk::IsolationLevel::Wasm;
  if (normalised == "microvm" || normalised == "micro-vm" || normalised == "micro_vm") return sdk::IsolationLevel::MicroVm;
  return std::nullopt;
}

}  // namespace quorrel::python
