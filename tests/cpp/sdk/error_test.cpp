#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "sdk/error.h"

namespace quorrel::sdk {
namespace {

using core::IoError;
using core::SandboxError;

TEST(SdkError, Display) {
  EXPECT_EQ(SdkError::coded(ErrorCode::CommandFailed, "boom").to_string(), "boom");
  EXPECT_EQ(SdkError::coded(ErrorCode::CommandFailed, "boom", "try again").to_string(),
            "boom. Suggestion: try again");
  EXPECT_EQ(SdkError::coded(ErrorCode::CommandFailed, "", "s").to_string(), ". Suggestion: s");
  EXPECT_EQ(SdkError::coded(ErrorCode::CommandFailed, "").to_string(), "");
  EXPECT_EQ(SdkError::backend_unavailable("wasm").to_string(), "wasm");
  EXPECT_EQ(SdkError::config("bad value").to_string(), "bad value");
  EXPECT_EQ(SdkError::io(IoError::from_errno(ENOENT)).to_string(), "No such file or directory (os error 2)");
}

TEST(SdkError, ErrorCodeOrder) {
  const std::vector<ErrorCode> order = {
      ErrorCode::CommandTimeout,   ErrorCode::CommandFailed,     ErrorCode::FileNotFound,
      ErrorCode::FilePermissionDenied, ErrorCode::HttpDeniedHost, ErrorCode::HttpTimeout,
      ErrorCode::HttpBodyTooLarge, ErrorCode::HttpConnectFailed, ErrorCode::HttpTlsFailed,
      ErrorCode::HttpInvalidUrl,   ErrorCode::SandboxNotReady,   ErrorCode::SandboxDestroyed,
      ErrorCode::BackendFailure,   ErrorCode::InvalidConfig,     ErrorCode::UnsupportedPlatform};
  for (std::size_t i = 0; i < order.size(); ++i) EXPECT_EQ(static_cast<std::size_t>(order[i]), i);
}

TEST(SdkError, SuggestionTextsVerbatim) {
  namespace s = suggestion;
  const std::vector<std::pair<std::string_view, std::string_view>> texts = {
      {s::kUseOsIsolation, "set isolation to `Os` or use default Auto"},
      {s::kIncreaseTimeout, "increase Config.timeout or per-command timeout"},
      {s::kMicrovmPlatform, "use microVM features only on Linux with vm feature enabled"},
      {s::kCheckMicrovmConfig, "check microVM config, kernel/rootfs paths, and memory settings"},
      {s::kCheckLifecycleState, "ensure sandbox creation has completed and current state allows this operation"},
      {s::kCheckKvmHealth, "ensure KVM is available and guest runtime state is healthy"},
      {s::kSnapshotCompatible, "ensure snapshot comes from a compatible quorrel microVM version"},
      {s::kCheckSnapshotIo, "check snapshot file I/O and underlying virtualization resource state"},
      {s::kDomainWhitelist, "ensure target domain is in allowed_http_domains whitelist"},
      {s::kHttpReachability, "check target service reachability or increase timeout config"},
      {s::kReduceBodySize, "reduce request/response body size or transfer volume"},
      {s::kHttpConnectivity, "check target service connectivity and port reachability"},
      {s::kTlsConfiguration, "check target certificate chain and TLS configuration"},
      {s::kHttpsOnly, "only HTTPS URLs are supported, and direct IP access is not allowed"},
      {s::kPrivateAddress, "target domain resolved to private/loopback address, access denied"},
      {s::kSnapshotBytes, "ensure snapshot data is non-empty and from a quorrel microVM snapshot"},
      {s::kFileModeSnapshot, "for file-mode snapshots, prefer from_snapshot()/restore() or to_bytes()"},
  };
  for (const auto& [got, want] : texts) EXPECT_EQ(got, want);
  EXPECT_EQ(s::file_not_found("/a/b"), "ensure target file exists and path is within allowed access scope: /a/b");
  EXPECT_EQ(s::file_permission("/a/b"), "check file permissions and sandbox mount policy: /a/b");
  EXPECT_EQ(s::guest_file_system("/a/b"), "check guest file system state: /a/b");
}

// One instance of every core variant with the text "x" where it carries one.
std::vector<SandboxError> every_core_error() {
  return {SandboxError::unsupported_platform(), SandboxError::unsupported("x"),
          SandboxError::namespace_failed("x"),   SandboxError::pivot_root_failed("x"),
          SandboxError::mount_failed("x"),       SandboxError::landlock_failed("x"),
          SandboxError::seccomp_failed("x"),     SandboxError::execution_failed("x"),
          SandboxError::invalid_snapshot(),      SandboxError::timeout(),
          SandboxError::pipe_error("x"),         SandboxError::syscall_errno(EAGAIN),
          SandboxError::io(IoError::from_errno(EACCES))};
}

TEST(FromSandboxExecuteError, EveryVariant) {
  const std::string s1(suggestion::kUseOsIsolation), s2(suggestion::kIncreaseTimeout);
  const std::vector<SdkError> expected = {
      SdkError::coded(ErrorCode::BackendFailure, "sandbox backend not supported on current platform"),
      SdkError::coded(ErrorCode::UnsupportedPlatform, "x", s1),
      SdkError::coded(ErrorCode::BackendFailure, "namespace creation failed: x"),
      SdkError::coded(ErrorCode::BackendFailure, "pivot_root failed: x"),
      SdkError::coded(ErrorCode::BackendFailure, "mount failed: x"),
      SdkError::coded(ErrorCode::BackendFailure, "Landlock rule enforcement failed: x"),
      SdkError::coded(ErrorCode::BackendFailure, "Seccomp filter enforcement failed: x"),
      SdkError::coded(ErrorCode::CommandFailed, "x"),
      SdkError::coded(ErrorCode::BackendFailure, "invalid sandbox snapshot"),
      SdkError::coded(ErrorCode::CommandTimeout, "command execution timed out", s2),
      SdkError::coded(ErrorCode::BackendFailure, "pipe I/O error: x"),
      SdkError::coded(ErrorCode::BackendFailure, "syscall error: EAGAIN: Try again"),
      SdkError::coded(ErrorCode::BackendFailure, "I/O error: Permission denied (os error 13)"),
  };
  const auto inputs = every_core_error();
  ASSERT_EQ(inputs.size(), expected.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    EXPECT_EQ(from_sandbox_execute_error(inputs[i]), expected[i]) << inputs[i].to_string();
  }
  EXPECT_EQ(from_sandbox_execute_error(SandboxError::timeout()).to_string(),
            "command execution timed out. Suggestion: increase Config.timeout or per-command timeout");
  EXPECT_EQ(from_sandbox_execute_error(SandboxError::execution_failed("boom")).to_string(), "boom");
  EXPECT_EQ(from_sandbox_execute_error(SandboxError::execution_failed("")).message(), "");
}

TEST(MapSnapshotBytesError, EveryVariant) {
  const std::string s19(suggestion::kSnapshotBytes), s20(suggestion::kFileModeSnapshot);
  const std::vector<SdkError> expected = {
      SdkError::coded(ErrorCode::InvalidConfig, "sandbox backend not supported on current platform"),
      SdkError::coded(ErrorCode::InvalidConfig, "operation not supported: x"),
      SdkError::coded(ErrorCode::InvalidConfig, "namespace creation failed: x"),
      SdkError::coded(ErrorCode::InvalidConfig, "pivot_root failed: x"),
      SdkError::coded(ErrorCode::InvalidConfig, "mount failed: x"),
      SdkError::coded(ErrorCode::InvalidConfig, "Landlock rule enforcement failed: x"),
      SdkError::coded(ErrorCode::InvalidConfig, "Seccomp filter enforcement failed: x"),
      SdkError::coded(ErrorCode::InvalidConfig, "x", s19),
      SdkError::coded(ErrorCode::InvalidConfig, "invalid sandbox snapshot", s20),
      SdkError::coded(ErrorCode::InvalidConfig, "child process timed out"),
      SdkError::coded(ErrorCode::InvalidConfig, "pipe I/O error: x"),
      SdkError::coded(ErrorCode::InvalidConfig, "syscall error: EAGAIN: Try again"),
      SdkError::io(IoError::from_errno(EACCES)),
  };
  const auto inputs = every_core_error();
  ASSERT_EQ(inputs.size(), expected.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    EXPECT_EQ(map_snapshot_bytes_error(inputs[i]), expected[i]) << inputs[i].to_string();
  }
  EXPECT_EQ(map_snapshot_bytes_error(SandboxError::invalid_snapshot()).to_string(),
            "invalid sandbox snapshot. Suggestion: for file-mode snapshots, prefer from_snapshot()/restore() or "
            "to_bytes()");
  const auto io = map_snapshot_bytes_error(SandboxError::io(IoError::from_errno(ENOENT)));
  ASSERT_EQ(io.kind(), SdkError::Kind::Io);
  EXPECT_EQ(io.io_error()->kind(), core::IoErrorKind::NotFound);
}

}  // namespace
}  // namespace quorrel::sdk
