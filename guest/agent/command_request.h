#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorrel::agent {

// One command to run: a shell command line, extra environment, a time limit
// in seconds and a working directory.
struct CommandRequest {
  std::string command;
  std::vector<std::pair<std::string, std::string>> env;
  std::optional<std::uint64_t> timeout_secs;
  std::optional<std::string> cwd;
};

// Reads the JSON of an "EXEC:" frame: "cmd" (string, required), "env"
// (object of strings), "timeout" (unsigned seconds), "cwd" (string); null
// counts as absent. Returns the reason on failure.
std::expected<CommandRequest, std::string> parse_exec_json(std::string_view json);

}  // namespace quorrel::agent
