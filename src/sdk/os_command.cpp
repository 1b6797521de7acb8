#include "sdk/os_command.h"

#include "sdk/command.h"

namespace quorrel::sdk {

SdkResult<std::vector<std::string>> build_env_assignments(const std::map<std::string, std::string>& env) {
  std::vector<std::string> out;
  out.reserve(env.size());
  for (const auto& [name, value] : env) {
    if (name.empty() || name.find('=') != std::string::npos || name.find('\0') != std::string::npos) {
      return std::unexpected(SdkError::config("invalid environment variable name: `" + name + "`"));
    }
    if (value.find('\0') != std::string::npos) {
      return std::unexpected(SdkError::config("environment variable `" + name + "` contains NUL byte"));
    }
    out.push_back(name + "=" + value);
  }
  return out;
}

SdkResult<std::vector<std::string>> build_os_word_list(std::string_view command, const ExecuteOptions& options) {
  if (!options.cwd) {
    auto words = parse_command(command);
    if (!words) return std::unexpected(words.error());
    if (options.env.empty()) return words;
    auto assignments = build_env_assignments(options.env);
    if (!assignments) return std::unexpected(assignments.error());
    std::vector<std::string> out;
    out.reserve(1 + assignments->size() + words->size());
    out.emplace_back(kOsEnvProgram);
    for (auto& a : *assignments) out.push_back(std::move(a));
    for (auto& w : *words) out.push_back(std::move(w));
    return out;
  }

  const auto quoted_cwd = quote_shell_word(*options.cwd);
  if (!quoted_cwd) return std::unexpected(SdkError::config("cwd contains characters that cannot be shell-escaped"));
  std::string prefix;
  if (!options.env.empty()) {
    auto assignments = build_env_assignments(options.env);
    if (!assignments) return std::unexpected(assignments.error());
    prefix = std::string(kOsEnvProgram) + " ";
    for (const auto& a : *assignments) {
      const auto quoted = quote_shell_word(a);
      if (!quoted) {
        return std::unexpected(
            SdkError::config("environment assignment contains characters that cannot be shell-escaped"));
      }
      prefix += *quoted;
      prefix += ' ';
    }
  }
  std::string script = "cd " + *quoted_cwd + " && exec " + prefix;
  script.append(command);
  return std::vector<std::string>{std::string(kOsShellProgram), "-c", std::move(script)};
}

SdkResult<void> validate_host_file_path(std::string_view path) {
  if (path.empty()) return std::unexpected(SdkError::coded(ErrorCode::InvalidConfig, "path must not be empty"));
  if (path.find("..") != std::string_view::npos) {
    return std::unexpected(SdkError::coded(ErrorCode::InvalidConfig, "path must not contain '..' path traversal"));
  }
  return {};
}

}  // namespace quorrel::sdk
