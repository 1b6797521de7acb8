#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/duration.h"
#include "core/sandbox.h"

namespace quorrel::os {

// The OS-level back end: each execution runs in a freshly forked child that
// confines itself before it executes the command.
class LinuxSandbox final : public core::Sandbox {
 public:
  explicit LinuxSandbox(core::SandboxConfig config);
  ~LinuxSandbox() override;

  LinuxSandbox(const LinuxSandbox&) = delete;
  LinuxSandbox& operator=(const LinuxSandbox&) = delete;
  LinuxSandbox(LinuxSandbox&&) noexcept;
  LinuxSandbox& operator=(LinuxSandbox&&) noexcept;

  // Bounded by the configured timeout_secs.
  core::Result<core::SandboxResult> execute(const std::vector<std::string>& command) override;
  // Bounded by `timeout` when given (sub-second precision), otherwise by the
  // configured timeout_secs.
  core::Result<core::SandboxResult> execute_with_timeout(const std::vector<std::string>& command,
                                                         std::optional<core::Duration> timeout);
  void destroy() override;
  // Removes the cgroup directory of the last execution, if one is recorded.
  void cleanup_last_cgroup();

  const core::SandboxConfig& config() const { return config_; }
  const std::optional<std::filesystem::path>& last_cgroup() const { return last_cgroup_; }

 private:
  core::SandboxConfig config_;
  std::optional<std::filesystem::path> last_cgroup_;
};

}  // namespace quorrel::os
