#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "run_program.h"
#include "sdk/command.h"

namespace quorrel::sdk {
namespace {

using Words = std::vector<std::string>;

struct ParseCase {
  std::string input;
  std::optional<Words> words;  // nullopt: the mismatched-quotes error
  // Whether a POSIX shell splitting the same text gives the same words (no
  // operators, expansions or unquoted newlines involved).
  bool shell_agrees;
};

const std::vector<ParseCase>& parse_cases() {
  static const std::vector<ParseCase> cases = {
      {"a'b c'd", Words{"ab cd"}, true},
      {"\"a b\"", Words{"a b"}, true},
      {"\"a", std::nullopt, false},
      {"echo hi && rm x", Words{"echo", "hi", "&&", "rm", "x"}, false},
      {"", Words{}, true},
      {"   \t \n  ", Words{}, false},
      {"  a  b\t\tc\nd  ", Words{"a", "b", "c", "d"}, false},
      {"'a\\b'", Words{"a\\b"}, true},
      {"\"\\$ \\` \\\" \\\\ \\n \\a\"", Words{"$ ` \" \\ \\n \\a"}, true},
      {"\"ab\\\ncd\"", Words{"abcd"}, true},
      {"\"a\nb\"", Words{"a\nb"}, true},
      {"a\\ b", Words{"a b"}, true},
      {"a\\\\", Words{"a\\"}, true},
      {"a\\", std::nullopt, false},
      {"a\\\nb", Words{"ab"}, true},
      {"a \\\n b", Words{"a", "b"}, true},
      {"# only a comment", Words{}, true},
      {"echo hi # comment 'unbalanced", Words{"echo", "hi"}, true},
      {"echo hi # comment\nls -l", Words{"echo", "hi", "ls", "-l"}, false},
      {"echo a#b", Words{"echo", "a#b"}, true},
      {"echo '#x' \"#y\" \\#z", Words{"echo", "#x", "#y", "#z"}, true},
      {"echo \"a\"#b", Words{"echo", "a#b"}, true},
      {"''", Words{""}, true},
      {"\"\"", Words{""}, true},
      {"'' \"\" x", Words{"", "", "x"}, true},
      {"a;b|c>d", Words{"a;b|c>d"}, false},
      {"a ; b | c > d 2>&1 &", Words{"a", ";", "b", "|", "c", ">", "d", "2>&1", "&"}, false},
      {"echo $HOME `id` $(id)", Words{"echo", "$HOME", "`id`", "$(id)"}, false},
      {"*.txt ~ ~/x", Words{"*.txt", "~", "~/x"}, false},
      {"'unterminated", std::nullopt, false},
      {"ok 'unterminated", std::nullopt, false},
      {"x \"", std::nullopt, false},
      {"\"a\\", std::nullopt, false},
      {"\"a\\\"", std::nullopt, false},
      {"\"it's\"", Words{"it's"}, true},
      {"'a\"b'", Words{"a\"b"}, true},
      {"\"\\'\"", Words{"\\'"}, true},
      {"\\' \\\"", Words{"'", "\""}, true},
      {"h\xc3\xa9llo w\xc3\xb6rld \xe4\xb8\xad\xe6\x96\x87", Words{"h\xc3\xa9llo", "w\xc3\xb6rld", "\xe4\xb8\xad\xe6\x96\x87"}, true},
      {"bad\xff\xfe bytes", Words{"bad\xff\xfe", "bytes"}, true},
      {"a'b'\"c\"\\d", Words{"abcd"}, true},
      {"\r", Words{"\r"}, false},
  };
  return cases;
}

TEST(ParseCommand, Table) {
  for (const auto& c : parse_cases()) {
    auto r = parse_command(c.input);
    if (c.words) {
      ASSERT_TRUE(r.has_value()) << "input: " << c.input << " error: " << r.error().to_string();
      EXPECT_EQ(*r, *c.words) << "input: " << c.input;
    } else {
      ASSERT_FALSE(r.has_value()) << "input: " << c.input;
      EXPECT_EQ(r.error(), SdkError::config("command parsing failed: mismatched shell-style quotes"))
          << "input: " << c.input;
    }
  }
}

// The words /bin/sh splits `text` into.
std::optional<Words> shell_words(const std::string& text) {
  auto out = quorrel::testing::run_program(
      {"/bin/sh", "-c", "set -- " + text + "\nfor w in \"$@\"; do printf '%s\\0' \"$w\"; done"});
  if (!out || out->status != 0) return std::nullopt;
  Words words;
  std::size_t start = 0;
  for (std::size_t i = 0; i < out->stdout_data.size(); ++i) {
    if (out->stdout_data[i] == '\0') {
      words.push_back(out->stdout_data.substr(start, i - start));
      start = i + 1;
    }
  }
  return words;
}

TEST(ParseCommand, AgreesWithTheShellWhereNoOperatorIsInvolved) {
  for (const auto& c : parse_cases()) {
    if (!c.shell_agrees) continue;
    auto sh = shell_words(c.input);
    ASSERT_TRUE(sh.has_value()) << "shell failed on: " << c.input;
    EXPECT_EQ(*c.words, *sh) << "input: " << c.input;
  }
}

const std::vector<std::string>& nasty_words() {
  static const std::vector<std::string> words = {
      "abc",
      "ABC-def_0.9/x",
      "",
      " ",
      "\t",
      "a b\tc",
      "it's",
      "''",
      "'",
      "\"",
      "\"double\"",
      "line1\nline2",
      "\n",
      "$HOME",
      "${HOME}",
      "$(id)",
      "`id`",
      "back\\slash",
      "\\",
      "trailing\\",
      "!",
      "!!",
      "*",
      "?",
      "[a]",
      "~",
      "~root",
      "-n",
      "--",
      "-",
      "#comment",
      "a#b",
      "&&",
      "|",
      ";",
      "> x",
      "a=b",
      "{a,b}",
      "%s",
      "h\xc3\xa9llo \xe4\xb8\xad\xe6\x96\x87",
      "\xff\xfe\x80",
      "\x01\x02\x1b[0m\x7f",
      "'\"'\"'",
      "\\'",
      "mixed 'single' \"double\" $var `cmd` \\ \n end",
  };
  return words;
}

TEST(QuoteShellWord, BasicForms) {
  EXPECT_EQ(quote_shell_word("abc"), "abc");
  EXPECT_EQ(quote_shell_word("ABC-def_0.9/x"), "ABC-def_0.9/x");
  EXPECT_EQ(quote_shell_word(""), "''");
  EXPECT_EQ(quote_shell_word(std::string("a\0b", 3)), std::nullopt);
  EXPECT_EQ(quote_shell_word(std::string("\0", 1)), std::nullopt);
  EXPECT_NE(quote_shell_word("a b"), "a b");
}

TEST(QuoteShellWord, ShellReadsBackTheSameBytes) {
  for (const std::string shell : {"/bin/sh", "/bin/bash"}) {
    if (::access(shell.c_str(), X_OK) != 0) continue;
    for (const auto& w : nasty_words()) {
      auto q = quote_shell_word(w);
      ASSERT_TRUE(q.has_value()) << w;
      auto out = quorrel::testing::run_program({shell, "-c", "printf %s " + *q});
      ASSERT_TRUE(out.has_value());
      EXPECT_EQ(out->status, 0) << shell << " on " << *q;
      EXPECT_EQ(out->stdout_data, w) << shell << " read back " << *q;
    }
    // All of them at once: each quoted text stays exactly one word.
    std::string script = "printf '%s\\0'";
    std::string expected;
    for (const auto& w : nasty_words()) {
      script += " " + *quote_shell_word(w);
      expected += w;
      expected += '\0';
    }
    auto out = quorrel::testing::run_program({shell, "-c", script});
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->stdout_data, expected) << shell;
  }
}

TEST(QuoteShellWord, ParseCommandReadsBackTheSameWord) {
  for (const auto& w : nasty_words()) {
    auto q = quote_shell_word(w);
    ASSERT_TRUE(q.has_value());
    auto words = parse_command(*q);
    ASSERT_TRUE(words.has_value()) << *q;
    EXPECT_EQ(*words, Words{w}) << *q;
  }
}

}  // namespace
}  // namespace quorrel::sdk
