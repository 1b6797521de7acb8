#include "python/host_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/utf8.h"
#include "os/path_check.h"
#include "sdk/os_command.h"

namespace quorrel::python {

namespace {

sdk::SdkError last_io_error() { return sdk::SdkError::io(core::IoError::last_os_error()); }

// A host path as a C string; the kernel cannot be given one with NUL in it.
sdk::SdkResult<std::string> c_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return std::unexpected(sdk::SdkError::io(
        core::IoError::custom(core::IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte")));
  }
  return std::string(path);
}

sdk::SdkResult<void> checked(std::string_view path) {
  if (auto r = os::validate_path(path); !r) return std::unexpected(sdk::from_sandbox_execute_error(std::move(r.error())));
  return {};
}

class FdOwner {
 public:
  explicit FdOwner(int fd) : fd_(fd) {}
  FdOwner(const FdOwner&) = delete;
  FdOwner& operator=(const FdOwner&) = delete;
  ~FdOwner() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

class DirOwner {
 public:
  explicit DirOwner(DIR* dir) : dir_(dir) {}
  DirOwner(const DirOwner&) = delete;
  DirOwner& operator=(const DirOwner&) = delete;
  ~DirOwner() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

std::optional<std::int64_t> modified_millis(const struct stat& st) {
  if (st.st_mtim.tv_sec < 0) return std::nullopt;
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1'000'000;
}

}  // namespace

sdk::SdkResult<std::string> read_host_file(std::string_view path) {
  if (auto r = sdk::validate_host_file_path(path); !r) return std::unexpected(r.error());
  auto p = c_path(path);
  if (!p) return std::unexpected(p.error());
  FdOwner fd(::open(p->c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::unexpected(last_io_error());
  std::string data;
  struct stat st {};
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    data.reserve(static_cast<std::size_t>(st.st_size));
  }
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(last_io_error());
    }
    data.append(buffer, static_cast<std::size_t>(n));
  }
  return data;
}

sdk::SdkResult<HostFileStat> stat_host_path(std::string_view path) {
  if (auto r = checked(path); !r) return std::unexpected(r.error());
  auto p = c_path(path);
  if (!p) return std::unexpected(p.error());
  struct stat st {};
  if (::stat(p->c_str(), &st) != 0) return std::unexpected(last_io_error());
  return HostFileStat{
      .is_dir = S_ISDIR(st.st_mode),
      .is_file = S_ISREG(st.st_mode),
      .size = static_cast<std::uint64_t>(st.st_size),
      .mode = static_cast<std::uint32_t>(st.st_mode),
      .modified_ms = modified_millis(st),
  };
}

sdk::SdkResult<std::vector<HostDirEntry>> list_host_dir(std::string_view path) {
  auto p = c_path(path);
  if (!p) return std::unexpected(p.error());
  DirOwner dir(::opendir(p->c_str()));
  if (dir.get() == nullptr) return std::unexpected(last_io_error());
  const int dir_fd = ::dirfd(dir.get());
  std::vector<HostDirEntry> entries;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      break;  // the end, or a directory that cannot be read further
    }
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    entries.push_back(HostDirEntry{
        .name = core::utf8_lossy(name),
        .file_type = S_ISDIR(st.st_mode) ? "dir" : S_ISREG(st.st_mode) ? "file" : "other",
        .size = static_cast<std::uint64_t>(st.st_size),
        .is_symlink = S_ISLNK(st.st_mode),
    });
  }
  return entries;
}

sdk::SdkResult<bool> host_path_exists(std::string_view path) {
  if (auto r = checked(path); !r) return std::unexpected(r.error());
  if (path.find('\0') != std::string_view::npos) return false;
  const std::string p(path);
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0;
}

sdk::SdkResult<void> remove_host_path(std::string_view path) {
  if (auto r = checked(path); !r) return r;
  auto p = c_path(path);
  if (!p) return std::unexpected(p.error());
  struct stat st {};
  const bool is_dir = ::stat(p->c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if ((is_dir ? ::rmdir(p->c_str()) : ::unlink(p->c_str())) != 0) return std::unexpected(last_io_error());
  return {};
}

sdk::SdkResult<void> rename_host_path(std::string_view from, std::string_view to) {
  if (auto r = checked(from); !r) return r;
  if (auto r = checked(to); !r) return r;
  auto f = c_path(from);
  if (!f) return std::unexpected(f.error());
  auto t = c_path(to);
  if (!t) return std::unexpected(t.error());
  if (::rename(f->c_str(), t->c_str()) != 0) return std::unexpected(last_io_error());
  return {};
}

}  // namespace quorrel::python
