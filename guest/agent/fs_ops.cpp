#include "fs_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "frame_reader.h"
#include "unique_fd.h"

namespace quorrel::agent {

FsStatus fs_status_from_errno(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG:
      return FsStatus::NotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return FsStatus::PermissionDenied;
    case ENOSPC:
    case EDQUOT:
      return FsStatus::NoSpace;
    default:
      return FsStatus::IoError;
  }
}

FileReadResult read_whole_file(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    return {fs_status_from_errno(errno), {}};
  }
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) {
    return {fs_status_from_errno(errno), {}};
  }
  if (!S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) > kMaxFileBytes) {
    // Directories, devices and files beyond what one FSRESULT may carry.
    return {FsStatus::IoError, {}};
  }
  std::string data;
  data.resize(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  for (;;) {
    if (done == data.size()) {
      if (data.size() > kMaxFileBytes) {
        return {FsStatus::IoError, {}};
      }
      // The file may have grown since fstat: keep reading to its end.
      data.resize(data.size() + 65536);
    }
    const ssize_t n = ::read(fd.get(), data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return {fs_status_from_errno(errno), {}};
    }
    if (n == 0) {
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  data.resize(done);
  if (data.size() > kMaxFileBytes) {
    return {FsStatus::IoError, {}};
  }
  return {FsStatus::Ok, std::move(data)};
}

FsStatus write_whole_file(const std::string& path, std::string_view data) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) {
    return fs_status_from_errno(errno);
  }
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd.get(), data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return fs_status_from_errno(errno);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd.release()) != 0) {
    return fs_status_from_errno(errno);
  }
  return FsStatus::Ok;
}

}  // namespace quorrel::agent
