#include <gtest/gtest.h>

#include "test_guest_fixture.h"

namespace quorrel::vm {
namespace {

using testing_support::make_backend;
using testing_support::test_guest_config;

TEST(KvmBoot, TestGuestBootsToReadyOnce) {
  REQUIRE_KVM();
  auto vm = make_backend();
  ASSERT_TRUE(vm);
  EXPECT_FALSE(vm->booted());
  auto ok = vm->ensure_guest_ready();
  ASSERT_TRUE(ok) << ok.error().to_string();
  EXPECT_TRUE(vm->booted());
  EXPECT_TRUE(vm->guest_ready());
  EXPECT_EQ(vm->state(), BackendState::Ready);
  EXPECT_NE(vm->console_output().find("READY\r\n"), std::string::npos);
  EXPECT_TRUE(vm->io_history().empty()) << "boot records no I/O detail lines";
  auto again = vm->boot();
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, KvmExitReason::Io);
}

}  // namespace
}  // namespace quorrel::vm

namespace quorrel::vm {
namespace {

using testing_support::make_backend;
using testing_support::test_guest_config;

TEST(KvmBoot, HaltBeforeReadyIsReported) {
  REQUIRE_KVM();
  KvmBuildOptions no_irqchip;
  no_irqchip.in_kernel_irqchip = false;  // a halted vCPU then exits with KVM_EXIT_HLT
  auto vm = make_backend({}, test_guest_config(64, "rootfs-halt.cpio.gz"), no_irqchip);
  ASSERT_TRUE(vm);
  auto r = vm->ensure_guest_ready();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "KVM backend error: guest exited before entering command loop: Hlt");
  EXPECT_EQ(vm->last_exit(), KvmExitReason::Hlt);
  EXPECT_TRUE(vm->booted()) << "a boot that ended with Hlt still counts as done";
  EXPECT_FALSE(vm->guest_ready());
  EXPECT_EQ(vm->state(), BackendState::Ready);
  EXPECT_NE(vm->console_output().find("quorrel test guest"), std::string::npos);
}

TEST(KvmBoot, WatchdogIsAtLeastThirtySeconds) {
  EXPECT_EQ(KvmBackend::boot_timeout_secs(10), 30u);
  EXPECT_EQ(KvmBackend::boot_timeout_secs(std::nullopt), 30u);
  EXPECT_EQ(KvmBackend::boot_timeout_secs(30), 30u);
  EXPECT_EQ(KvmBackend::boot_timeout_secs(60), 60u);
}

}  // namespace
}  // namespace quorrel::vm
