#include "vm/kvm/vcpu_watchdog.h"

#include <linux/kvm.h>
#include <signal.h>

#include <chrono>
#include <system_error>
#include <thread>

namespace quorrel::vm {

namespace {

std::once_flag WATCHDOG_SIGNAL_HANDLER_INIT;

}  // namespace

void handle_watchdog_signal(int) {}

std::expected<VcpuRunWatchdog, MicrovmError> VcpuRunWatchdog::start(kvm_run* run, core::Duration timeout) {
  if (run == nullptr) return std::unexpected(MicrovmError::backend("at least one vCPU is required"));
  std::call_once(WATCHDOG_SIGNAL_HANDLER_INIT, [] { ::signal(SIGUSR1, handle_watchdog_signal); });
  __atomic_store_n(&run->immediate_exit, 0, __ATOMIC_SEQ_CST);
  const pthread_t vcpu_thread = ::pthread_self();
  auto state = std::make_shared<State>();

  // A deadline past what the clock can represent means "no deadline".
  using Clock = std::chrono::steady_clock;
  const auto now = Clock::now();
  const auto limit = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::time_point::max() - now);
  const auto wanted = timeout.to_chrono();
  const bool has_deadline = wanted < limit && timeout.secs < 9'000'000'000ULL;
  const auto deadline = has_deadline ? now + wanted : Clock::time_point::max();

  try {
    std::thread([state, run, vcpu_thread, has_deadline, deadline] {
      std::unique_lock lock(state->mutex);
      if (has_deadline) {
        state->cv.wait_until(lock, deadline, [&] { return state->stopped; });
      } else {
        state->cv.wait(lock, [&] { return state->stopped; });
      }
      if (state->stopped) return;
      // Still under the lock: stop() cannot return while the kick is under
      // way, so the vCPU and its thread are alive here.
      state->fired.exchange(true);
      __atomic_store_n(&run->immediate_exit, 1, __ATOMIC_SEQ_CST);
      ::pthread_kill(vcpu_thread, SIGUSR1);
    }).detach();
  } catch (const std::system_error&) {
    return std::unexpected(MicrovmError::backend("failed to spawn thread"));
  }
  return VcpuRunWatchdog(std::move(state));
}

void VcpuRunWatchdog::stop() {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->stopped = true;
  }
  state_->cv.notify_all();
}

}  // namespace quorrel::vm
