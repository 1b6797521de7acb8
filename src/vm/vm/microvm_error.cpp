#include "vm/vm/microvm_error.h"

namespace quorrel::vm {

GuestFileErrorKind GuestFileErrorKind::from_status(std::uint8_t status) {
  switch (status) {
    case 1: return {Code::NotFound, status};
    case 2: return {Code::Io, status};
    case 3: return {Code::PermissionDenied, status};
    case 4: return {Code::OutOfSpace, status};
    default: return {Code::UnknownStatus, status};
  }
}

std::string GuestFileErrorKind::to_string() const {
  switch (code) {
    case Code::NotFound: return "path not found";
    case Code::Io: return "I/O error";
    case Code::PermissionDenied: return "permission denied";
    case Code::OutOfSpace: return "out of space";
    case Code::UnknownStatus: return "unknown status code " + std::to_string(status);
  }
  return {};
}

LifecycleError LifecycleError::invalid_state(std::string expected, std::string actual, std::string message) {
  LifecycleError e(Kind::InvalidState);
  e.expected_ = std::move(expected);
  e.actual_ = std::move(actual);
  e.message_ = std::move(message);
  return e;
}

LifecycleError LifecycleError::backend_destroyed(std::string text) {
  LifecycleError e(Kind::BackendDestroyed);
  e.message_ = std::move(text);
  return e;
}

LifecycleError LifecycleError::released(std::string text) {
  LifecycleError e(Kind::Released);
  e.message_ = std::move(text);
  return e;
}

std::string LifecycleError::to_string() const {
  switch (kind_) {
    case Kind::InvalidState:
    case Kind::BackendDestroyed:
    case Kind::Released: return message_;
    case Kind::SnapshotNotReady: return "snapshot only allowed in Ready state";
    case Kind::ForkNotReady: return "fork only allowed in Ready state";
  }
  return {};
}

MicrovmError MicrovmError::lifecycle(LifecycleError e) {
  MicrovmError m(Kind::Lifecycle);
  m.lifecycle_ = std::move(e);
  return m;
}

MicrovmError MicrovmError::backend_errno(int err) { return backend(core::IoError::from_errno(err).to_string()); }

MicrovmError MicrovmError::guest_file(std::string path, GuestFileErrorKind kind) {
  MicrovmError m(Kind::GuestFile, std::move(path));
  m.file_kind_ = kind;
  return m;
}

MicrovmError MicrovmError::http_proxy(http_proxy::HttpProxyError e) {
  MicrovmError m(Kind::HttpProxy);
  m.proxy_ = std::move(e);
  return m;
}

MicrovmError MicrovmError::io(core::IoError e) {
  MicrovmError m(Kind::Io);
  m.io_ = std::move(e);
  return m;
}

MicrovmError MicrovmError::not_ready() {
  return lifecycle(LifecycleError::invalid_state("Ready", "not Ready", "KVM backend is not in Ready state"));
}

MicrovmError MicrovmError::destroyed() {
  return lifecycle(LifecycleError::backend_destroyed("KVM backend destroyed, cannot reuse guest state"));
}

std::string MicrovmError::to_string() const {
  switch (kind_) {
    case Kind::Unsupported: return "KVM microVM backend not supported on current platform";
    case Kind::InvalidConfig: return "invalid microVM config: " + text_;
    case Kind::Lifecycle: return "microVM lifecycle error: " + lifecycle_->to_string();
    case Kind::Backend: return "KVM backend error: " + text_;
    case Kind::GuestFile: return "guest file error: " + text_ + ": " + file_kind_->to_string();
    case Kind::HttpProxy: return proxy_->to_string();
    case Kind::Snapshot: return "invalid snapshot format: " + text_;
    case Kind::Io: return "I/O error: " + io_->to_string();
  }
  return {};
}

core::SandboxError MicrovmError::to_sandbox_error() const {
  switch (kind_) {
    case Kind::Unsupported: return core::SandboxError::unsupported_platform();
    case Kind::InvalidConfig:
    case Kind::Backend:
    case Kind::Snapshot: return core::SandboxError::execution_failed(text_);
    case Kind::Lifecycle: return core::SandboxError::execution_failed(lifecycle_->to_string());
    case Kind::GuestFile: return core::SandboxError::execution_failed(to_string());
    case Kind::HttpProxy:
      return core::SandboxError::execution_failed(
          proxy_->kind() == http_proxy::HttpProxyError::Kind::Internal ? proxy_->payload() : proxy_->to_string());
    case Kind::Io: return core::SandboxError::io(*io_);
  }
  return core::SandboxError::execution_failed(to_string());
}

}  // namespace quorrel::vm
