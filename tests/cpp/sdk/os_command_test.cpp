#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "run_program.h"
#include "sdk/os_command.h"

namespace quorrel::sdk {
namespace {

using Words = std::vector<std::string>;
using Env = std::map<std::string, std::string>;

TEST(OsWordList, Forms) {
  struct Case {
    std::string command;
    ExecuteOptions options;
    Words words;
  };
  const std::vector<Case> cases = {
      {"echo hi", {}, {"echo", "hi"}},
      {"echo $HOME", {}, {"echo", "$HOME"}},
      {"echo 'a b' | wc", {}, {"echo", "a b", "|", "wc"}},
      {"echo hi", {Env{{"A", "1 2"}, {"B", ""}}, {}, {}}, {"/usr/bin/env", "A=1 2", "B=", "echo", "hi"}},
      {"", {Env{{"A", "1"}}, {}, {}}, {"/usr/bin/env", "A=1"}},
      {"echo $HOME", {{}, {}, "/tmp"}, {"/bin/sh", "-c", "cd /tmp && exec echo $HOME"}},
      {"echo hi", {Env{{"A", "1 2"}}, {}, "/tmp"}, {"/bin/sh", "-c", "cd /tmp && exec /usr/bin/env 'A=1 2' echo hi"}},
      {"ls", {Env{{"X", "1"}, {"Y", "it's"}}, {}, "/tmp"},
       {"/bin/sh", "-c", "cd /tmp && exec /usr/bin/env X=1 'Y=it'\\''s' ls"}},
      {"ls", {{}, {}, "/tmp/a b"}, {"/bin/sh", "-c", "cd '/tmp/a b' && exec ls"}},
      {"ls", {{}, {}, ""}, {"/bin/sh", "-c", "cd '' && exec ls"}},
      // With cwd the command goes to the shell unchanged, even unbalanced.
      {"echo 'open", {{}, {}, "/"}, {"/bin/sh", "-c", "cd / && exec echo 'open"}},
      {"a && b > c", {{}, {}, "/"}, {"/bin/sh", "-c", "cd / && exec a && b > c"}},
  };
  for (const auto& c : cases) {
    auto r = build_os_word_list(c.command, c.options);
    ASSERT_TRUE(r.has_value()) << c.command << ": " << r.error().to_string();
    EXPECT_EQ(*r, c.words) << c.command;
  }
}

TEST(OsWordList, TimeoutDoesNotChangeTheWords) {
  ExecuteOptions with_timeout;
  with_timeout.timeout = core::Duration::from_millis(250);
  EXPECT_EQ(build_os_word_list("echo hi", with_timeout), build_os_word_list("echo hi", {}));
}

TEST(OsWordList, Refusals) {
  struct Case {
    std::string command;
    ExecuteOptions options;
    std::string message;
  };
  const std::string nul("\0", 1);
  const std::vector<Case> cases = {
      {"echo 'x", {}, "command parsing failed: mismatched shell-style quotes"},
      {"echo 'x", {Env{{"A", "1"}}, {}, {}}, "command parsing failed: mismatched shell-style quotes"},
      {"ls", {Env{{"A=B", "1"}}, {}, {}}, "invalid environment variable name: `A=B`"},
      {"ls", {Env{{"", "1"}}, {}, {}}, "invalid environment variable name: ``"},
      {"ls", {Env{{"A" + nul + "B", "1"}}, {}, {}}, "invalid environment variable name: `A" + nul + "B`"},
      {"ls", {Env{{"X", "a" + nul}}, {}, {}}, "environment variable `X` contains NUL byte"},
      {"ls", {Env{{"A=B", "1"}}, {}, "/tmp"}, "invalid environment variable name: `A=B`"},
      {"ls", {Env{{"X", nul}}, {}, "/tmp"}, "environment variable `X` contains NUL byte"},
      {"ls", {{}, {}, "/tmp" + nul}, "cwd contains characters that cannot be shell-escaped"},
      {"ls", {Env{{"A=B", "1"}}, {}, "/tmp" + nul}, "cwd contains characters that cannot be shell-escaped"},
  };
  for (const auto& c : cases) {
    auto r = build_os_word_list(c.command, c.options);
    ASSERT_FALSE(r.has_value()) << c.message;
    EXPECT_EQ(r.error(), SdkError::config(c.message));
  }
}

TEST(EnvAssignments, OrderAndForm) {
  auto r = build_env_assignments(Env{{"b", "2"}, {"a", "x=y"}, {"C", ""}});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, (Words{"C=", "a=x=y", "b=2"}));
  EXPECT_EQ(build_env_assignments({}), Words{});
}

// The shell text built for cwd and env really lands in that directory with
// those variables, whatever the bytes.
TEST(OsWordList, ShellFormRunsInTheDirectoryWithTheVariables) {
  char tmpl[] = "/tmp/quorrel cwd 'test' $x-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  ExecuteOptions options;
  options.cwd = dir;
  options.env = {{"A", "1 2"}, {"B", "$(echo nope) `id` \"q\" 'r' \\ \n!"}, {"C", ""}};
  auto words = build_os_word_list("/bin/sh -c 'printf \"%s|%s|%s|%s\" \"$A\" \"$B\" \"${C-unset}\" \"$(pwd)\"'",
                                  options);
  ASSERT_TRUE(words.has_value());
  auto out = quorrel::testing::run_program(*words);
  std::filesystem::remove_all(dir);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->status, 0);
  EXPECT_EQ(out->stdout_data, "1 2|" + options.env["B"] + "||" + dir);
}

TEST(ValidateHostFilePath, Table) {
  struct Case {
    std::string path;
    std::optional<std::string> message;
  };
  const std::vector<Case> cases = {
      {"", "path must not be empty"},
      {"../x", "path must not contain '..' path traversal"},
      {"a..b", "path must not contain '..' path traversal"},
      {"/tmp/..", "path must not contain '..' path traversal"},
      {"..", "path must not contain '..' path traversal"},
      {"/tmp/x", std::nullopt},
      {"relative/x", std::nullopt},
      {"/etc/passwd", std::nullopt},
      {".", std::nullopt},
      {"a.b/.c", std::nullopt},
  };
  for (const auto& c : cases) {
    auto r = validate_host_file_path(c.path);
    if (!c.message) {
      EXPECT_TRUE(r.has_value()) << c.path;
      continue;
    }
    ASSERT_FALSE(r.has_value()) << c.path;
    EXPECT_EQ(r.error(), SdkError::coded(ErrorCode::InvalidConfig, *c.message)) << c.path;
    EXPECT_EQ(r.error().to_string(), *c.message);
  }
}

}  // namespace
}  // namespace quorrel::sdk
