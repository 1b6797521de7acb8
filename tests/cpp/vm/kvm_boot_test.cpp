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
