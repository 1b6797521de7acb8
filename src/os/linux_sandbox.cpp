#include "os/linux_sandbox.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "os/cgroup.h"
#include "os/child_main.h"
#include "os/child_plan.h"
#include "os/exit_waiter.h"
#include "os/namespaces.h"
#include "os/output_collector.h"
#include "os/seccomp_program.h"
#include "os/unique_fd.h"

namespace quorrel::os {

namespace {

using core::Result;
using core::SandboxError;
using core::SandboxResult;
using Clock = std::chrono::steady_clock;

// A descriptor numbered 0 to 2 would be overwritten when the child sets up
// its standard streams; such a descriptor is moved above 2.
bool lift_above_stdio(UniqueFd& fd) {
  if (fd.get() > 2) return true;
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
  if (moved < 0) return false;
  fd.reset(moved);
  return true;
}

Result<PipePair> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    return std::unexpected(SandboxError::pipe_error("pipe2(O_CLOEXEC) 失败: errno=" + std::to_string(errno)));
  }
  PipePair p{UniqueFd(fds[0]), UniqueFd(fds[1])};
  if (!lift_above_stdio(p.read) || !lift_above_stdio(p.write)) {
    return std::unexpected(SandboxError::pipe_error("pipe2(O_CLOEXEC) 失败: errno=" + std::to_string(errno)));
  }
  return p;
}

core::SeccompProfile effective_profile(core::SeccompProfile profile, bool allow_fork) {
  return core::seccomp_profile_for(core::seccomp_profile_allows_network(profile),
                                   allow_fork || core::seccomp_profile_allows_fork(profile));
}

// The forked child until it has been reaped; on an early return it is
// killed with its whole process group and reaped, so no process is left.
class ChildProcess {
 public:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  ~ChildProcess() {
    if (pid_ > 0) {
      kill_group();
      reap();
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  void kill_group() const {
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);  // in case the group was never formed
  }
  // Blocking wait; errno rendering on failure.
  Result<int> reap() {
    int status = 0;
    pid_t r;
    do {
      r = ::waitpid(pid_, &status, 0);
    } while (r < 0 && errno == EINTR);
    const int err = errno;
    pid_ = -1;
    if (r < 0) return std::unexpected(SandboxError::syscall_errno(err));
    return status;
  }
  // Someone else (the waiter thread) reaps it from now on.
  void hand_over() { pid_ = -1; }

 private:
  pid_t pid_;
};

std::optional<std::int32_t> exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return std::nullopt;
}

// Completes the launcher side of the handshake: the id mapping when the
// child unshared a user namespace and must not keep root's ids.
std::expected<void, core::IoError> answer_handshake(pid_t pid, int from_child, int to_child, bool drop_ids) {
  char got = 0;
  ssize_t n;
  do {
    n = ::read(from_child, &got, 1);
  } while (n < 0 && errno == EINTR);
  if (n != 1) return {};  // the child ended before its namespaces: nothing to do
  if (got == kHandshakeFullSet && drop_ids) {
    if (auto r = write_sandbox_id_mapping(pid); !r) return r;
  }
  const char go = kHandshakeProceed;
  do {
    n = ::write(to_child, &go, 1);
  } while (n < 0 && errno == EINTR);
  return {};
}

std::optional<Clock::time_point> deadline_after(core::Duration limit) {
  const auto now = Clock::now();
  const auto span = limit.to_chrono();
  if (span > Clock::time_point::max() - now) return std::nullopt;  // not representable: no deadline
  return now + std::chrono::duration_cast<Clock::duration>(span);
}

}  // namespace

LinuxSandbox::LinuxSandbox(core::SandboxConfig config) : config_(std::move(config)) {}

LinuxSandbox::~LinuxSandbox() { cleanup_last_cgroup(); }

LinuxSandbox::LinuxSandbox(LinuxSandbox&&) noexcept = default;
LinuxSandbox& LinuxSandbox::operator=(LinuxSandbox&&) noexcept = default;

Result<SandboxResult> LinuxSandbox::execute(const std::vector<std::string>& command) {
  return execute_with_timeout(command, std::nullopt);
}

void LinuxSandbox::destroy() { cleanup_last_cgroup(); }

void LinuxSandbox::cleanup_last_cgroup() {
  if (auto dir = std::exchange(last_cgroup_, std::nullopt)) ::rmdir(dir->c_str());
}

Result<SandboxResult> LinuxSandbox::execute_with_timeout(const std::vector<std::string>& command,
                                                         std::optional<core::Duration> timeout) {
  if (command.empty()) return std::unexpected(SandboxError::execution_failed("command must not be empty"));
  cleanup_last_cgroup();
  const auto start = Clock::now();

  auto out_pipe = make_pipe();
  if (!out_pipe) return std::unexpected(out_pipe.error());
  auto err_pipe = make_pipe();
  if (!err_pipe) return std::unexpected(err_pipe.error());

  core::SandboxConfig child_config = config_;
  child_config.seccomp_profile = effective_profile(config_.seccomp_profile, config_.allow_fork);
  std::string builder_error;
  const auto* program = cached_seccomp_program(child_config.seccomp_profile, &builder_error);
  if (!program) return std::unexpected(SandboxError::seccomp_failed(builder_error));

  const bool drop_ids = launcher_has_root_ids();
  const bool sync = drop_ids || config_.cpu_quota_us.has_value();
  PipePair to_parent, to_child;
  if (sync) {
    auto a = make_pipe();
    if (!a) return std::unexpected(a.error());
    auto b = make_pipe();
    if (!b) return std::unexpected(b.error());
    to_parent = std::move(*a);
    to_child = std::move(*b);
  }
  const ChildPlan plan(command, child_config, *program, drop_ids, sync);

  const pid_t pid = ::fork();
  if (pid < 0) return std::unexpected(SandboxError::syscall_errno(errno));
  if (pid == 0) {
    child_main(plan, ChildFds{
                         .stdout_write = out_pipe->write.get(),
                         .stderr_write = err_pipe->write.get(),
                         .stdout_read = out_pipe->read.get(),
                         .stderr_read = err_pipe->read.get(),
                         .handshake_to_parent = to_parent.write.get(),
                         .handshake_from_parent = to_child.read.get(),
                     });
  }

  ChildProcess child(pid);
  out_pipe->write.reset();
  err_pipe->write.reset();
  to_parent.write.reset();
  to_child.read.reset();
  // The child makes itself a group leader first thing; doing it here too
  // means a kill of the group cannot miss it in between.
  ::setpgid(pid, pid);
  OutputCollector output(std::move(out_pipe->read), std::move(err_pipe->read));

  bool created_cgroup = false;
  if (config_.cpu_quota_us) {
    // The child waits in the handshake, before it forks the process that
    // runs the command, so the command starts inside the cgroup.
    auto dir = create_cpu_cgroup(pid, *config_.cpu_quota_us, config_.cpu_period_us);
    if (!dir) return std::unexpected(dir.error());  // `child` kills and reaps
    last_cgroup_ = std::move(*dir);
    created_cgroup = true;
  }
  if (sync) {
    if (auto r = answer_handshake(pid, to_parent.read.get(), to_child.write.get(), drop_ids); !r) {
      return std::unexpected(SandboxError::io(r.error()));
    }
    to_parent.read.reset();
    to_child.write.reset();
  }

  std::optional<core::Duration> limit = timeout;
  if (!limit && config_.timeout_secs) limit = core::Duration::from_secs(*config_.timeout_secs);

  int status = 0;
  bool timed_out = false;
  if (!limit) {
    output.run(-1, std::nullopt);
    auto reaped = child.reap();
    if (!reaped) return std::unexpected(reaped.error());
    status = *reaped;
  } else {
    auto waiter = ExitWaiter::start(pid);
    if (!waiter) return std::unexpected(waiter.error());
    child.hand_over();
    const auto deadline = deadline_after(*limit);
    const auto stop = output.run((*waiter)->ready_fd(), deadline);
    if (stop == OutputCollector::Stop::Deadline) {
      ::kill(-pid, SIGKILL);
      auto got = (*waiter)->receive();
      (*waiter)->join();
      if (got.closed) {
        return std::unexpected(SandboxError::execution_failed("waitpid waiter thread disconnected unexpectedly"));
      }
      if (auto* e = std::get_if<SandboxError>(&*got.outcome)) return std::unexpected(*e);
      status = std::get<int>(*got.outcome);
      timed_out = true;
      output.close_pipes();
    } else {
      auto got = (*waiter)->try_receive();
      if (!got.outcome && !got.closed) got = (*waiter)->receive();
      (*waiter)->join();
      if (got.closed) {
        return std::unexpected(SandboxError::execution_failed("waitpid monitoring thread disconnected unexpectedly"));
      }
      if (auto* e = std::get_if<SandboxError>(&*got.outcome)) return std::unexpected(*e);
      status = std::get<int>(*got.outcome);
      // Whatever is still in the pipes belongs to the result; processes of
      // the command that outlive it and keep the pipes open are ended at
      // the deadline.
      if (output.run(-1, deadline) == OutputCollector::Stop::Deadline) {
        ::kill(-pid, SIGKILL);
        output.run(-1, std::nullopt);
      }
    }
  }

  SandboxResult result;
  if (!timed_out) {
    result.stdout_data = output.take_stdout();
    result.stderr_data = output.take_stderr();
  }
  result.elapsed = core::Duration::from_chrono(Clock::now() - start);
  if (created_cgroup) cleanup_last_cgroup();
  result.exit_code = exit_code_of(status);
  result.timed_out = timed_out;
  return result;
}

}  // namespace quorrel::os
