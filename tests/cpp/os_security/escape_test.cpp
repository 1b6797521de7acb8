// Attempts to break out of the OS-level sandbox. Each case must be refused
// inside the sandbox, and the host state the attempt aimed at must be the
// same afterwards.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <thread>

#include "os/linux_sandbox.h"
#include "os/namespaces.h"
#include "os_test_support.h"

namespace quorrel::os {
namespace {

using core::SandboxConfig;
using core::SeccompProfile;
namespace fs = std::filesystem;

// Files, modes, owners, times and contents of some directories, the host's
// mount table and /etc/shadow's metadata.
std::string host_state(const std::vector<fs::path>& dirs) {
  std::string out;
  for (const auto& d : dirs) {
    std::map<std::string, std::string> entries;
    for (const auto& e : fs::directory_iterator(d)) {
      struct stat st {};
      ::lstat(e.path().c_str(), &st);
      std::string line = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " " +
                         std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                         std::to_string(st.st_mtim.tv_nsec);
      if (S_ISREG(st.st_mode)) line += " " + testing::read_host_file(e.path());
      entries[e.path().filename()] = line;
    }
    for (const auto& [k, v] : entries) out += d.string() + "/" + k + ": " + v + "\n";
  }
  struct stat shadow {};
  ::stat("/etc/shadow", &shadow);
  out += "shadow " + std::to_string(shadow.st_size) + " " + std::to_string(shadow.st_mtim.tv_nsec) + "\n";
  out += testing::read_host_file("/proc/self/mountinfo");
  return out;
}

class EscapeAttempts : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(outside_.path().empty());
    ASSERT_FALSE(read_only_.path().empty());
    ::chmod(outside_.path().c_str(), 0755);
    ::chmod(read_only_.path().c_str(), 0755);
    testing::write_host_file(outside_ / "file", "original", 0666);
    testing::write_host_file(read_only_ / "world-writable", "original", 0666);
    testing::write_host_file(read_only_ / "root-owned", "original", 0644);
  }

  SandboxConfig config(SeccompProfile profile = SeccompProfile::Essential) const {
    SandboxConfig c;
    c.seccomp_profile = profile;
    c.fs_readonly.push_back(read_only_.path());
    c.timeout_secs = 20;
    return c;
  }

  struct Attempt {
    std::string name;
    SandboxConfig config;
    std::vector<std::string> command;
    std::optional<int> exit_code;  // as expected from the sandbox
    std::string stdout_data;
    std::string marker;            // processes carrying it must be gone afterwards
  };

  void expect_blocked(const Attempt& a) {
    const std::string before = host_state({outside_.path(), read_only_.path()});
    LinuxSandbox sb(a.config);
    auto r = sb.execute(a.command);
    ASSERT_TRUE(r.has_value()) << a.name << ": " << r.error().to_string();
    EXPECT_EQ(r->exit_code, a.exit_code) << a.name << ": " << r->stderr_data;
    EXPECT_EQ(r->stdout_data, a.stdout_data) << a.name;
    EXPECT_FALSE(r->timed_out) << a.name;
    if (!a.marker.empty()) {
      // Processes killed with the namespace disappear within moments.
      for (int i = 0; i < 50 && !testing::processes_with_marker(a.marker).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      EXPECT_TRUE(testing::processes_with_marker(a.marker).empty()) << a.name;
    }
    EXPECT_EQ(host_state({outside_.path(), read_only_.path()}), before) << a.name;
    std::string outcome = r->exit_code == 159 ? "SIGSYS (exit 159)"
                                              : "exit " + std::to_string(r->exit_code.value_or(-999)) + ", " +
                                                    r->stdout_data.substr(0, r->stdout_data.find('\n'));
    std::cout << "[escape] " << a.name << " -> " << outcome << "\n";
  }

  std::vector<std::string> probe(std::initializer_list<std::string> args) const {
    std::vector<std::string> c{testing::probe_path()};
    c.insert(c.end(), args.begin(), args.end());
    return c;
  }

  testing::TempDir outside_{"/var/tmp"};    // in no tree of the sandbox
  testing::TempDir read_only_{"/var/tmp"};  // added as a read-only tree
};

TEST_F(EscapeAttempts, FileSystemOutsideTmp) {
  const std::string eacces = "errno 13\n";
  const Attempt attempts[] = {
      {"write a file outside the trees", config(), probe({"write", outside_ / "file"}), 1, eacces, ""},
      {"create a file outside the trees", config(), probe({"create", outside_ / "new"}), 1, eacces, ""},
      {"delete a file outside the trees", config(), probe({"unlink", outside_ / "file"}), 1, eacces, ""},
      {"truncate a file outside the trees", config(), probe({"truncate", outside_ / "file"}), 1, eacces, ""},
      {"write a world-writable file in a read-only tree", config(),
       probe({"write", read_only_ / "world-writable"}), 1, eacces, ""},
      {"O_TRUNC a world-writable file in a read-only tree", config(),
       probe({"truncate", read_only_ / "world-writable"}), 1, eacces, ""},
      {"create a file in a read-only tree", config(), probe({"create", read_only_ / "new"}), 1, eacces, ""},
      {"delete a file in a read-only tree", config(), probe({"unlink", read_only_ / "root-owned"}), 1, eacces, ""},
      {"create a file in /etc", config(), probe({"create", "/etc/quorrel-escape"}), 1, eacces, ""},
      {"rename a file out of a read-only tree into /tmp", config(),
       probe({"rename", read_only_ / "world-writable", "/tmp/quorrel-escape-moved"}), 1, "errno 13\n", ""},
  };
  for (const auto& a : attempts) expect_blocked(a);
  EXPECT_FALSE(fs::exists("/etc/quorrel-escape"));
  EXPECT_FALSE(fs::exists("/tmp/quorrel-escape-moved"));
}

TEST_F(EscapeAttempts, OwnershipOfHostFiles) {
  if (!launcher_has_root_ids()) GTEST_SKIP() << "the launcher is not root";
  const Attempt attempts[] = {
      {"read /etc/shadow", config(), probe({"read", "/etc/shadow"}), 1, "errno 13\n", ""},
      {"chmod a root-owned file in a read-only tree", config(), probe({"chmod", read_only_ / "root-owned"}), 1,
       "errno 1\n", ""},
      {"set the times of a root-owned file in a read-only tree", config(),
       probe({"utime", read_only_ / "root-owned"}), 1, "errno 1\n", ""},
  };
  for (const auto& a : attempts) expect_blocked(a);
}

TEST_F(EscapeAttempts, AnotherProcessEnvironment) {
  const pid_t victim = ::fork();
  ASSERT_GE(victim, 0);
  if (victim == 0) {
    char* const argv[] = {const_cast<char*>("sleep"), const_cast<char*>("30"), nullptr};
    char* const envp[] = {const_cast<char*>("SECRET=host-secret"), nullptr};
    ::execve("/bin/sleep", argv, envp);
    ::_exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  expect_blocked({"read /proc/<pid>/environ of a host process", config(),
                  probe({"read", "/proc/" + std::to_string(victim) + "/environ"}), 1, "errno 13\n", ""});
  ::kill(victim, SIGKILL);
  ::waitpid(victim, nullptr, 0);
}

TEST_F(EscapeAttempts, NetworkSockets) {
  const Attempt attempts[] = {
      {"AF_INET socket", config(), probe({"socket", "2", "1"}), 159, "", ""},
      {"AF_INET6 socket", config(), probe({"socket", "10", "1"}), 159, "", ""},
      {"AF_NETLINK socket", config(), probe({"socket", "16", "3"}), 159, "", ""},
      {"AF_INET6 socket under the network profile", config(SeccompProfile::Network), probe({"socket", "10", "1"}),
       159, "", ""},
  };
  for (const auto& a : attempts) expect_blocked(a);
}

TEST_F(EscapeAttempts, HostUnixSocketOutsideTmp) {
  if (!launcher_has_root_ids()) GTEST_SKIP() << "the launcher is not root";
  // Like a container engine's socket: root-owned, group-restricted.
  const std::string path = outside_ / "daemon.sock";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::chmod(path.c_str(), 0660);
  ASSERT_EQ(::listen(listener, 8), 0);
  expect_blocked({"connect to a root-owned unix socket outside /tmp", config(), probe({"connect_unix", path}), 1,
                  "errno 13\n", ""});
  EXPECT_LT(::accept(listener, nullptr, nullptr), 0);  // nothing connected
  ::close(listener);
}

TEST_F(EscapeAttempts, PrivilegedAndProcessCalls) {
  const Attempt attempts[] = {
      {"ptrace", config(), probe({"ptrace"}), 159, "", ""},
      {"mount a tmpfs", config(), probe({"mount", "/tmp"}), 159, "", ""},
      {"unshare a user namespace", config(), probe({"unshare", "0x10000000"}), 159, "", ""},
      {"fork bomb under the default profile", config(),
       {"/bin/sh", "-c", "bomb() { bomb | bomb & }; bomb", "quorrel-bomb-default"}, 159, "", "quorrel-bomb-default"},
      {"allocate 600 MiB", config(), probe({"alloc_mib", "600"}), 1, "errno 12\n", ""},
      {"ioctl(TIOCSTI)", config(), probe({"tiocsti"}), 159, "", ""},
      {"prctl(PR_SET_NAME)", config(), probe({"prctl_set_name"}), 159, "", ""},
  };
  for (const auto& a : attempts) expect_blocked(a);
}

TEST_F(EscapeAttempts, ForkBombUnderTheForkProfileIsContained) {
  if (!launcher_has_root_ids()) GTEST_SKIP() << "RLIMIT_NPROC does not bind a root-owned command";
  SandboxConfig forking = config(SeccompProfile::EssentialWithFork);
  forking.timeout_secs = 3;
  const std::string before = host_state({outside_.path(), read_only_.path()});
  LinuxSandbox sb(forking);
  // The bomb runs against RLIMIT_NPROC 256 until the timeout kills its
  // process group; whatever is left dies with its PID namespace.
  const auto t0 = std::chrono::steady_clock::now();
  auto r = sb.execute({"/bin/sh", "-c", "bomb() { bomb | bomb & }; bomb; sleep 1; echo survived",
                       "quorrel-bomb-fork"});
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
  const auto returned_after = std::chrono::steady_clock::now() - t0;
  for (int i = 0; i < 100 && !testing::processes_with_marker("quorrel-bomb-fork").empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(testing::processes_with_marker("quorrel-bomb-fork").empty());
  EXPECT_EQ(host_state({outside_.path(), read_only_.path()}), before);
  std::cout << "[escape] fork bomb under EssentialWithFork -> exit " << r->exit_code.value_or(-999)
            << (r->timed_out ? " (timed out)" : "") << ", stdout '"
            << r->stdout_data.substr(0, r->stdout_data.find('\n')) << "', no process left after "
            << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count()
            << " ms (execute returned after "
            << std::chrono::duration_cast<std::chrono::milliseconds>(returned_after).count() << " ms)\n";
}

}  // namespace
}  // namespace quorrel::os
