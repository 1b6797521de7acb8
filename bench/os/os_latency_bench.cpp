// Per-execution latency of LinuxSandbox::execute({"true"}) on a warm
// sandbox, against a plain posix_spawn of /bin/true and, when installed,
// bwrap with its own namespaces, all measured in this run.
//   quorrel_os_latency_bench [runs]
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "os/linux_sandbox.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Stats {
  double p50_us;
  double p90_us;
};

Stats measure(int runs, const std::function<bool()>& once) {
  std::vector<double> us;
  us.reserve(runs);
  for (int i = 0; i < runs + 10; ++i) {
    const auto t0 = Clock::now();
    if (!once()) {
      std::fprintf(stderr, "run failed\n");
      std::exit(1);
    }
    const double d = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    if (i >= 10) us.push_back(d);  // the first ten warm up
  }
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 9 / 10]};
}

bool spawn_and_wait(const char* path, char* const argv[]) {
  pid_t pid;
  if (posix_spawn(&pid, path, nullptr, nullptr, argv, environ) != 0) return false;
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 300;
  quorrel::os::LinuxSandbox sandbox(quorrel::core::SandboxConfig{});
  const Stats q = measure(runs, [&] {
    auto r = sandbox.execute({"true"});
    return r && r->exit_code == 0;
  });
  char* true_argv[] = {const_cast<char*>("true"), nullptr};
  const Stats plain = measure(runs, [&] { return spawn_and_wait("/bin/true", true_argv); });
  std::printf("runs per case: %d\n", runs);
  std::printf("%-34s p50 %8.1f us  p90 %8.1f us\n", "quorrel LinuxSandbox execute(true)", q.p50_us, q.p90_us);
  std::printf("%-34s p50 %8.1f us  p90 %8.1f us  quorrel/plain p50 %.2f\n", "posix_spawn /bin/true",
              plain.p50_us, plain.p90_us, q.p50_us / plain.p50_us);
  if (access("/usr/bin/bwrap", X_OK) == 0) {
    char* bwrap_argv[] = {const_cast<char*>("bwrap"), const_cast<char*>("--ro-bind"), const_cast<char*>("/"),
                          const_cast<char*>("/"), const_cast<char*>("--unshare-all"),
                          const_cast<char*>("--die-with-parent"), const_cast<char*>("true"), nullptr};
    const Stats bw = measure(runs, [&] { return spawn_and_wait("/usr/bin/bwrap", bwrap_argv); });
    std::printf("%-34s p50 %8.1f us  p90 %8.1f us  quorrel/bwrap p50 %.2f\n", "bwrap --unshare-all true", bw.p50_us,
                bw.p90_us, q.p50_us / bw.p50_us);
  }
  return 0;
}
