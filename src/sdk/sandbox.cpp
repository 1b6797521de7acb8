#include "sdk/sandbox.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "sdk/command.h"

namespace quorrel::sdk {

namespace {

void sleep_through_signals(std::chrono::milliseconds span) {
  timespec left{0, static_cast<long>(std::chrono::nanoseconds(span).count())};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

SdkResult<ExecuteResult> from_backend(core::Result<core::SandboxResult> r) {
  if (!r) return std::unexpected(from_sandbox_execute_error(std::move(r.error())));
  return ExecuteResult::from_sandbox_result(std::move(*r));
}

SdkResult<void> write_host_file(std::string_view path, std::string_view data) {
  if (path.find('\0') != std::string_view::npos) {
    return std::unexpected(SdkError::io(
        core::IoError::custom(core::IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte")));
  }
  const std::string p(path);
  const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return std::unexpected(SdkError::io(core::IoError::last_os_error()));
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const auto err = core::IoError::last_os_error();
      ::close(fd);
      return std::unexpected(SdkError::io(err));
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0 && errno != EINTR) return std::unexpected(SdkError::io(core::IoError::last_os_error()));
  return {};
}

}  // namespace

SdkError backend_missing_error() {
  return SdkError::coded(ErrorCode::BackendFailure, "backend instance missing after initialization",
                         "check if sandbox initialization was interrupted");
}

SdkError microvm_unavailable_error() {
  return SdkError::coded(ErrorCode::UnsupportedPlatform, "microVM backend not available in this build",
                         std::string(suggestion::kUseOsIsolation));
}

SdkResult<Sandbox> Sandbox::create(Config config) {
  // A microVM sandbox would set up its warm pool here; without one the
  // failure surfaces at the first operation, through create_inner.
  return Sandbox(std::move(config));
}

Sandbox::Sandbox(Sandbox&& other) noexcept
    : config_(std::move(other.config_)),
      inner_(std::exchange(other.inner_, std::nullopt)),
      backend_kind_(std::exchange(other.backend_kind_, std::nullopt)) {}

Sandbox& Sandbox::operator=(Sandbox&& other) noexcept {
  if (this != &other) {
    Sandbox discarded(std::move(*this));
    config_ = std::move(other.config_);
    inner_ = std::exchange(other.inner_, std::nullopt);
    backend_kind_ = std::exchange(other.backend_kind_, std::nullopt);
  }
  return *this;
}

Sandbox::~Sandbox() {
  auto inner = take_inner();
  if (!inner) return;
  if (!destroy_backend_inner(std::move(*inner))) sleep_through_signals(std::chrono::milliseconds(100));
}

std::optional<SandboxInner> Sandbox::take_inner() {
  backend_kind_.reset();
  return std::exchange(inner_, std::nullopt);
}

SdkResult<void> Sandbox::ensure_backend() {
  const IsolationLevel level = resolve_isolation(config_);
  if (level == IsolationLevel::Wasm) return std::unexpected(SdkError::backend_unavailable("wasm"));
  if (inner_ && backend_kind_ == level) return {};
  if (inner_) {
    auto old = take_inner();
    if (auto r = destroy_backend_inner(std::move(*old)); !r) return r;
  }
  auto created = create_inner(level);
  if (!created) return std::unexpected(created.error());
  inner_.emplace(std::move(*created));
  backend_kind_ = level;
  return {};
}

SdkResult<SandboxInner> Sandbox::create_inner(IsolationLevel level) const {
  switch (level) {
    case IsolationLevel::Os: return SandboxInner(std::in_place_type<os::LinuxSandbox>, config_.to_sandbox_config());
    case IsolationLevel::Wasm: return std::unexpected(SdkError::backend_unavailable("wasm"));
    case IsolationLevel::Auto: return std::unexpected(SdkError::backend_unavailable("auto"));
    case IsolationLevel::MicroVm: return std::unexpected(microvm_unavailable_error());
  }
  return std::unexpected(SdkError::backend_unavailable("auto"));
}

SdkResult<ExecuteResult> Sandbox::execute(std::string_view command) {
  auto words = parse_command(command);
  if (!words) return std::unexpected(words.error());
  if (auto r = ensure_backend(); !r) return std::unexpected(r.error());
  if (!inner_) return std::unexpected(backend_missing_error());
  auto& os = std::get<os::LinuxSandbox>(*inner_);
  return from_backend(os.execute(*words));
}

SdkResult<ExecuteResult> Sandbox::execute_with_sdk_options(std::string_view command, const ExecuteOptions& options) {
  if (auto r = ensure_backend(); !r) return std::unexpected(r.error());
  if (!inner_) return std::unexpected(backend_missing_error());
  auto& os = std::get<os::LinuxSandbox>(*inner_);
  auto words = build_os_word_list(command, options);
  if (!words) return std::unexpected(words.error());
  // The per-command timeout bounds this execution; without one the
  // configured limit applies.
  return from_backend(os.execute_with_timeout(*words, options.timeout));
}

SdkResult<StreamReceiver> Sandbox::stream_execute(std::string_view command) {
  auto words = parse_command(command);
  if (!words) return std::unexpected(words.error());
  if (auto r = ensure_backend(); !r) return std::unexpected(r.error());
  if (!inner_) return std::unexpected(backend_missing_error());
  // The OS level cannot stream: run to the end, then queue the events.
  auto& os = std::get<os::LinuxSandbox>(*inner_);
  auto result = os.execute(*words);
  if (!result) return std::unexpected(from_sandbox_execute_error(std::move(result.error())));
  return stream_from_completed_result(*result);
}

SdkResult<void> Sandbox::wait_ready(core::Duration timeout) {
  if (auto r = ensure_backend(); !r) return r;
  return wait_ready_inner(timeout);
}

SdkResult<void> Sandbox::wait_ready_inner(core::Duration) {
  if (!inner_) return std::unexpected(backend_missing_error());
  return {};  // the OS level is ready at once
}

SdkResult<void> Sandbox::write_file(std::string_view path, std::string_view data) {
  if (auto r = ensure_backend(); !r) return r;
  if (!inner_) return std::unexpected(backend_missing_error());
  // No file channel into an OS-level sandbox: it shares the host's files.
  if (auto r = validate_host_file_path(path); !r) return r;
  return write_host_file(path, data);
}

SdkResult<void> Sandbox::ensure_backend_for_snapshot() {
  // A sandbox configured for the OS or Wasm level is refused as such, whether
  // or not its back end exists yet.
  if (config_.isolation == IsolationLevel::Os || config_.isolation == IsolationLevel::Wasm) {
    return std::unexpected(SdkError::coded(ErrorCode::UnsupportedPlatform,
                                           "configured backend does not support snapshot",
                                           "set isolation to `MicroVm`"));
  }
  if (!inner_) return ensure_microvm_backend();
  if (backend_kind_ == IsolationLevel::MicroVm) return {};
  return std::unexpected(SdkError::coded(ErrorCode::UnsupportedPlatform,
                                         "current sandbox backend does not support snapshot",
                                         "set isolation to `MicroVm` and recreate sandbox"));
}

SdkResult<void> Sandbox::ensure_microvm_backend() {
  if (inner_ && backend_kind_ == IsolationLevel::MicroVm) return {};
  if (inner_) {
    auto old = take_inner();
    if (auto r = destroy_backend_inner(std::move(*old)); !r) return r;
  }
  auto created = create_inner(IsolationLevel::MicroVm);
  if (!created) return std::unexpected(created.error());
  inner_.emplace(std::move(*created));
  backend_kind_ = IsolationLevel::MicroVm;
  return {};
}

SdkResult<vm::http_proxy::HttpProxyResponse> Sandbox::http_request(std::string_view, std::string_view,
                                                                   const std::map<std::string, std::string>&,
                                                                   std::optional<std::string>) {
  if (config_.isolation == IsolationLevel::Os || config_.isolation == IsolationLevel::Wasm) {
    return std::unexpected(SdkError::coded(ErrorCode::UnsupportedPlatform, "HTTP proxy only supports microVM backend",
                                           "set isolation to `MicroVm`"));
  }
  if (auto r = ensure_microvm_backend(); !r) return std::unexpected(r.error());
  // Only a microVM back end carries the proxy; none is part of this build,
  // so create_inner has refused above and nothing reaches this point.
  return std::unexpected(microvm_unavailable_error());
}

SdkResult<void> Sandbox::destroy(Sandbox sandbox) {
  auto inner = sandbox.take_inner();
  if (!inner) return {};
  return destroy_backend_inner(std::move(*inner));
}

SdkResult<void> Sandbox::destroy_backend_inner(SandboxInner inner) {
  return std::visit(
      [](auto& backend) -> SdkResult<void> {
        backend.cleanup_last_cgroup();
        return {};
      },
      inner);
}

}  // namespace quorrel::sdk
