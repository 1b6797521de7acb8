#include "os/exit_waiter.h"

#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace quorrel::os {

core::Result<std::unique_ptr<ExitWaiter>> ExitWaiter::start(pid_t pid) {
  UniqueFd event(::eventfd(0, EFD_CLOEXEC));
  if (!event.valid()) return std::unexpected(core::SandboxError::syscall_errno(errno));
  std::unique_ptr<ExitWaiter> waiter(new ExitWaiter(std::move(event)));
  // A thread cannot be created while the system is momentarily out of
  // tasks or memory (EAGAIN); the child is already running, so try a little
  // longer before giving up on it.
  for (int attempt = 0;; ++attempt) {
    try {
      waiter->thread_ = std::thread([w = waiter.get(), pid] { w->run(pid); });
      break;
    } catch (const std::system_error& e) {
      if (e.code() == std::errc::resource_unavailable_try_again && attempt < 100) {
        ::usleep(10'000);
        continue;
      }
      return std::unexpected(
          core::SandboxError::execution_failed(std::string("failed to start the waitpid thread: ") + e.what()));
    }
  }
  return waiter;
}

ExitWaiter::~ExitWaiter() { join(); }

void ExitWaiter::join() {
  if (thread_.joinable()) thread_.join();
}

void ExitWaiter::run(pid_t pid) {
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  WaitOutcome outcome = r < 0 ? WaitOutcome(core::SandboxError::syscall_errno(errno)) : WaitOutcome(status);
  {
    std::lock_guard lock(mutex_);
    slot_ = std::move(outcome);
    finished_ = true;
  }
  cv_.notify_all();
  const std::uint64_t one = 1;
  [[maybe_unused]] auto ignored = ::write(event_.get(), &one, sizeof one);
}

ExitWaiter::Received ExitWaiter::try_receive() {
  std::lock_guard lock(mutex_);
  Received r;
  if (slot_) {
    r.outcome = std::move(slot_);
    slot_.reset();
  } else {
    r.closed = finished_;
  }
  return r;
}

ExitWaiter::Received ExitWaiter::receive() {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [&] { return slot_.has_value() || finished_; });
  Received r;
  if (slot_) {
    r.outcome = std::move(slot_);
    slot_.reset();
  } else {
    r.closed = true;
  }
  return r;
}

}  // namespace quorrel::os
