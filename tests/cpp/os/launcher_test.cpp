#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "os/cgroup.h"
#include "os/linux_sandbox.h"
#include "os/namespaces.h"
#include "os_test_support.h"

namespace quorrel::os {
namespace {

using core::SandboxConfig;
using testing::run_ok;
using testing::TempDir;
namespace fs = std::filesystem;

TEST(Launcher, EmptyCommandFailsBeforeAnythingStarts) {
  LinuxSandbox sb(SandboxConfig{});
  auto r = sb.execute({});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().to_string(), "command execution failed: command must not be empty");
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);  // no child was created
  EXPECT_EQ(errno, ECHILD);
}

TEST(Launcher, CollectsOutputAndExitStatus) {
  const auto r = run_ok(SandboxConfig{}, {"/bin/sh", "-c", "echo out; echo err >&2; exit 3"});
  EXPECT_EQ(r.stdout_data, "out\n");
  EXPECT_EQ(r.stderr_data, "err\n");
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_FALSE(r.timed_out);
  EXPECT_FALSE(r.elapsed.is_zero());
}

TEST(Launcher, ChildFailuresAreOrdinaryResults) {
  struct Case {
    const char* name;
    std::vector<std::string> command;
    int exit_code;
    std::string stderr_data;
  };
  const Case cases[] = {
      {"missing program", {"no-such-program-quorrel"}, 125,
       "[quorrel:error] execvp failed: no-such-program-quorrel\n"},
      {"NUL in an argument", {"echo", "ok", std::string("a\0b", 3)}, 127,
       "[quorrel:error] argument contains embedded NUL: " + std::string("a\0b", 3) + "\n"},
      {"NUL in the program name", {std::string("ec\0ho", 5), "x"}, 127,
       "[quorrel:error] command contains embedded NUL: " + std::string("ec\0ho", 5) + "\n"},
  };
  for (const auto& c : cases) {
    const auto r = run_ok(SandboxConfig{}, c.command);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.name;
    EXPECT_EQ(r.stderr_data, c.stderr_data) << c.name;
    EXPECT_EQ(r.stdout_data, "") << c.name;
  }
}

TEST(Launcher, DeathBySignalIsMirroredByTheIntermediateProcess) {
  // prctl(PR_SET_NAME) is refused with SIGSYS: 128 + 31 through process 1's parent.
  const auto r = run_ok(SandboxConfig{}, {testing::probe_path(), "prctl_set_name"});
  EXPECT_EQ(r.exit_code, 159);
}

TEST(Launcher, EnvironmentIsExactlyTheFixedSet) {
  const auto r = run_ok(SandboxConfig{}, {"env"});
  EXPECT_EQ(r.stdout_data,
            "PATH=/usr/bin:/bin:/usr/sbin:/sbin\nHOME=/tmp\nTERM=dumb\nUSER=sandbox\nLOGNAME=sandbox\n"
            "SHELL=/bin/sh\nPWD=/tmp\nLANG=C\nTMPDIR=/tmp\n");
  EXPECT_EQ(r.exit_code, 0);
}

TEST(Launcher, AddressSpaceLimit) {
  SandboxConfig config;
  EXPECT_EQ(run_ok(config, {"/bin/sh", "-c", "ulimit -v"}).stdout_data, "524288\n");
  config.memory_limit_mb.reset();
  EXPECT_EQ(run_ok(config, {"/bin/sh", "-c", "ulimit -v"}).stdout_data, "unlimited\n");
  config.memory_limit_mb = 1;
  // The program itself fails (it cannot even be loaded), not the launcher.
  const auto r = run_ok(config, {"/usr/bin/python3", "-c", "print(1)"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_EQ(r.stdout_data, "");
}

TEST(Launcher, MissingReadOnlyTreeIsSkipped) {
  SandboxConfig config;
  config.fs_readonly.push_back("/no/such/tree");
  EXPECT_EQ(run_ok(config, {"echo", "still runs"}).stdout_data, "still runs\n");
}

TEST(Launcher, ConfiguredTimeoutEndsTheChild) {
  SandboxConfig config;
  config.timeout_secs = 1;
  const auto t0 = std::chrono::steady_clock::now();
  const auto r = run_ok(config, {"/bin/sh", "-c", "echo early; exec sleep 5"});
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.exit_code, -9);
  EXPECT_EQ(r.stdout_data, "");
  EXPECT_EQ(r.stderr_data, "");
  EXPECT_GE(took, std::chrono::milliseconds(900));
  EXPECT_LT(took, std::chrono::seconds(4));
}

TEST(Launcher, ZeroTimeoutEndsTheChildAtOnce) {
  SandboxConfig config;
  config.timeout_secs = 0;
  const auto r = run_ok(config, {"sleep", "5"});
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.exit_code, -9);
}

TEST(Launcher, PerCommandTimeoutHasSubSecondPrecision) {
  LinuxSandbox sb(SandboxConfig{});
  const auto t0 = std::chrono::steady_clock::now();
  auto r = sb.execute_with_timeout({"sleep", "5"}, core::Duration::from_millis(300));
  const auto took = std::chrono::steady_clock::now() - t0;
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->timed_out);
  EXPECT_EQ(r->exit_code, -9);
  EXPECT_GE(took, std::chrono::milliseconds(280));
  EXPECT_LT(took, std::chrono::milliseconds(2000));

  // A per-command limit replaces the configured one in both directions.
  SandboxConfig short_config;
  short_config.timeout_secs = 0;
  LinuxSandbox sb2(short_config);
  auto ok = sb2.execute_with_timeout({"echo", "fine"}, core::Duration::from_secs(10));
  ASSERT_TRUE(ok.has_value());
  EXPECT_FALSE(ok->timed_out);
  EXPECT_EQ(ok->stdout_data, "fine\n");
}

TEST(Launcher, HundredMebibytesOfOutputOnBothStreams) {
  constexpr std::size_t kOut = 100u << 20;
  constexpr std::size_t kErr = 20u << 20;
  SandboxConfig config;
  config.allow_fork = true;
  for (bool with_timeout : {true, false}) {
    SCOPED_TRACE(with_timeout);
    config.timeout_secs = with_timeout ? std::optional<std::uint64_t>(120) : std::nullopt;
    const auto r = run_ok(config, {"/bin/sh", "-c",
                                   "head -c 20971520 /dev/zero >&2 & head -c 104857600 /dev/zero; wait"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_FALSE(r.timed_out);
    ASSERT_EQ(r.stdout_data.size(), kOut);
    ASSERT_EQ(r.stderr_data.size(), kErr);
    EXPECT_EQ(r.stdout_data.find_first_not_of('\0'), std::string::npos);
    EXPECT_EQ(r.stderr_data.find_first_not_of('\0'), std::string::npos);
  }
}

TEST(Launcher, OrderOfLargeOutputIsKept) {
  // seq writes distinct lines; any reordering or loss shows up here.
  const auto r = run_ok(SandboxConfig{}, {"seq", "1", "200000"});
  ASSERT_EQ(r.exit_code, 0);
  std::string expected;
  for (int i = 1; i <= 200000; ++i) expected += std::to_string(i) + "\n";
  EXPECT_EQ(r.stdout_data, expected);
}

TEST(Launcher, RootLauncherRunsTheCommandAsNobody) {
  if (!launcher_has_root_ids()) GTEST_SKIP() << "only a root launcher drops its ids";
  TempDir dir;
  SandboxConfig config;
  config.allow_fork = true;
  const auto r = run_ok(config,
                        {"/bin/sh", "-c",
                         "grep -E '^(Uid|Gid|Groups|CapEff|CapPrm):' /proc/self/status; echo x > " + (dir / "made")});
  // The kernel ends the Groups line with a blank; no group is listed.
  EXPECT_EQ(r.stdout_data,
            "Uid:\t65534\t65534\t65534\t65534\nGid:\t65534\t65534\t65534\t65534\nGroups:\t \n"
            "CapPrm:\t0000000000000000\nCapEff:\t0000000000000000\n");
  // Host view of the file the command created.
  struct stat st {};
  ASSERT_EQ(::stat((dir / "made").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
}

TEST(Launcher, UserNamespaceSeesTheSameIds) {
  SandboxConfig config;
  config.allow_fork = true;
  const auto r = run_ok(config, {"/bin/sh", "-c", "cat /proc/self/uid_map /proc/self/gid_map; id -u; id -g"});
  if (launcher_has_root_ids()) {
    EXPECT_EQ(r.stdout_data, "     65534      65534          1\n     65534      65534          1\n65534\n65534\n");
  } else {
    EXPECT_EQ(r.stdout_data.substr(r.stdout_data.size() - 12), "65534\n65534\n");
  }
}

// Moving a file between two directories needs REFER; truncating needs
// TRUNCATE. Both are granted beneath the read-write trees only.
TEST(Landlock, RenameAcrossDirectoriesUnderTmpSucceeds) {
  if (testing::landlock_abi() < 2) GTEST_SKIP() << "Landlock ABI < 2";
  TempDir dir;
  fs::create_directory(dir / "a");
  fs::create_directory(dir / "b");
  ::chmod((dir / "a").c_str(), 0777);
  ::chmod((dir / "b").c_str(), 0777);
  testing::write_host_file(dir / "a/f", "moved", 0666);
  const auto r = run_ok(SandboxConfig{}, {"mv", dir / "a/f", dir / "b/f"});
  EXPECT_EQ(r.exit_code, 0) << r.stderr_data;
  EXPECT_EQ(testing::read_host_file(dir / "b/f"), "moved");
  EXPECT_FALSE(fs::exists(dir / "a/f"));
}

TEST(Landlock, TruncateOnlyBeneathReadWriteTrees) {
  if (testing::landlock_abi() < 3) GTEST_SKIP() << "Landlock ABI < 3";
  TempDir ro_dir("/var/tmp");
  TempDir rw_dir;
  // World-writable, so that only Landlock can refuse the truncation.
  testing::write_host_file(ro_dir / "keep", "intact", 0666);
  testing::write_host_file(rw_dir / "scratch", "gone", 0666);
  SandboxConfig config;
  config.fs_readonly.push_back(ro_dir.path());
  const auto ro = run_ok(config, {testing::probe_path(), "truncate", ro_dir / "keep"});
  EXPECT_EQ(ro.stdout_data, "errno 13\n");  // EACCES
  EXPECT_EQ(testing::read_host_file(ro_dir / "keep"), "intact");
  const auto rw = run_ok(config, {testing::probe_path(), "truncate", rw_dir / "scratch"});
  EXPECT_EQ(rw.stdout_data, "ok\n");
  EXPECT_EQ(testing::read_host_file(rw_dir / "scratch"), "");
}

bool cgroup_cpu_usable() {
  const auto mount = find_cgroup2_mount(testing::read_host_file("/proc/self/mountinfo"));
  if (!mount) return false;
  const std::string controllers = testing::read_host_file(*mount / "cgroup.controllers");
  return controllers.find("cpu ") != std::string::npos || controllers.find("cpu\n") != std::string::npos;
}

TEST(Cgroup, WithoutUsableCpuControllerFailsAndLeavesNoProcess) {
  if (cgroup_cpu_usable()) GTEST_SKIP() << "this host has a usable cgroup v2 cpu controller";
  TempDir dir;
  SandboxConfig config;
  config.cpu_quota_us = 50000;
  LinuxSandbox sb(config);
  auto r = sb.execute({"/bin/sh", "-c", "touch " + (dir / "ran")});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), core::SandboxError::Kind::Io);
  EXPECT_TRUE(r.error().to_string().starts_with("I/O error: ")) << r.error().to_string();
  EXPECT_FALSE(sb.last_cgroup().has_value());
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);  // the child was reaped
  EXPECT_EQ(errno, ECHILD);
  ::usleep(100000);
  EXPECT_FALSE(fs::exists(dir / "ran"));  // the command never ran
}

TEST(Cgroup, QuotaIsWrittenAndTheDirectoryRemoved) {
  if (!cgroup_cpu_usable()) GTEST_SKIP() << "no usable cgroup v2 cpu controller on this host";
  const auto mount = *find_cgroup2_mount(testing::read_host_file("/proc/self/mountinfo"));
  SandboxConfig config;
  config.cpu_quota_us = 50000;
  config.fs_readonly.push_back(mount);
  LinuxSandbox sb(config);
  // The command reads its own cgroup's limit.
  auto r = sb.execute({"/bin/sh", "-c",
                       "read -r line < /proc/self/cgroup; cat \"" + mount.string() + "${line#0::}/cpu.max\"; "
                       "echo \"${line#0::}\""});
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
  ASSERT_EQ(r->exit_code, 0) << r->stderr_data;
  EXPECT_TRUE(r->stdout_data.starts_with("50000 100000\n")) << r->stdout_data;
  const auto nl = r->stdout_data.find('\n');
  const std::string rel = r->stdout_data.substr(nl + 1, r->stdout_data.size() - nl - 2);
  EXPECT_TRUE(rel.starts_with("/quorrel/sandbox-")) << rel;
  EXPECT_FALSE(fs::exists(mount.string() + rel));
  EXPECT_FALSE(sb.last_cgroup().has_value());
}

}  // namespace
}  // namespace quorrel::os
