#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "core/sandbox.h"

namespace quorrel::core {
namespace {

namespace fs = std::filesystem;

class SnapshotFromFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quorrel-snapshot-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path write(const char* name, std::string_view data) {
    fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << data;
    return p;
  }
  fs::path dir_;
};

TEST_F(SnapshotFromFile, DirectoryEmptyFileAndMissingPath) {
  auto on_dir = SandboxSnapshot::from_file(dir_);
  ASSERT_FALSE(on_dir.has_value());
  EXPECT_EQ(on_dir.error(), SandboxError::invalid_snapshot());

  auto on_empty = SandboxSnapshot::from_file(write("empty", ""));
  ASSERT_FALSE(on_empty.has_value());
  EXPECT_EQ(on_empty.error(), SandboxError::invalid_snapshot());

  auto on_missing = SandboxSnapshot::from_file(dir_ / "missing");
  ASSERT_FALSE(on_missing.has_value());
  ASSERT_EQ(on_missing.error().kind(), SandboxError::Kind::Io);
  EXPECT_EQ(on_missing.error().io_error()->kind(), IoErrorKind::NotFound);
  EXPECT_EQ(on_missing.error().to_string(), "I/O error: No such file or directory (os error 2)");

  auto on_dangling = SandboxSnapshot::from_file((fs::create_symlink(dir_ / "nowhere", dir_ / "dangling"), dir_ / "dangling"));
  ASSERT_FALSE(on_dangling.has_value());
  EXPECT_EQ(on_dangling.error().kind(), SandboxError::Kind::Io);

  auto on_devnull = SandboxSnapshot::from_file("/dev/null");
  ASSERT_FALSE(on_devnull.has_value());
  EXPECT_EQ(on_devnull.error(), SandboxError::invalid_snapshot());
}

TEST_F(SnapshotFromFile, RegularFileAndLinkToIt) {
  const fs::path good = write("good", "QRRLVM01 and more");
  auto snap = SandboxSnapshot::from_file(good);
  ASSERT_TRUE(snap.has_value());
  ASSERT_TRUE(snap->is_file());
  EXPECT_EQ(snap->file()->path, good);
  EXPECT_EQ(snap->file()->size, 17u);
  EXPECT_EQ(snap->bytes(), nullptr);

  fs::create_symlink(good, dir_ / "link");
  auto via_link = SandboxSnapshot::from_file(dir_ / "link");
  ASSERT_TRUE(via_link.has_value());
  EXPECT_EQ(via_link->file()->path, dir_ / "link");
  EXPECT_EQ(via_link->file()->size, 17u);
}

TEST(SnapshotFromBytes, HoldsTheBytes) {
  auto snap = SandboxSnapshot::from_bytes(std::string("a\0b", 3));
  EXPECT_FALSE(snap.is_file());
  ASSERT_NE(snap.bytes(), nullptr);
  EXPECT_EQ(snap.bytes()->data, std::string("a\0b", 3));
}

}  // namespace
}  // namespace quorrel::core
