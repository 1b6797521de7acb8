#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/error.h"
#include "sdk/execute_options.h"

namespace quorrel::sdk {

inline constexpr std::string_view kOsEnvProgram = "/usr/bin/env";
inline constexpr std::string_view kOsShellProgram = "/bin/sh";

// "NAME=value" for every entry, in the map's order. Refuses an empty name, a
// name with "=" or NUL, and a value with NUL.
SdkResult<std::vector<std::string>> build_env_assignments(const std::map<std::string, std::string>& env);

// The argument vector an OS-level execution of `command` with `options` runs.
// Without cwd the command is split into words (prefixed by /usr/bin/env and
// the assignments when env is not empty); with cwd it is handed to /bin/sh as
// "cd <cwd> && exec [/usr/bin/env <assignments> ]<command>". options.timeout
// plays no part here.
SdkResult<std::vector<std::string>> build_os_word_list(std::string_view command, const ExecuteOptions& options);

// The checks made before the OS level writes a host file: not empty, no "..".
SdkResult<void> validate_host_file_path(std::string_view path);

}  // namespace quorrel::sdk
