#pragma once

#include <linux/filter.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/sandbox.h"
#include "os/landlock_rules.h"

namespace quorrel::os {

// Everything the confined child needs, prepared in the parent before the
// fork: after a fork in a multi-threaded process (the Python interpreter)
// the child may only call async-signal-safe functions until it executes
// the command, so it allocates nothing and formats only into fixed buffers.
// The plan holds pointers into itself and therefore never moves.
class ChildPlan {
 public:
  // `config` is the child configuration: its seccomp_profile is already the
  // effective profile. `program` is that profile's built filter.
  ChildPlan(const std::vector<std::string>& command, const core::SandboxConfig& config,
            const std::vector<sock_filter>& program, bool drop_root_ids, bool sync_with_parent);
  ChildPlan(const ChildPlan&) = delete;
  ChildPlan& operator=(const ChildPlan&) = delete;

  // NULL-terminated argument vector and the fixed environment.
  char* const* argv() const { return argv_.data(); }
  char* const* envp() const;
  const char* program_name() const { return argv_[0]; }
  // The exit-127 message when the program name or an argument contains a
  // NUL byte.
  const std::optional<std::string>& embedded_nul_message() const { return nul_message_; }
  const std::string& exec_failed_message() const { return exec_failed_message_; }

  const std::optional<std::uint64_t>& memory_limit_mb() const { return memory_limit_mb_; }
  bool allow_fork() const { return allow_fork_; }
  const LandlockRules& landlock() const { return landlock_; }
  const sock_fprog* seccomp_program() const { return &fprog_; }
  // Run the command as uid/gid 65534 without supplementary groups.
  bool drop_root_ids() const { return drop_root_ids_; }
  // Stop after the namespaces until the parent has finished the id mapping
  // and the cgroup placement.
  bool sync_with_parent() const { return sync_with_parent_; }

 private:
  std::vector<std::string> args_;
  std::vector<char*> argv_;
  std::optional<std::string> nul_message_;
  std::string exec_failed_message_;
  std::optional<std::uint64_t> memory_limit_mb_;
  bool allow_fork_;
  LandlockRules landlock_;
  sock_fprog fprog_;
  bool drop_root_ids_;
  bool sync_with_parent_;
};

}  // namespace quorrel::os
