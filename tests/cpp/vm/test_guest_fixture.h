#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "vm/kvm/kvm_backend.h"

namespace quorrel::vm::testing_support {

inline std::filesystem::path guest_dir() { return QUORREL_TEST_GUEST_DIR; }

inline MicrovmConfig test_guest_config(std::uint32_t memory_mb = 64, const char* rootfs = "rootfs.cpio.gz") {
  MicrovmConfig c;
  c.vcpu_count = 1;
  c.memory_mb = memory_mb;
  c.kernel_path = guest_dir() / "vmlinux";
  c.rootfs_path = guest_dir() / rootfs;
  return c;
}

inline bool have_kvm() { return ::access("/dev/kvm", R_OK | W_OK) == 0; }

#define REQUIRE_KVM() \
  if (!::quorrel::vm::testing_support::have_kvm()) GTEST_SKIP() << "/dev/kvm not available"

inline std::unique_ptr<KvmBackend> make_backend(const core::SandboxConfig& sc = {},
                                                const MicrovmConfig& mc = test_guest_config(),
                                                const KvmBuildOptions& options = {}) {
  auto vm = KvmBackend::create_vm_with_options(sc, mc, false, options);
  EXPECT_TRUE(vm.has_value()) << (vm ? "" : vm.error().to_string());
  return vm ? std::move(*vm) : nullptr;
}

}  // namespace quorrel::vm::testing_support
