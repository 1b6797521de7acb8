#include "vm/kvm/asset_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "vm/kvm/unique_fd.h"

namespace quorrel::vm {

namespace {

std::string os_text(int err) { return core::IoError::from_errno(err).to_string(); }

std::vector<std::string> components(const std::filesystem::path& p) {
  std::vector<std::string> out;
  for (const auto& part : p) {
    const std::string s = part.native();
    if (s.empty() || (s == "." && !out.empty())) continue;
    out.push_back(s);
  }
  return out;
}

std::expected<std::string, int> read_whole_file(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::unexpected(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(errno);
  std::string data;
  if (st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size));
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    if (n == 0) break;
    data.append(buf, static_cast<std::size_t>(n));
  }
  return data;
}

}  // namespace

bool same_path_components(const std::filesystem::path& a, const std::filesystem::path& b) {
  return components(a) == components(b);
}

std::expected<SharedBytes, MicrovmError> AssetCache::load(const std::filesystem::path& path,
                                                          std::optional<Entry>& entry) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return std::unexpected(MicrovmError::backend("failed to read asset metadata: " + path.string() + ": " + os_text(errno)));
  }
  const std::uint64_t mtime = st.st_mtim.tv_sec > 0 ? static_cast<std::uint64_t>(st.st_mtim.tv_sec) : 0;
  if (entry && entry->mtime_secs == mtime && same_path_components(entry->path, path)) return entry->bytes;
  auto data = read_whole_file(path);
  if (!data) {
    return std::unexpected(MicrovmError::backend("failed to read asset file: " + path.string() + ": " + os_text(data.error())));
  }
  entry = Entry{path, mtime, std::make_shared<const std::string>(std::move(*data))};
  return entry->bytes;
}

std::expected<SharedBytes, MicrovmError> AssetCache::get_kernel(const std::filesystem::path& path) {
  std::lock_guard lock(mutex_);
  return load(path, kernel_);
}

std::expected<SharedBytes, MicrovmError> AssetCache::get_rootfs(const std::filesystem::path& path) {
  std::lock_guard lock(mutex_);
  return load(path, rootfs_);
}

AssetCache& ASSET_CACHE() {
  static AssetCache cache;
  return cache;
}

std::expected<void, MicrovmError> validate_initrd_image(std::string_view bytes) {
  if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0x1F || static_cast<unsigned char>(bytes[1]) != 0x8B) {
    return std::unexpected(MicrovmError::backend("rootfs must be a gzip-compressed cpio initrd"));
  }
  return {};
}

}  // namespace quorrel::vm
