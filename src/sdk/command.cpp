#include "sdk/command.h"

namespace quorrel::sdk {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Characters no POSIX shell treats specially anywhere in a word.
bool is_shell_safe(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '/' || c == '_' || c == ',' || c == ':' || c == '@' || c == '%' || c == '+' || c == '=';
}

}  // namespace

SdkResult<std::vector<std::string>> parse_command(std::string_view s) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  std::size_t i = 0;
  const std::size_t n = s.size();
  auto fail = [] { return std::unexpected(SdkError::config(std::string(kMismatchedQuotes))); };

  while (i < n) {
    const char c = s[i];
    if (is_blank(c)) {
      if (in_word) {
        words.push_back(std::move(word));
        word.clear();
        in_word = false;
      }
      ++i;
    } else if (c == '#' && !in_word) {
      while (i < n && s[i] != '\n') ++i;
    } else if (c == '\\') {
      if (i + 1 >= n) return fail();
      if (s[i + 1] != '\n') {
        word += s[i + 1];
        in_word = true;
      }
      i += 2;
    } else if (c == '\'') {
      const auto end = s.find('\'', i + 1);
      if (end == std::string_view::npos) return fail();
      word.append(s.substr(i + 1, end - i - 1));
      in_word = true;
      i = end + 1;
    } else if (c == '"') {
      in_word = true;
      ++i;
      bool closed = false;
      while (i < n) {
        const char d = s[i];
        if (d == '"') {
          closed = true;
          ++i;
          break;
        }
        if (d == '\\' && i + 1 < n) {
          const char e = s[i + 1];
          if (e == '$' || e == '`' || e == '"' || e == '\\') {
            word += e;
            i += 2;
            continue;
          }
          if (e == '\n') {
            i += 2;
            continue;
          }
        }
        word += d;
        ++i;
      }
      if (!closed) return fail();
    } else {
      word += c;
      in_word = true;
      ++i;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

std::optional<std::string> quote_shell_word(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  if (text.empty()) return std::string("''");
  bool safe = true;
  for (char c : text) safe = safe && is_shell_safe(c);
  if (safe) return std::string(text);
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += '\'';
  return out;
}

}  // namespace quorrel::sdk
