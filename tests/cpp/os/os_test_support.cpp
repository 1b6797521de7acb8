#include "os_test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <linux/landlock.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "os/linux_sandbox.h"

namespace quorrel::os::testing {

namespace fs = std::filesystem;

namespace {
// Copied once per test process; removed when the process ends.
struct ProbeCopy {
  ProbeCopy() {
    char tmpl[] = "/tmp/quorrel-os-probe-XXXXXX";
    if (!::mkdtemp(tmpl)) return;
    dir = tmpl;
    ::chmod(tmpl, 0755);
    const fs::path target = dir / "os_probe";
    std::error_code ec;
    fs::copy_file(QUORREL_OS_PROBE, target, ec);
    ::chmod(target.c_str(), 0755);
    path = target.string();
  }
  ~ProbeCopy() {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
  fs::path dir;
  std::string path;
};
}  // namespace

const std::string& probe_path() {
  static const ProbeCopy copy;
  return copy.path;
}

TempDir::TempDir(const fs::path& base) {
  std::string tmpl = (base / "quorrel-os-test-XXXXXX").string();
  const char* made = ::mkdtemp(tmpl.data());
  if (made) {
    path_ = made;
    ::chmod(made, 0777);
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) fs::remove_all(path_, ec);
}

std::string read_host_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_host_file(const fs::path& p, const std::string& data, unsigned mode) {
  {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << data;
  }
  ::chmod(p.c_str(), mode);
}

int landlock_abi() {
  const long v = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  return v < 0 ? 0 : static_cast<int>(v);
}

core::SandboxResult run_ok(const core::SandboxConfig& config, const std::vector<std::string>& command) {
  LinuxSandbox sb(config);
  auto r = sb.execute(command);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().to_string());
  return r ? *r : core::SandboxResult{};
}

std::vector<int> processes_with_marker(const std::string& marker) {
  std::vector<int> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmdline = read_host_file(entry.path() / "cmdline");
    if (cmdline.find(marker) != std::string::npos) found.push_back(std::stoi(name));
  }
  return found;
}

}  // namespace quorrel::os::testing
