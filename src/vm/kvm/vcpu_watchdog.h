#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <expected>
#include <memory>
#include <mutex>

#include "core/duration.h"
#include "vm/vm/microvm_error.h"

struct kvm_run;

namespace quorrel::vm {

// Bounds one operation loop: when the deadline passes before stop(), it sets
// `fired`, stores 1 into the vCPU's immediate_exit and sends SIGUSR1 to the
// vCPU thread, so that a blocked or later KVM_RUN returns with EINTR.
// Stopping (or destroying) it before the deadline does nothing else.
class VcpuRunWatchdog {
 public:
  // `run` is the kvm_run area of the vCPU the calling thread will drive.
  static std::expected<VcpuRunWatchdog, MicrovmError> start(kvm_run* run, core::Duration timeout);

  VcpuRunWatchdog(VcpuRunWatchdog&&) noexcept = default;
  VcpuRunWatchdog& operator=(VcpuRunWatchdog&&) noexcept = default;
  ~VcpuRunWatchdog() { stop(); }

  // Sends the stop message; the thread ends on its own (it is not joined).
  void stop();
  bool fired() const { return state_ && state_->fired.load(); }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    bool stopped = false;
    std::atomic<bool> fired{false};
  };

  explicit VcpuRunWatchdog(std::shared_ptr<State> s) : state_(std::move(s)) {}

  std::shared_ptr<State> state_;
};

// The SIGUSR1 handler: does nothing, so that the signal interrupts KVM_RUN.
void handle_watchdog_signal(int);

}  // namespace quorrel::vm
