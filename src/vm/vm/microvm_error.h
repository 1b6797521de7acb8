#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/io_error.h"
#include "core/sandbox.h"
#include "vm/http_proxy/http_proxy_error.h"

namespace quorrel::vm {

// What went wrong with a guest file operation, from the guest's FSRESULT status.
struct GuestFileErrorKind {
  enum class Code : std::uint8_t { NotFound, Io, PermissionDenied, OutOfSpace, UnknownStatus };
  Code code = Code::Io;
  std::uint8_t status = 0;  // the raw status, meaningful for UnknownStatus

  // Maps an FSRESULT status other than 0 (success).
  static GuestFileErrorKind from_status(std::uint8_t status);
  std::string to_string() const;

  friend bool operator==(const GuestFileErrorKind&, const GuestFileErrorKind&) = default;
};

// The lifecycle cases of a microVM back end.
class LifecycleError {
 public:
  enum class Kind : std::uint8_t { InvalidState, BackendDestroyed, Released, SnapshotNotReady, ForkNotReady };

  static LifecycleError invalid_state(std::string expected, std::string actual, std::string message);
  static LifecycleError backend_destroyed(std::string text);
  static LifecycleError released(std::string text);
  static LifecycleError snapshot_not_ready() { return LifecycleError(Kind::SnapshotNotReady); }
  static LifecycleError fork_not_ready() { return LifecycleError(Kind::ForkNotReady); }

  Kind kind() const { return kind_; }
  // InvalidState only.
  const std::string& expected() const { return expected_; }
  const std::string& actual() const { return actual_; }
  // The message of InvalidState, the text of BackendDestroyed and Released.
  const std::string& message() const { return message_; }

  std::string to_string() const;

  friend bool operator==(const LifecycleError&, const LifecycleError&) = default;

 private:
  explicit LifecycleError(Kind k) : kind_(k) {}

  Kind kind_;
  std::string expected_;
  std::string actual_;
  std::string message_;
};

// The error of every operation of the microVM library.
class MicrovmError {
 public:
  enum class Kind : std::uint8_t { Unsupported, InvalidConfig, Lifecycle, Backend, GuestFile, HttpProxy, Snapshot, Io };

  static MicrovmError unsupported() { return MicrovmError(Kind::Unsupported); }
  static MicrovmError invalid_config(std::string text) { return {Kind::InvalidConfig, std::move(text)}; }
  static MicrovmError lifecycle(LifecycleError e);
  static MicrovmError backend(std::string text) { return {Kind::Backend, std::move(text)}; }
  // A backend error whose text is the operating-system description of errno.
  static MicrovmError backend_errno(int err);
  static MicrovmError guest_file(std::string path, GuestFileErrorKind kind);
  static MicrovmError http_proxy(http_proxy::HttpProxyError e);
  static MicrovmError snapshot(std::string text) { return {Kind::Snapshot, std::move(text)}; }
  static MicrovmError io(core::IoError e);

  // "KVM backend is not in Ready state": every operation that needs Ready.
  static MicrovmError not_ready();
  // "KVM backend destroyed, cannot reuse guest state".
  static MicrovmError destroyed();

  Kind kind() const { return kind_; }
  // The payload of InvalidConfig, Backend and Snapshot; the path of GuestFile.
  const std::string& text() const { return text_; }
  const LifecycleError* lifecycle_error() const { return lifecycle_ ? &*lifecycle_ : nullptr; }
  const GuestFileErrorKind* guest_file_kind() const { return file_kind_ ? &*file_kind_ : nullptr; }
  const core::IoError* io_error() const { return io_ ? &*io_ : nullptr; }
  const http_proxy::HttpProxyError* http_proxy_error() const { return proxy_ ? &*proxy_ : nullptr; }

  std::string to_string() const;

  // Conversion used where a microVM serves the core Sandbox interface.
  core::SandboxError to_sandbox_error() const;

  friend bool operator==(const MicrovmError&, const MicrovmError&) = default;

 private:
  explicit MicrovmError(Kind k) : kind_(k) {}
  MicrovmError(Kind k, std::string t) : kind_(k), text_(std::move(t)) {}

  Kind kind_;
  std::string text_;
  std::optional<LifecycleError> lifecycle_;
  std::optional<GuestFileErrorKind> file_kind_;
  std::optional<core::IoError> io_;
  std::optional<http_proxy::HttpProxyError> proxy_;
};

}  // namespace quorrel::vm
