#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "core/io_error.h"
#include "core/sandbox.h"

namespace quorrel::sdk {

enum class ErrorCode : std::uint8_t {
  CommandTimeout,
  CommandFailed,
  FileNotFound,
  FilePermissionDenied,
  HttpDeniedHost,
  HttpTimeout,
  HttpBodyTooLarge,
  HttpConnectFailed,
  HttpTlsFailed,
  HttpInvalidUrl,
  SandboxNotReady,
  SandboxDestroyed,
  BackendFailure,
  InvalidConfig,
  UnsupportedPlatform,
};

// The one error type of every SDK operation.
class SdkError {
 public:
  enum class Kind : std::uint8_t { Coded, BackendUnavailable, Config, Io };

  static SdkError coded(ErrorCode code, std::string message,
                        std::optional<std::string> suggestion = std::nullopt) {
    SdkError e(Kind::Coded, std::move(message));
    e.code_ = code;
    e.suggestion_ = std::move(suggestion);
    return e;
  }
  static SdkError backend_unavailable(std::string level) { return {Kind::BackendUnavailable, std::move(level)}; }
  static SdkError config(std::string text) { return {Kind::Config, std::move(text)}; }
  static SdkError io(core::IoError e) {
    SdkError out(Kind::Io, {});
    out.io_ = std::move(e);
    return out;
  }

  Kind kind() const { return kind_; }
  // Meaningful for Coded only.
  ErrorCode code() const { return code_; }
  // Coded: the message; BackendUnavailable and Config: the payload text.
  const std::string& message() const { return message_; }
  const std::optional<std::string>& suggestion() const { return suggestion_; }
  const core::IoError* io_error() const { return io_ ? &*io_ : nullptr; }

  // Coded: "{message}" or "{message}. Suggestion: {suggestion}"; the other
  // variants display their payload.
  std::string to_string() const;

  friend bool operator==(const SdkError&, const SdkError&) = default;

 private:
  SdkError(Kind k, std::string m) : kind_(k), message_(std::move(m)) {}

  Kind kind_;
  ErrorCode code_ = ErrorCode::BackendFailure;
  std::string message_;
  std::optional<std::string> suggestion_;
  std::optional<core::IoError> io_;
};

template <class T>
using SdkResult = std::expected<T, SdkError>;

// Suggestion texts shown to users after ". Suggestion: ".
namespace suggestion {
inline constexpr std::string_view kUseOsIsolation = "set isolation to `Os` or use default Auto";
inline constexpr std::string_view kIncreaseTimeout = "increase Config.timeout or per-command timeout";
inline constexpr std::string_view kMicrovmPlatform = "use microVM features only on Linux with vm feature enabled";
inline constexpr std::string_view kCheckMicrovmConfig = "check microVM config, kernel/rootfs paths, and memory settings";
inline constexpr std::string_view kCheckLifecycleState =
    "ensure sandbox creation has completed and current state allows this operation";
inline constexpr std::string_view kCheckKvmHealth = "ensure KVM is available and guest runtime state is healthy";
inline constexpr std::string_view kSnapshotCompatible = "ensure snapshot comes from a compatible quorrel microVM version";
inline constexpr std::string_view kCheckSnapshotIo =
    "check snapshot file I/O and underlying virtualization resource state";
inline constexpr std::string_view kDomainWhitelist = "ensure target domain is in allowed_http_domains whitelist";
inline constexpr std::string_view kHttpReachability = "check target service reachability or increase timeout config";
inline constexpr std::string_view kReduceBodySize = "reduce request/response body size or transfer volume";
inline constexpr std::string_view kHttpConnectivity = "check target service connectivity and port reachability";
inline constexpr std::string_view kTlsConfiguration = "check target certificate chain and TLS configuration";
inline constexpr std::string_view kHttpsOnly = "only HTTPS URLs are supported, and direct IP access is not allowed";
inline constexpr std::string_view kPrivateAddress = "target domain resolved to private/loopback address, access denied";
inline constexpr std::string_view kSnapshotBytes = "ensure snapshot data is non-empty and from a quorrel microVM snapshot";
inline constexpr std::string_view kFileModeSnapshot =
    "for file-mode snapshots, prefer from_snapshot()/restore() or to_bytes()";

// The three texts that name the guest path of a failed file operation.
std::string file_not_found(std::string_view guest_path);
std::string file_permission(std::string_view guest_path);
std::string guest_file_system(std::string_view guest_path);
}  // namespace suggestion

// Conversions from the core error; both total.
SdkError from_sandbox_execute_error(core::SandboxError error);
SdkError map_snapshot_bytes_error(core::SandboxError error);

}  // namespace quorrel::sdk
