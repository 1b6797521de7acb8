#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "core/duration.h"
#include "core/sandbox.h"

namespace quorrel::sdk {

// Options of one execution.
struct ExecuteOptions {
  std::map<std::string, std::string> env;
  std::optional<core::Duration> timeout;
  std::optional<std::string> cwd;
};

// Outcome of one execution; same fields and meanings as core::SandboxResult.
struct ExecuteResult {
  std::string stdout_data;
  std::string stderr_data;
  std::optional<std::int32_t> exit_code;
  bool timed_out = false;
  core::Duration elapsed;

  static ExecuteResult from_sandbox_result(core::SandboxResult r) {
    return {std::move(r.stdout_data), std::move(r.stderr_data), r.exit_code, r.timed_out, r.elapsed};
  }

  friend bool operator==(const ExecuteResult&, const ExecuteResult&) = default;
};

}  // namespace quorrel::sdk
