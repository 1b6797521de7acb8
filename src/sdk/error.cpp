#include "sdk/error.h"

namespace quorrel::sdk {

namespace suggestion {
std::string file_not_found(std::string_view p) {
  return "ensure target file exists and path is within allowed access scope: " + std::string(p);
}
std::string file_permission(std::string_view p) {
  return "check file permissions and sandbox mount policy: " + std::string(p);
}
std::string guest_file_system(std::string_view p) { return "check guest file system state: " + std::string(p); }
}  // namespace suggestion

std::string SdkError::to_string() const {
  switch (kind_) {
    case Kind::Coded:
      return suggestion_ ? message_ + ". Suggestion: " + *suggestion_ : message_;
    case Kind::BackendUnavailable:
    case Kind::Config: return message_;
    case Kind::Io: return io_ ? io_->to_string() : std::string();
  }
  return message_;
}

SdkError from_sandbox_execute_error(core::SandboxError error) {
  using K = core::SandboxError::Kind;
  switch (error.kind()) {
    case K::Unsupported:
      return SdkError::coded(ErrorCode::UnsupportedPlatform, error.text(), std::string(suggestion::kUseOsIsolation));
    case K::ExecutionFailed: return SdkError::coded(ErrorCode::CommandFailed, error.text());
    case K::Timeout:
      return SdkError::coded(ErrorCode::CommandTimeout, "command execution timed out",
                             std::string(suggestion::kIncreaseTimeout));
    default: return SdkError::coded(ErrorCode::BackendFailure, error.to_string());
  }
}

SdkError map_snapshot_bytes_error(core::SandboxError error) {
  using K = core::SandboxError::Kind;
  switch (error.kind()) {
    case K::ExecutionFailed:
      return SdkError::coded(ErrorCode::InvalidConfig, error.text(), std::string(suggestion::kSnapshotBytes));
    case K::InvalidSnapshot:
      return SdkError::coded(ErrorCode::InvalidConfig, "invalid sandbox snapshot",
                             std::string(suggestion::kFileModeSnapshot));
    case K::Io: return SdkError::io(*error.io_error());
    default: return SdkError::coded(ErrorCode::InvalidConfig, error.to_string());
  }
}

}  // namespace quorrel::sdk
