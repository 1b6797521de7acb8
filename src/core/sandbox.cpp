#include "core/sandbox.h"

#include <sys/stat.h>

#include <cerrno>

namespace quorrel::core {

SandboxError SandboxError::syscall_errno(int err) { return syscall_error(render_errno(err)); }

std::string SandboxError::to_string() const {
  switch (kind_) {
    case Kind::UnsupportedPlatform: return "sandbox backend not supported on current platform";
    case Kind::Unsupported: return "operation not supported: " + text_;
    case Kind::NamespaceFailed: return "namespace creation failed: " + text_;
    case Kind::PivotRootFailed: return "pivot_root failed: " + text_;
    case Kind::MountFailed: return "mount failed: " + text_;
    case Kind::LandlockFailed: return "Landlock rule enforcement failed: " + text_;
    case Kind::SeccompFailed: return "Seccomp filter enforcement failed: " + text_;
    case Kind::ExecutionFailed: return "command execution failed: " + text_;
    case Kind::InvalidSnapshot: return "invalid sandbox snapshot";
    case Kind::Timeout: return "child process timed out";
    case Kind::PipeError: return "pipe I/O error: " + text_;
    case Kind::SyscallError: return "syscall error: " + text_;
    case Kind::Io: return "I/O error: " + (io_ ? io_->to_string() : std::string());
  }
  return {};
}

Result<SandboxSnapshot> SandboxSnapshot::from_file(std::filesystem::path path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::unexpected(SandboxError::io(IoError::last_os_error()));
  if (!S_ISREG(st.st_mode) || st.st_size == 0) return std::unexpected(SandboxError::invalid_snapshot());
  return SandboxSnapshot(File{std::move(path), static_cast<std::uint64_t>(st.st_size)});
}

Result<std::string> Sandbox::read_file(const std::filesystem::path&) {
  return std::unexpected(SandboxError::execution_failed(std::string(kFileReadingNotSupported)));
}

Result<void> Sandbox::write_file(const std::filesystem::path&, std::string_view) {
  return std::unexpected(SandboxError::execution_failed(std::string(kFileWritingNotSupported)));
}

}  // namespace quorrel::core
