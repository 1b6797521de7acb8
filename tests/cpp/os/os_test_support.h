#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/sandbox.h"

namespace quorrel::os::testing {

// A copy of the probe program under /tmp, where the sandbox may execute it.
const std::string& probe_path();

// A fresh directory that the sandboxed user (65534) may write to; removed
// with its contents at the end of the scope.
class TempDir {
 public:
  explicit TempDir(const std::filesystem::path& base = "/tmp");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

std::string read_host_file(const std::filesystem::path& p);
void write_host_file(const std::filesystem::path& p, const std::string& data, unsigned mode);

// The kernel's Landlock ABI version, 0 when unavailable.
int landlock_abi();

// Runs one command in a fresh LinuxSandbox; fails the test on an error.
core::SandboxResult run_ok(const core::SandboxConfig& config, const std::vector<std::string>& command);

// Pids of live processes whose command line contains `marker`.
std::vector<int> processes_with_marker(const std::string& marker);

}  // namespace quorrel::os::testing
