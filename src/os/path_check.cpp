#include "os/path_check.h"

namespace quorrel::os {

core::Result<void> validate_path(std::string_view path) {
  if (path.empty()) return std::unexpected(core::SandboxError::execution_failed("path must not be empty"));
  if (path.find("..") != std::string_view::npos) {
    return std::unexpected(core::SandboxError::execution_failed("path must not contain '..' path traversal"));
  }
  return {};
}

}  // namespace quorrel::os
