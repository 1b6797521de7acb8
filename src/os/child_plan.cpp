#include "os/child_plan.h"

namespace quorrel::os {

namespace {

// The sandboxed process's whole environment, in the order it is set.
char* const kEnvironment[] = {
    const_cast<char*>("PATH=/usr/bin:/bin:/usr/sbin:/sbin"),
    const_cast<char*>("HOME=/tmp"),
    const_cast<char*>("TERM=dumb"),
    const_cast<char*>("USER=sandbox"),
    const_cast<char*>("LOGNAME=sandbox"),
    const_cast<char*>("SHELL=/bin/sh"),
    const_cast<char*>("PWD=/tmp"),
    const_cast<char*>("LANG=C"),
    const_cast<char*>("TMPDIR=/tmp"),
    nullptr,
};

}  // namespace

ChildPlan::ChildPlan(const std::vector<std::string>& command, const core::SandboxConfig& config,
                     const std::vector<sock_filter>& program, bool drop_root_ids, bool sync_with_parent)
    : args_(command),
      memory_limit_mb_(config.memory_limit_mb),
      allow_fork_(config.allow_fork),
      landlock_(config.fs_readonly, config.fs_readwrite),
      fprog_{static_cast<unsigned short>(program.size()), const_cast<sock_filter*>(program.data())},
      drop_root_ids_(drop_root_ids),
      sync_with_parent_(sync_with_parent) {
  argv_.reserve(args_.size() + 1);
  for (auto& a : args_) argv_.push_back(a.data());
  argv_.push_back(nullptr);
  if (!args_.empty()) {
    if (args_[0].find('\0') != std::string::npos) {
      nul_message_ = "command contains embedded NUL: " + args_[0];
    } else {
      for (const auto& a : args_) {
        if (a.find('\0') != std::string::npos) {
          nul_message_ = "argument contains embedded NUL: " + a;
          break;
        }
      }
    }
    exec_failed_message_ = "execvp failed: " + args_[0];
  }
}

char* const* ChildPlan::envp() const { return kEnvironment; }

}  // namespace quorrel::os
