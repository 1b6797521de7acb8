#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>

#include "core/sandbox.h"
#include "os/unique_fd.h"

namespace quorrel::os {

// What the waiter thread delivers: the child's wait status or an error.
using WaitOutcome = std::variant<int, core::SandboxError>;

// A thread that performs one blocking wait for a child and hands the
// outcome over a one-slot channel. The channel's descriptor becomes
// readable once the slot is filled (or the thread ended without filling
// it), so the caller can watch it together with the output pipes.
class ExitWaiter {
 public:
  static core::Result<std::unique_ptr<ExitWaiter>> start(pid_t pid);
  ~ExitWaiter();  // joins the thread

  ExitWaiter(const ExitWaiter&) = delete;
  ExitWaiter& operator=(const ExitWaiter&) = delete;

  int ready_fd() const { return event_.get(); }
  // The outcome if it has arrived; nullopt while the slot is still empty,
  // and a disconnection (the thread ended without sending) as `closed`.
  struct Received {
    std::optional<WaitOutcome> outcome;
    bool closed = false;
  };
  Received try_receive();
  // Blocks until the outcome arrives or the thread ends.
  Received receive();
  void join();

 private:
  explicit ExitWaiter(UniqueFd event) : event_(std::move(event)) {}
  void run(pid_t pid);

  UniqueFd event_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::optional<WaitOutcome> slot_;
  bool finished_ = false;
  std::thread thread_;
};

}  // namespace quorrel::os
