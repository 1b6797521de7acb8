#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace quorrel::python {

// The parameter list of a method as published in its docstring, which starts
// with the interpreter's text-signature header:
//
//   "execute($self, command, env=None, timeout=None, cwd=None)\n--\n\n..."
//
// Supported forms: a leading "$self" or "$cls", plain names (required),
// "name=None" (optional; None and omission mean the same), "/" after the
// positional-only parameters and "*" before the keyword-only ones. The parse
// runs at compile time, so a malformed signature fails the build.
struct Parameter {
  std::string_view name;
  bool optional = false;         // declared "=None"
  bool positional_only = false;  // before "/"
  bool keyword_only = false;     // after "*"
};

enum class Receiver { None, Self, Cls };

struct TextSignature {
  static constexpr std::size_t kMaxParameters = 12;

  std::string_view function_name;  // text before "(", e.g. "execute"
  Receiver receiver = Receiver::None;
  std::array<Parameter, kMaxParameters> parameters{};
  std::size_t count = 0;            // parameters, receiver excluded
  std::size_t positional = 0;       // parameters that can be given by position
  std::size_t positional_only = 0;  // the first ones of those, before "/"
  const char* error = nullptr;      // set when the text is malformed

  constexpr bool valid() const { return error == nullptr; }
};

namespace detail {

constexpr bool is_identifier(std::string_view s) {
  if (s.empty()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    const bool digit = c >= '0' && c <= '9';
    if (!(letter || (digit && i > 0))) return false;
  }
  return true;
}

}  // namespace detail

constexpr TextSignature parse_text_signature(std::string_view doc) {
  TextSignature sig;
  const std::size_t open = doc.find('(');
  const std::size_t close = doc.find(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    sig.error = "no parameter list";
    return sig;
  }
  if (doc.substr(close, 5) != ")\n--\n") {
    sig.error = "the parameter list must be followed by \"\\n--\\n\"";
    return sig;
  }
  sig.function_name = doc.substr(0, open);
  std::string_view rest = doc.substr(open + 1, close - open - 1);
  bool keyword_only = false;
  bool seen_optional = false;
  bool first = true;
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    std::string_view token = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    if (!rest.empty()) {
      if (rest.front() != ' ') {
        sig.error = "parameters must be separated by \", \"";
        return sig;
      }
      rest.remove_prefix(1);
      if (rest.empty()) {
        sig.error = "trailing comma";
        return sig;
      }
    }
    const bool was_first = first;
    first = false;
    if (token == "$self" || token == "$cls") {
      if (!was_first) {
        sig.error = "the receiver must come first";
        return sig;
      }
      sig.receiver = token == "$self" ? Receiver::Self : Receiver::Cls;
      continue;
    }
    if (token == "/") {
      if (keyword_only || sig.positional_only != 0 || sig.count == 0) {
        sig.error = "misplaced \"/\"";
        return sig;
      }
      sig.positional_only = sig.count;
      for (std::size_t i = 0; i < sig.count; ++i) sig.parameters[i].positional_only = true;
      continue;
    }
    if (token == "*") {
      if (keyword_only) {
        sig.error = "second \"*\"";
        return sig;
      }
      keyword_only = true;
      continue;
    }
    Parameter p;
    const std::size_t eq = token.find('=');
    if (eq != std::string_view::npos) {
      if (token.substr(eq) != "=None") {
        sig.error = "only None is supported as a default";
        return sig;
      }
      p.optional = true;
      token = token.substr(0, eq);
    }
    if (!detail::is_identifier(token)) {
      sig.error = "parameter name is not an identifier";
      return sig;
    }
    if (!keyword_only) {
      if (seen_optional && !p.optional) {
        sig.error = "required positional parameter after an optional one";
        return sig;
      }
      seen_optional = seen_optional || p.optional;
    }
    for (std::size_t i = 0; i < sig.count; ++i) {
      if (sig.parameters[i].name == token) {
        sig.error = "duplicate parameter name";
        return sig;
      }
    }
    if (sig.count == TextSignature::kMaxParameters) {
      sig.error = "too many parameters";
      return sig;
    }
    p.name = token;
    p.keyword_only = keyword_only;
    sig.parameters[sig.count++] = p;
    if (!keyword_only) ++sig.positional;
  }
  if (keyword_only && sig.count == sig.positional) {
    sig.error = "\"*\" must be followed by a parameter";
    return sig;
  }
  return sig;
}

}  // namespace quorrel::python
