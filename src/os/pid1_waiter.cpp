#include "os/pid1_waiter.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "os/error_line.h"

namespace quorrel::os {

std::optional<int> mirrored_exit_status(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) {
    const int sig = WTERMSIG(wait_status);
    if (sig >= 1 && sig <= 31) return 128 + sig;
  }
  return std::nullopt;
}

void wait_and_mirror_exit(pid_t child) {
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(child, &status, 0);
    if (r == 0 || (r < 0 && errno == EINTR)) continue;
    if (r < 0) {
      // The child is no longer ours to wait for (only possible if it was
      // reaped behind our back); looping on the error would spin forever.
      ErrorLine line;
      line.append("internal fork failed: ").append_errno(errno);
      fail_child(123, line.view());
    }
    if (auto code = mirrored_exit_status(status)) ::_exit(*code);
  }
}

}  // namespace quorrel::os
