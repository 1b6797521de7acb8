#include <gtest/gtest.h>

#include "os_test_support.h"

namespace quorrel::os {
namespace {

using core::SandboxConfig;
using core::SeccompProfile;

// Real system calls under each installed profile: "ok" or an errno on
// stdout when the filter lets the call through, exit 159 when it answers
// with SIGSYS.
struct ProbeCase {
  const char* name;
  SeccompProfile profile;
  std::vector<std::string> args;
  int exit_code;
  const char* stdout_data;
};

TEST(SeccompProbes, AllowedAndTrappedCallsPerProfile) {
  using enum SeccompProfile;
  constexpr const char* kSigsys = "";
  const ProbeCase cases[] = {
      {"unix stream cloexec", Essential, {"socket", "1", "0x80001"}, 0, "ok\n"},
      {"inet stream under local", Essential, {"socket", "2", "1"}, 159, kSigsys},
      {"unix dgram", Essential, {"socket", "1", "2"}, 159, kSigsys},
      {"inet stream", Network, {"socket", "2", "1"}, 0, "ok\n"},
      {"inet6 stream", Network, {"socket", "10", "1"}, 159, kSigsys},
      {"listen 128", Network, {"listen", "128"}, 0, "ok\n"},
      {"listen 129", Network, {"listen", "129"}, 159, kSigsys},
      {"fork with fork profile", EssentialWithFork, {"fork"}, 0, "ok\n"},
      {"fork without", Essential, {"fork"}, 159, kSigsys},
      {"clone CLONE_NEWNET", EssentialWithFork, {"clone", "0x40000000"}, 159, kSigsys},
      {"clone CLONE_NEWUSER", EssentialWithFork, {"clone", "0x10000000"}, 159, kSigsys},
      {"clone3 answers ENOSYS", Essential, {"clone3"}, 1, "errno 38\n"},
      {"clone3 answers ENOSYS with fork", NetworkWithFork, {"clone3"}, 1, "errno 38\n"},
      {"PR_SET_NAME essential", Essential, {"prctl_set_name"}, 159, kSigsys},
      {"PR_SET_NAME network", Network, {"prctl_set_name"}, 159, kSigsys},
      {"PR_SET_NAME fork", EssentialWithFork, {"prctl_set_name"}, 159, kSigsys},
      {"PR_SET_NAME network fork", NetworkWithFork, {"prctl_set_name"}, 159, kSigsys},
      {"PR_CAPBSET_READ", Essential, {"prctl_capbset_read"}, 0, "ok\n"},
      {"mmap flags high word", Essential, {"mmap", "0x100000022"}, 159, kSigsys},
      {"mmap private anonymous", Essential, {"mmap", "0x22"}, 0, "ok\n"},
  };
  for (const auto& c : cases) {
    SandboxConfig config;
    config.seccomp_profile = c.profile;
    std::vector<std::string> command{testing::probe_path()};
    command.insert(command.end(), c.args.begin(), c.args.end());
    const auto r = testing::run_ok(config, command);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.name << ": " << r.stderr_data;
    EXPECT_EQ(r.stdout_data, c.stdout_data) << c.name;
  }
}

TEST(SeccompProbes, AllowForkSelectsTheForkProfile) {
  SandboxConfig config;
  config.allow_fork = true;  // Essential + allow_fork => EssentialWithFork
  EXPECT_EQ(testing::run_ok(config, {testing::probe_path(), "fork"}).stdout_data, "ok\n");
  config.seccomp_profile = SeccompProfile::Network;
  EXPECT_EQ(testing::run_ok(config, {testing::probe_path(), "socket", "2", "1"}).stdout_data, "ok\n");
}

}  // namespace
}  // namespace quorrel::os
