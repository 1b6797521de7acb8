#include "os/namespaces.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "os/unique_fd.h"

namespace quorrel::os {

namespace {

std::expected<void, core::IoError> write_proc_file(pid_t pid, std::string_view name, std::string_view text) {
  const std::string path = "/proc/" + std::to_string(pid) + "/" + std::string(name);
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (!fd.valid()) return std::unexpected(core::IoError::last_os_error());
  // An id map must be written with a single write call.
  ssize_t n;
  do {
    n = ::write(fd.get(), text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) return std::unexpected(core::IoError::last_os_error());
  if (static_cast<std::size_t>(n) != text.size()) {
    return std::unexpected(core::IoError::custom(core::IoErrorKind::Other, "short write to " + path));
  }
  return {};
}

}  // namespace

bool launcher_has_root_ids() { return ::getuid() == 0 || ::geteuid() == 0 || ::getgid() == 0 || ::getegid() == 0; }

std::expected<void, core::IoError> write_sandbox_id_mapping(pid_t child) {
  const std::string uid_line = std::to_string(kSandboxUid) + " " + std::to_string(kSandboxUid) + " 1";
  const std::string gid_line = std::to_string(kSandboxGid) + " " + std::to_string(kSandboxGid) + " 1";
  if (auto r = write_proc_file(child, "setgroups", "deny"); !r) return r;
  if (auto r = write_proc_file(child, "uid_map", uid_line); !r) return r;
  return write_proc_file(child, "gid_map", gid_line);
}

}  // namespace quorrel::os
