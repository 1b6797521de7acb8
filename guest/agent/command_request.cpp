#include "command_request.h"

#include <nlohmann/json.hpp>

namespace quorrel::agent {

std::expected<CommandRequest, std::string> parse_exec_json(std::string_view json) {
  nlohmann::json j;
  try {
    j = nlohmann::json::parse(json);
  } catch (const nlohmann::json::exception& e) {
    return std::unexpected(std::string("invalid EXEC JSON: ") + e.what());
  }
  if (!j.is_object()) {
    return std::unexpected("invalid EXEC JSON: expected an object");
  }
  CommandRequest request;
  const auto cmd = j.find("cmd");
  if (cmd == j.end() || !cmd->is_string()) {
    return std::unexpected("invalid EXEC JSON: \"cmd\" must be a string");
  }
  request.command = cmd->get<std::string>();
  if (const auto env = j.find("env"); env != j.end() && !env->is_null()) {
    if (!env->is_object()) {
      return std::unexpected("invalid EXEC JSON: \"env\" must be an object");
    }
    for (const auto& [name, value] : env->items()) {
      if (!value.is_string()) {
        return std::unexpected("invalid EXEC JSON: env value of " + name + " must be a string");
      }
      if (name.empty() || name.find('=') != std::string::npos || name.find('\0') != std::string::npos ||
          value.get_ref<const std::string&>().find('\0') != std::string::npos) {
        return std::unexpected("invalid EXEC JSON: unusable env entry " + name);
      }
      request.env.emplace_back(name, value.get<std::string>());
    }
  }
  if (const auto timeout = j.find("timeout"); timeout != j.end() && !timeout->is_null()) {
    if (!timeout->is_number_unsigned()) {
      return std::unexpected("invalid EXEC JSON: \"timeout\" must be an unsigned integer");
    }
    request.timeout_secs = timeout->get<std::uint64_t>();
  }
  if (const auto cwd = j.find("cwd"); cwd != j.end() && !cwd->is_null()) {
    if (!cwd->is_string()) {
      return std::unexpected("invalid EXEC JSON: \"cwd\" must be a string");
    }
    request.cwd = cwd->get<std::string>();
  }
  if (request.command.find('\0') != std::string::npos) {
    return std::unexpected("invalid EXEC JSON: \"cmd\" contains a NUL byte");
  }
  return request;
}

}  // namespace quorrel::agent
