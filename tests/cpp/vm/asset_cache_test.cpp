#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "vm/kvm/asset_cache.h"

namespace quorrel::vm {
namespace {

class AssetCacheTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quorrel-asset-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path write(const std::string& name, const std::string& content, time_t mtime) {
    auto p = dir_ / name;
    std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
    timespec t[2] = {{mtime, 0}, {mtime, 0}};
    ::utimensat(AT_FDCWD, p.c_str(), t, 0);
    return p;
  }

  std::filesystem::path dir_;
  AssetCache cache_;
};

TEST_F(AssetCacheTest, HitsByPathAndMtimeAndReloadsOnTouch) {
  auto k = write("vmlinux", "one", 1000);
  auto a = cache_.get_kernel(k);
  ASSERT_TRUE(a);
  EXPECT_EQ(**a, "one");
  auto b = cache_.get_kernel(dir_.string() + "//vmlinux");
  ASSERT_TRUE(b);
  EXPECT_EQ(a->get(), b->get()) << "a doubled separator is the same path";

  write("vmlinux", "two", 1000);  // same second: still served from the cache
  auto c = cache_.get_kernel(k);
  EXPECT_EQ(**c, "one");

  write("vmlinux", "three", 2000);  // touched
  auto d = cache_.get_kernel(k);
  EXPECT_EQ(**d, "three");
  EXPECT_EQ(**a, "one") << "handed-out buffers stay valid";

  auto r = write("rootfs.cpio.gz", "\x1f\x8b", 1000);
  auto e = cache_.get_rootfs(r);
  ASSERT_TRUE(e);
  EXPECT_EQ(**e, "\x1f\x8b") << "kernel and rootfs entries are separate";
  EXPECT_EQ(**cache_.get_kernel(k), "three");
}

TEST_F(AssetCacheTest, MissingFileAndPathEquality) {
  auto r = cache_.get_kernel(dir_ / "missing");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "failed to read asset metadata: " + (dir_ / "missing").string() +
                                  ": No such file or directory (os error 2)");
  EXPECT_TRUE(same_path_components("/a//b/", "/a/b"));
  EXPECT_FALSE(same_path_components("/a/b", "/a/c"));
}

TEST(InitrdImage, GzipMagicIsRequired) {
  EXPECT_TRUE(validate_initrd_image("\x1f\x8b"));
  for (std::string bad : {std::string(), std::string("\x1f"), std::string("\x1f\x8c"), std::string("BZh9")}) {
    auto r = validate_initrd_image(bad);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "KVM backend error: rootfs must be a gzip-compressed cpio initrd");
  }
}

}  // namespace
}  // namespace quorrel::vm
