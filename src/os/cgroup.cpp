#include "os/cgroup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "os/unique_fd.h"

namespace quorrel::os {

namespace {

using core::IoError;
using core::SandboxError;

// Mount points in mountinfo escape blanks, tabs, newlines and backslashes
// as three octal digits.
std::string unescape_mount_field(std::string_view field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    const auto oct = [&](std::size_t j) { return field[j] >= '0' && field[j] <= '7'; };
    if (field[i] == '\\' && i + 3 < field.size() && oct(i + 1) && oct(i + 2) && oct(i + 3)) {
      out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0')));
      i += 3;
      continue;
    }
    out.push_back(field[i]);
  }
  return out;
}

std::vector<std::string_view> split_blanks(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ') ++i;
    if (i > start) fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

std::expected<std::string, IoError> read_small_file(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::unexpected(IoError::last_os_error());
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(IoError::last_os_error());
    if (n == 0) return out;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

// Writes the whole text with one write call, as cgroup files expect.
std::expected<void, IoError> write_file(const std::filesystem::path& path, std::string_view text, int extra_flags) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | extra_flags, 0644));
  if (!fd.valid()) return std::unexpected(IoError::last_os_error());
  ssize_t n;
  do {
    n = ::write(fd.get(), text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) return std::unexpected(IoError::last_os_error());
  return {};
}

bool has_word(std::string_view list, std::string_view word) {
  for (auto w : split_blanks(list)) {
    if (!w.empty() && w.back() == '\n') w.remove_suffix(1);
    if (w == word) return true;
  }
  return false;
}

// Makes the cpu controller available to the children of `dir`.
std::expected<void, IoError> enable_cpu_for_children(const std::filesystem::path& dir) {
  auto current = read_small_file(dir / "cgroup.subtree_control");
  if (!current) return std::unexpected(current.error());
  if (has_word(*current, "cpu")) return {};
  return write_file(dir / "cgroup.subtree_control", "+cpu", 0);
}

std::expected<void, IoError> make_dir(const std::filesystem::path& dir, bool existing_ok) {
  // Mode 0777 before the process umask.
  const int r = ::mkdir(dir.c_str(), 0777);
  const int err = errno;
  if (r == 0 || (existing_ok && err == EEXIST)) return {};
  return std::unexpected(IoError::from_errno(err));
}

}  // namespace

std::optional<std::filesystem::path> find_cgroup2_mount(std::string_view mountinfo) {
  while (!mountinfo.empty()) {
    const std::size_t nl = mountinfo.find('\n');
    const std::string_view line = mountinfo.substr(0, nl);
    mountinfo = nl == std::string_view::npos ? std::string_view() : mountinfo.substr(nl + 1);
    const auto fields = split_blanks(line);
    std::size_t sep = 0;
    while (sep < fields.size() && fields[sep] != "-") ++sep;
    if (sep < 5 || sep + 1 >= fields.size()) continue;
    if (fields[sep + 1] == "cgroup2") return std::filesystem::path(unescape_mount_field(fields[4]));
  }
  return std::nullopt;
}

std::filesystem::path sandbox_cgroup_dir(const std::filesystem::path& cgroup2_mount, pid_t pid) {
  return cgroup2_mount / "quorrel" / ("sandbox-" + std::to_string(pid));
}

std::string cpu_max_text(std::uint64_t quota_us, std::uint64_t period_us) {
  return std::to_string(quota_us) + " " + std::to_string(period_us);
}

core::Result<std::filesystem::path> create_cpu_cgroup(pid_t pid, std::uint64_t quota_us, std::uint64_t period_us) {
  const auto fail = [](IoError e) { return std::unexpected(SandboxError::io(std::move(e))); };
  auto mountinfo = read_small_file("/proc/self/mountinfo");
  if (!mountinfo) return fail(mountinfo.error());
  const auto mount = find_cgroup2_mount(*mountinfo);
  if (!mount) return fail(IoError::custom(core::IoErrorKind::NotFound, "no cgroup v2 file system is mounted"));

  // Enabling the controller at the top first means a host whose cpu
  // controller is bound elsewhere fails before any directory is created.
  if (auto r = enable_cpu_for_children(*mount); !r) return fail(r.error());
  const std::filesystem::path parent = *mount / "quorrel";
  if (auto r = make_dir(parent, true); !r) return fail(r.error());
  if (auto r = enable_cpu_for_children(parent); !r) return fail(r.error());

  const std::filesystem::path dir = sandbox_cgroup_dir(*mount, pid);
  if (auto r = make_dir(dir, false); !r) return fail(r.error());
  auto written = write_file(dir / "cpu.max", cpu_max_text(quota_us, period_us), O_CREAT | O_TRUNC);
  if (written) written = write_file(dir / "cgroup.procs", std::to_string(pid), O_CREAT | O_TRUNC);
  if (!written) {
    ::rmdir(dir.c_str());
    return fail(written.error());
  }
  return dir;
}

}  // namespace quorrel::os
