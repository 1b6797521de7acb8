#include <gtest/gtest.h>
#include <linux/kvm.h>

#include <chrono>
#include <memory>
#include <thread>

#include "vm/kvm/boot/boot_cpuid.h"
#include "vm/kvm/event_channel.h"
#include "vm/kvm/vcpu_watchdog.h"

namespace quorrel::vm {
namespace {

TEST(VcpuRunWatchdog, ZeroTimeoutFiresAndSetsImmediateExit) {
  auto run = std::make_unique<kvm_run>();
  run->immediate_exit = 1;
  auto w = VcpuRunWatchdog::start(run.get(), core::Duration{});
  ASSERT_TRUE(w);
  for (int i = 0; i < 2000 && !w->fired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(w->fired());
  EXPECT_EQ(__atomic_load_n(&run->immediate_exit, __ATOMIC_SEQ_CST), 1);
}

TEST(VcpuRunWatchdog, StopBeforeDeadlineNeverFires) {
  auto run = std::make_unique<kvm_run>();
  run->immediate_exit = 1;
  auto w = VcpuRunWatchdog::start(run.get(), core::Duration::from_millis(50));
  ASSERT_TRUE(w);
  EXPECT_EQ(run->immediate_exit, 0) << "start clears a flag left by an earlier watchdog";
  w->stop();
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  EXPECT_FALSE(w->fired());
  EXPECT_EQ(run->immediate_exit, 0);
  auto forever = VcpuRunWatchdog::start(run.get(), core::Duration{~std::uint64_t{0}, 0});
  ASSERT_TRUE(forever) << "an unrepresentable deadline means none";
  EXPECT_FALSE(forever->fired());
}

TEST(VcpuRunWatchdog, NeedsAVcpu) {
  auto w = VcpuRunWatchdog::start(nullptr, core::Duration::from_secs(1));
  ASSERT_FALSE(w);
  EXPECT_EQ(w.error().text(), "at least one vCPU is required");
}

kvm_cpuid_entry2 leaf(std::uint32_t f, std::uint32_t i = 0) {
  kvm_cpuid_entry2 e{};
  e.function = f;
  e.index = i;
  return e;
}

TEST(BootCpuid, AddsHostBitsAndTimingLeavesSorted) {
  BootCpuidInputs in;
  in.supported = {leaf(7), leaf(1), leaf(0), leaf(4, 1), leaf(4, 0)};
  in.host_leaf1_edx = 0xFFFFFFFF;
  in.host_leaf1_ecx = 0xFFFFFFFF;
  in.tsc_deadline_capable = false;
  in.tsc_khz = 2500000;
  auto t = prepare_boot_cpuid(in);
  ASSERT_EQ(t.size(), 7u);
  const std::pair<std::uint32_t, std::uint32_t> order[] = {{0, 0}, {1, 0}, {4, 0}, {4, 1}, {7, 0}, {0x40000000, 0}, {0x40000010, 0}};
  for (std::size_t i = 0; i < t.size(); ++i) {
    EXPECT_EQ(t[i].function, order[i].first);
    EXPECT_EQ(t[i].index, order[i].second);
  }
  EXPECT_EQ(t[1].edx, 1u << 9) << "APIC bit only";
  EXPECT_EQ(t[1].ecx, 0u) << "no TSC-deadline without the capability";
  EXPECT_EQ(t[5].eax, 0x40000010u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&t[5].ebx), 4) + std::string(reinterpret_cast<const char*>(&t[5].ecx), 4) +
                std::string(reinterpret_cast<const char*>(&t[5].edx), 4),
            std::string("KVMKVMKVM\0\0\0", 12));
  EXPECT_EQ(t[6].eax, 2500000u);

  in.tsc_deadline_capable = true;
  in.supported = {leaf(1)};
  in.supported.resize(80, leaf(2));
  auto full = prepare_boot_cpuid(in);
  EXPECT_EQ(full.size(), 80u) << "no timing leaves when they would not fit";
  EXPECT_EQ(full[0].ecx, 1u << 24);
}

TEST(EventChannel, BoundedChannelBlocksAndClosingEnds) {
  auto [tx, rx] = EventChannel<int>::create(2);
  std::thread producer([tx = std::move(tx)]() mutable {
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(tx.send(i));
  });
  for (int i = 0; i < 10; ++i) EXPECT_EQ(rx.recv(), i);
  producer.join();
  EXPECT_EQ(rx.recv(), std::nullopt);
  auto [tx2, rx2] = EventChannel<int>::create(0);
  rx2.close();
  EXPECT_FALSE(tx2.send(1)) << "receiver gone";
}

}  // namespace
}  // namespace quorrel::vm
