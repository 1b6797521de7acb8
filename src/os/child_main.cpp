#include "os/child_main.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <linux/seccomp.h>

#include <cerrno>

#include "os/error_line.h"
#include "os/namespaces.h"
#include "os/pid1_waiter.h"

extern char** environ;

namespace quorrel::os {

namespace {

void close_if_open(int fd) {
  if (fd >= 0) ::close(fd);
}

// The host process may ignore or block signals (Python ignores SIGPIPE);
// the command starts with default dispositions for those and an empty
// signal mask, and the intermediate waiter must see its child's end.
void reset_signals() {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig : {SIGPIPE, SIGXFSZ, SIGCHLD}) ::sigaction(sig, &dfl, nullptr);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

[[noreturn]] void fail_with_errno(int status, std::string_view text, int err) {
  ErrorLine line;
  line.append(text).append_errno(err);
  fail_child(status, line.view());
}

void set_address_space_limit(std::uint64_t mb) {
  // M MiB, saturating instead of wrapping for absurd values.
  const rlim_t bytes = mb > (RLIM_INFINITY >> 20) ? RLIM_INFINITY : static_cast<rlim_t>(mb) << 20;
  const rlimit lim{bytes, bytes};
  if (::setrlimit(RLIMIT_AS, &lim) != 0) {
    const int err = errno;
    ErrorLine line;
    line.append("memory limit setting failed: setrlimit(RLIMIT_AS, ")
        .append_decimal(mb)
        .append("MB) 失败: errno=")
        .append_decimal_signed(err);
    fail_child(124, line.view());
  }
}

void drop_supplementary_groups() {
  if (::setgroups(0, nullptr) != 0) fail_with_errno(121, "dropping supplementary groups failed (fatal): ", errno);
}

void become_sandbox_user() {
  if (::setresgid(kSandboxGid, kSandboxGid, kSandboxGid) != 0) {
    fail_with_errno(121, "setting gid 65534 failed (fatal): ", errno);
  }
  if (::setresuid(kSandboxUid, kSandboxUid, kSandboxUid) != 0) {
    fail_with_errno(121, "setting uid 65534 failed (fatal): ", errno);
  }
}

// Tells the parent which namespace set is in place and waits for its go.
void handshake_with_parent(const ChildFds& fds, bool full_set) {
  const char mine = full_set ? kHandshakeFullSet : kHandshakeFallbackSet;
  ssize_t n;
  do {
    n = ::write(fds.handshake_to_parent, &mine, 1);
  } while (n < 0 && errno == EINTR);
  char answer = 0;
  do {
    n = ::read(fds.handshake_from_parent, &answer, 1);
  } while (n < 0 && errno == EINTR);
  ::close(fds.handshake_to_parent);
  ::close(fds.handshake_from_parent);
  if (n != 1 || answer != kHandshakeProceed) fail_child(121, "namespace setup aborted by the launcher");
}

void enter_namespaces(const ChildPlan& plan, const ChildFds& fds) {
  // Supplementary groups can only be dropped while the process still holds
  // CAP_SETGID in the host namespace, and setgroups is denied in the new one.
  if (plan.drop_root_ids()) drop_supplementary_groups();

  bool full_set = true;
  if (::unshare(kFullNamespaceFlags) != 0) {
    full_set = false;
    ErrorLine notice;
    notice.append("[quorrel:error] unshare(full_flags) failed: ")
        .append_errno(errno)
        .append(", retrying without user ns\n");
    auto v = notice.view();
    [[maybe_unused]] auto ignored = ::write(2, v.data(), v.size());
    if (::unshare(kFallbackNamespaceFlags) != 0) {
      fail_with_errno(121, "unshare(ns_flags) also failed (fatal): ", errno);
    }
  }

  if (plan.sync_with_parent()) handshake_with_parent(fds, full_set);
  // With the full set the parent has mapped 65534 by now; on the fallback
  // path the process still holds root's capabilities and simply switches.
  if (plan.drop_root_ids()) become_sandbox_user();

  if (!full_set) return;  // no internal fork: the command runs in this process
  const pid_t child = ::fork();
  if (child < 0) fail_with_errno(123, "internal fork failed: ", errno);
  if (child > 0) wait_and_mirror_exit(child);
  // Process 1 of the new PID namespace continues.
}

void install_seccomp(const ChildPlan& plan) {
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    fail_child(126, "Seccomp error: Seccomp filter enforcement failed: PR_SET_NO_NEW_PRIVS failed");
  }
  if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, plan.seccomp_program(), 0, 0) != 0) {
    const int err = errno;
    ErrorLine line;
    line.append("Seccomp error: Seccomp filter enforcement failed: prctl(PR_SET_SECCOMP) 失败: errno=")
        .append_decimal_signed(err);
    fail_child(126, line.view());
  }
}

}  // namespace

void child_main(const ChildPlan& plan, const ChildFds& fds) {
  [[maybe_unused]] int ignored = ::setpgid(0, 0);
  close_if_open(fds.stdout_read);
  close_if_open(fds.stderr_read);
  reset_signals();

  // The fixed environment replaces the inherited one without allocating:
  // execvp below searches this PATH and passes this environment on.
  environ = const_cast<char**>(plan.envp());

  const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) fail_child(120, "failed to open /dev/null");
  // The launcher keeps every pipe descriptor above 2, so none of these
  // duplications overwrites another descriptor still needed.
  ::dup2(null_fd, 0);
  ::close(null_fd);
  ::dup2(fds.stdout_write, 1);
  ::dup2(fds.stderr_write, 2);
  ::close(fds.stdout_write);
  ::close(fds.stderr_write);

  apply_security_policies_and_exec(plan, fds);
}

void apply_security_policies_and_exec(const ChildPlan& plan, const ChildFds& fds) {
  if (plan.memory_limit_mb()) set_address_space_limit(*plan.memory_limit_mb());
  if (plan.allow_fork()) {
    const rlimit nproc{256, 256};
    ::setrlimit(RLIMIT_NPROC, &nproc);  // a failure is ignored
  }
  plan.landlock().apply_in_child();
  enter_namespaces(plan, fds);
  install_seccomp(plan);

  if (const auto& msg = plan.embedded_nul_message()) fail_child(127, *msg);
  ::execvp(plan.program_name(), plan.argv());
  fail_child(125, plan.exec_failed_message());
}

}  // namespace quorrel::os
