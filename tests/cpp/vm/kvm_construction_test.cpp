#include <gtest/gtest.h>
#include <linux/kvm.h>
#include <sys/ioctl.h>

#include <cstring>
#include <fstream>

#include "test_guest_fixture.h"
#include "vm/kvm/kernel_loader.h"
#include "vm/kvm/kvm_abi.h"

namespace quorrel::vm {
namespace {

using testing_support::guest_dir;
using testing_support::make_backend;
using testing_support::test_guest_config;

TEST(KvmConstruction, InitialStateMemoryAndLoadedImage) {
  REQUIRE_KVM();
  auto vm = make_backend();
  ASSERT_TRUE(vm);
  EXPECT_EQ(vm->memory().size(), 67108864u);
  EXPECT_EQ(vm->vcpu_count(), 1u);
  EXPECT_EQ(vm->state(), BackendState::Ready);
  EXPECT_FALSE(vm->booted());
  EXPECT_FALSE(vm->guest_ready());
  EXPECT_EQ(vm->kernel_entry(), 0x1000000u) << "the test guest's ELF entry";
  EXPECT_GT(vm->kernel_end(), 0x1000000u);
  EXPECT_EQ(vm->initrd_addr(), (vm->kernel_end() + 0x200000 + 0xFFF) & ~0xFFFull);
  EXPECT_TRUE(vm->console_output().empty());
  EXPECT_FALSE(vm->last_exit());
  // The initrd bytes and the command line are in guest RAM where the zero page says.
  const auto* ram = vm->memory().host_address();
  ASSERT_TRUE(vm->initrd_bytes());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(ram + vm->initrd_addr()), vm->initrd_bytes()->size()),
            *vm->initrd_bytes());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(ram + 0x20000)), kKernelCommandLine);
  std::uint32_t ramdisk = 0;
  std::memcpy(&ramdisk, ram + 0x7000 + 0x218, 4);
  EXPECT_EQ(ramdisk, vm->initrd_addr());
}

TEST(KvmConstruction, FourVcpusGetTheirOwnApicBase) {
  REQUIRE_KVM();
  auto mc = test_guest_config();
  mc.vcpu_count = 4;
  auto vm = make_backend({}, mc);
  ASSERT_TRUE(vm);
  ASSERT_EQ(vm->vcpu_count(), 4u);
  ASSERT_TRUE(vm->ensure_guest_ready()) << "boot prepares every vCPU and runs the first";
  for (std::size_t i = 0; i < 4; ++i) {
    kvm_abi::MsrTable<1> msrs;
    msrs.header.nmsrs = 1;
    msrs.entries[0].index = 0x1B;
    ASSERT_EQ(::ioctl(vm->vcpu(i).fd(), _IOWR(KVMIO, 0x88, kvm_abi::MsrsHeader), &msrs), 1);
    EXPECT_EQ(msrs.entries[0].data & ~0xFFFull, 0xFEE00000u);
    EXPECT_EQ((msrs.entries[0].data >> 8) & 1, i == 0 ? 1u : 0u) << "only vCPU 0 is the bootstrap processor";
  }
}

TEST(KvmConstruction, RestoreModeReadsNoAssets) {
  REQUIRE_KVM();
  char tmpl[] = "/tmp/quorrel-restore-XXXXXX";
  std::filesystem::path dir = ::mkdtemp(tmpl);
  std::ofstream(dir / "vmlinux") << "not an ELF image";
  std::ofstream(dir / "rootfs.cpio.gz") << "not gzip";
  MicrovmConfig mc = test_guest_config();
  mc.kernel_path = dir / "vmlinux";
  mc.rootfs_path = dir / "rootfs.cpio.gz";
  auto restored = KvmBackend::create_vm_with_mode({}, mc, true);
  ASSERT_TRUE(restored) << restored.error().to_string();
  EXPECT_EQ((*restored)->kernel_entry(), 0u);
  EXPECT_FALSE((*restored)->kernel_bytes());
  EXPECT_FALSE((*restored)->initrd_bytes());
  EXPECT_EQ((*restored)->state(), BackendState::Ready);
  auto normal = KvmBackend::create_vm({}, mc);
  ASSERT_FALSE(normal);
  EXPECT_EQ(normal.error().to_string(), "KVM backend error: rootfs must be a gzip-compressed cpio initrd");
  std::filesystem::remove_all(dir);
}

TEST(KvmConstruction, FailuresInOrder) {
  KvmBuildOptions missing;
  missing.device = "/nonexistent/kvm";
  auto r = KvmBackend::create_vm_with_options({}, test_guest_config(), false, missing);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "KVM backend error: No such file or directory (os error 2)");

  MicrovmConfig bad = test_guest_config();
  bad.vcpu_count = 0;
  auto invalid = KvmBackend::create_vm_with_options({}, bad, false, missing);
  ASSERT_FALSE(invalid);
  EXPECT_EQ(invalid.error().to_string(), "invalid microVM config: vcpu_count must not be 0") << "validation comes first";

  REQUIRE_KVM();
  MicrovmConfig not_elf = test_guest_config();
  not_elf.kernel_path = guest_dir() / "rootfs.cpio.gz";
  auto elf = KvmBackend::create_vm({}, not_elf);
  ASSERT_FALSE(elf);
  EXPECT_EQ(elf.error().to_string(), "KVM backend error: kernel image is not ELF format");
}

TEST(KvmLifecycle, DestroyReleasesEverythingAndBlocksOperations) {
  REQUIRE_KVM();
  auto vm = make_backend();
  ASSERT_TRUE(vm);
  vm->destroy();
  EXPECT_EQ(vm->state(), BackendState::Destroyed);
  EXPECT_LT(vm->vm_fd(), 0);
  EXPECT_EQ(vm->vcpu_count(), 0u);
  EXPECT_EQ(vm->memory().host_address(), nullptr);
  EXPECT_FALSE(vm->kernel_bytes());
  EXPECT_EQ(vm->ensure_guest_ready().error().to_string(),
            "microVM lifecycle error: KVM backend destroyed, cannot reuse guest state");
  EXPECT_EQ(vm->run_command_with_options({"true"}, {}).error().to_string(),
            "microVM lifecycle error: KVM backend is not in Ready state");
  FrameBuffer fb;
  EXPECT_EQ(vm->run_vcpu_step(fb, nullptr, nullptr).error().text(), "at least one vCPU is required");
}

}  // namespace
}  // namespace quorrel::vm
