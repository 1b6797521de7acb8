#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>

#include "vm/vm/microvm_config.h"

namespace quorrel::vm {
namespace {

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

MicrovmConfig existing_paths() {
  MicrovmConfig c;
  c.kernel_path = "/proc/self/exe";
  c.rootfs_path = "/proc/self/exe";
  return c;
}

TEST(MicrovmConfig, ValidationOrder) {
  struct Case {
    std::uint8_t vcpus;
    std::uint32_t mb;
    const char* kernel;
    const char* rootfs;
    const char* error;  // nullptr: valid
  };
  const Case cases[] = {
      {0, 10, "", "", "vcpu_count must not be 0"},
      {1, 63, "/proc/self/exe", "/proc/self/exe", "memory_mb must not be less than 64"},
      {1, 64, "/proc/self/exe", "/proc/self/exe", nullptr},
      {1, 64, "", "/nope", "kernel_path must not be empty"},
      {1, 64, "/nope", "", "rootfs_path must not be empty"},
      {1, 64, "/nope/k", "/nope/r", "kernel_path does not exist: /nope/k"},
      {1, 64, "/proc/self/exe", "/nope/r", "rootfs_path does not exist: /nope/r"},
  };
  for (const auto& c : cases) {
    MicrovmConfig cfg;
    cfg.vcpu_count = c.vcpus;
    cfg.memory_mb = c.mb;
    cfg.kernel_path = c.kernel;
    cfg.rootfs_path = c.rootfs;
    auto r = cfg.validate();
    if (c.error == nullptr) {
      EXPECT_TRUE(r) << r.error().to_string();
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().kind(), MicrovmError::Kind::InvalidConfig);
      EXPECT_EQ(r.error().text(), c.error);
    }
  }
}

TEST(MicrovmConfig, JsonRoundTripAndForms) {
  MicrovmConfig c = existing_paths();
  c.vcpu_count = 2;
  c.memory_mb = 512;
  c.cpu_quota_us = 5000;
  auto j = c.to_json();
  ASSERT_TRUE(j);
  EXPECT_EQ(*j, R"({"vcpu_count":2,"memory_mb":512,"cpu_quota_us":5000,"kernel_path":"/proc/self/exe","rootfs_path":"/proc/self/exe"})");
  EXPECT_EQ(MicrovmConfig::from_json(*j), c);

  auto omitted = MicrovmConfig::from_json(R"({"rootfs_path":"r","kernel_path":"k","memory_mb":64,"vcpu_count":1})");
  ASSERT_TRUE(omitted) << omitted.error();
  EXPECT_FALSE(omitted->cpu_quota_us);
  auto arr = MicrovmConfig::from_json(R"([1,64,null,"k","r"])");
  ASSERT_TRUE(arr) << arr.error();
  EXPECT_EQ(arr->kernel_path, "k");

  const std::pair<const char*, const char*> errors[] = {
      {R"({"vcpu_count":1,"memory_mb":64,"kernel_path":"k"})", "missing field `rootfs_path`"},
      {R"({"memory_mb":64,"kernel_path":"k","rootfs_path":"r"})", "missing field `vcpu_count`"},
      {R"({"vcpu_count":256,"memory_mb":64,"kernel_path":"k","rootfs_path":"r"})", "invalid value: integer `256`, expected u8"},
      {R"({"vcpu_count":1,"vcpu_count":1,"memory_mb":64,"kernel_path":"k","rootfs_path":"r"})", "duplicate field `vcpu_count`"},
  };
  for (const auto& [text, message] : errors) {
    auto r = MicrovmConfig::from_json(text);
    ASSERT_FALSE(r) << text;
    EXPECT_EQ(r.error(), message);
  }
}

TEST(MicrovmConfig, DefaultAssetLocations) {
  {
    ScopedEnv a("VM_ASSETS_DIR", "/opt/assets");
    EXPECT_EQ(default_kernel_path(), "/opt/assets/vmlinux");
    EXPECT_EQ(default_rootfs_path(), "/opt/assets/rootfs.cpio.gz");
  }
  {
    ScopedEnv a("VM_ASSETS_DIR", "");
    EXPECT_EQ(default_kernel_path(), "vmlinux") << "an empty value is used unchanged";
  }
  {
    ScopedEnv a("VM_ASSETS_DIR", nullptr);
    ScopedEnv h("HOME", "/home/u");
    EXPECT_EQ(default_kernel_path(), "/home/u/.quorrel/assets/vmlinux");
  }
  {
    ScopedEnv a("VM_ASSETS_DIR", nullptr);
    ScopedEnv h("HOME", nullptr);
    EXPECT_EQ(default_kernel_path(), "/var/lib/quorrel/vm/vmlinux");
  }
}

}  // namespace
}  // namespace quorrel::vm
