#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "os_test_support.h"

namespace quorrel::os {
namespace {

using core::SandboxConfig;
using testing::run_ok;
namespace fs = std::filesystem;

// Everyday programs must run under the default profile: shells and
// python3 start up, and the common file tools work under /tmp.
TEST(DefaultProfilePrograms, ShellsInterpretersAndFileTools) {
  testing::TempDir dir;
  testing::write_host_file(dir / "src", "b\na\nc\n", 0644);
  fs::create_directory(dir / "sub");
  ::chmod((dir / "sub").c_str(), 0777);
  testing::write_host_file(dir / "tomove", "m", 0666);
  testing::write_host_file(dir / "mode", "x", 0666);
  ::chown((dir / "mode").c_str(), 65534, 65534);  // the sandboxed user owns it

  struct Case {
    const char* name;
    std::vector<std::string> command;
    std::string stdout_data;
  };
  const Case cases[] = {
      {"bash", {"/bin/bash", "-c", "x=$((6*7)); echo \"$x\""}, "42\n"},
      {"sh", {"/bin/sh", "-c", "for w in a b; do echo $w; done"}, "a\nb\n"},
      {"python3", {"/usr/bin/python3", "-c", "import json, os; print(json.dumps({'n': os.cpu_count() > 0}))"},
       "{\"n\": true}\n"},
      {"cp", {"cp", dir / "src", dir / "copy"}, ""},
      {"mv", {"mv", dir / "tomove", dir / "sub/moved"}, ""},
      {"ln -s", {"ln", "-s", dir / "src", dir / "link"}, ""},
      {"chmod", {"chmod", "600", dir / "mode"}, ""},
      {"sort", {"sort", dir / "src"}, "a\nb\nc\n"},
      {"nproc", {"nproc"}, std::to_string(std::max(1u, std::thread::hardware_concurrency())) + "\n"},
  };
  for (const auto& c : cases) {
    const auto r = run_ok(SandboxConfig{}, c.command);
    EXPECT_EQ(r.exit_code, 0) << c.name << ": " << r.stderr_data;
    EXPECT_EQ(r.stdout_data, c.stdout_data) << c.name;
    EXPECT_EQ(r.stderr_data, "") << c.name;
  }
  // The effects, seen from the host.
  EXPECT_EQ(testing::read_host_file(dir / "copy"), "b\na\nc\n");
  EXPECT_EQ(testing::read_host_file(dir / "sub/moved"), "m");
  EXPECT_EQ(fs::read_symlink(dir / "link"), dir / "src");
  EXPECT_EQ(fs::status(dir / "mode").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST(DefaultProfilePrograms, NodeNeedsThreadsAndDiesWithSigsys) {
  if (!fs::exists("/usr/bin/node")) GTEST_SKIP() << "node is not installed";
  const auto r = run_ok(SandboxConfig{}, {"/usr/bin/node", "-e", "console.log(1)"});
  EXPECT_EQ(r.exit_code, 159);
  EXPECT_EQ(r.stdout_data, "");
}

}  // namespace
}  // namespace quorrel::os
