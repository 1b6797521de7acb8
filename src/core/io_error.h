#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorrel::core {

// Broad classification of an I/O failure, independent of the errno value.
enum class IoErrorKind {
  NotFound,
  PermissionDenied,
  AlreadyExists,
  InvalidInput,
  InvalidData,
  TimedOut,
  UnexpectedEof,
  BrokenPipe,
  Interrupted,
  WouldBlock,
  OutOfMemory,
  Unsupported,
  Other,
};

// An operating-system I/O error: its kind and, when it came from the kernel,
// the errno value. Renders like "No such file or directory (os error 2)".
class IoError {
 public:
  static IoError from_errno(int err);
  // Captures the current value of errno.
  static IoError last_os_error();
  static IoError custom(IoErrorKind kind, std::string message);

  IoErrorKind kind() const { return kind_; }
  std::optional<int> raw_os_error() const { return errno_; }
  std::string to_string() const;

  friend bool operator==(const IoError&, const IoError&) = default;

 private:
  IoError(IoErrorKind kind, std::optional<int> err, std::string message)
      : kind_(kind), errno_(err), message_(std::move(message)) {}

  IoErrorKind kind_;
  std::optional<int> errno_;
  std::string message_;
};

IoErrorKind io_error_kind_for_errno(int err);

// "EAGAIN", or "UnknownErrno" for a value the kernel does not define.
std::string_view errno_name(int err);
// The kernel's description, e.g. "Try again" for EAGAIN.
std::string_view errno_description(int err);
// "EAGAIN: Try again".
std::string render_errno(int err);

}  // namespace quorrel::core
