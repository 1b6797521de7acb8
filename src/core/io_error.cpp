#include "core/io_error.h"

#include <cerrno>
#include <cstring>

#include "core/errno_table.h"

namespace quorrel::core {

namespace {

const detail::ErrnoEntry* find_errno(int err) {
  for (const auto& e : detail::kErrnoTable) {
    if (e.value == err) return &e;
  }
  return nullptr;
}

}  // namespace

IoErrorKind io_error_kind_for_errno(int err) {
  switch (err) {
    case ENOENT: return IoErrorKind::NotFound;
    case EPERM:
    case EACCES: return IoErrorKind::PermissionDenied;
    case EEXIST: return IoErrorKind::AlreadyExists;
    case EINVAL: return IoErrorKind::InvalidInput;
    case ETIMEDOUT: return IoErrorKind::TimedOut;
    case EPIPE: return IoErrorKind::BrokenPipe;
    case EINTR: return IoErrorKind::Interrupted;
    case EAGAIN: return IoErrorKind::WouldBlock;
    case ENOMEM: return IoErrorKind::OutOfMemory;
    case ENOSYS:
    case EOPNOTSUPP: return IoErrorKind::Unsupported;
    default: return IoErrorKind::Other;
  }
}

IoError IoError::from_errno(int err) { return IoError(io_error_kind_for_errno(err), err, {}); }

IoError IoError::last_os_error() { return from_errno(errno); }

IoError IoError::custom(IoErrorKind kind, std::string message) {
  return IoError(kind, std::nullopt, std::move(message));
}

std::string IoError::to_string() const {
  if (!errno_) return message_;
  char buf[256];
  // GNU strerror_r returns the message pointer (possibly not into buf).
  const char* text = strerror_r(*errno_, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(*errno_) + ")";
}

std::string_view errno_name(int err) {
  const auto* e = find_errno(err);
  return e ? e->name : std::string_view("UnknownErrno");
}

std::string_view errno_description(int err) {
  const auto* e = find_errno(err);
  return e ? e->description : std::string_view("Unknown errno");
}

std::string render_errno(int err) {
  std::string out(errno_name(err));
  out += ": ";
  out += errno_description(err);
  return out;
}

}  // namespace quorrel::core
