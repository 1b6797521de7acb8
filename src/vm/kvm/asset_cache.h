#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "vm/vm/microvm_error.h"

namespace quorrel::vm {

// Immutable file contents shared by every VM that uses them.
using SharedBytes = std::shared_ptr<const std::string>;

// Keeps the last kernel and the last ramdisk read, keyed by path and
// modification time (whole seconds), so that building many VMs reads each
// file once. A cache hit costs one stat call.
class AssetCache {
 public:
  std::expected<SharedBytes, MicrovmError> get_kernel(const std::filesystem::path& path);
  std::expected<SharedBytes, MicrovmError> get_rootfs(const std::filesystem::path& path);

 private:
  struct Entry {
    std::filesystem::path path;
    std::uint64_t mtime_secs = 0;
    SharedBytes bytes;
  };

  static std::expected<SharedBytes, MicrovmError> load(const std::filesystem::path& path, std::optional<Entry>& entry);

  std::mutex mutex_;
  std::optional<Entry> kernel_;
  std::optional<Entry> rootfs_;
};

// The process-wide cache, created on first use.
AssetCache& ASSET_CACHE();

// The ramdisk must start with the gzip magic 0x1F 0x8B.
std::expected<void, MicrovmError> validate_initrd_image(std::string_view bytes);

// Path equality by components: "a//b" and "a/b/" equal "a/b".
bool same_path_components(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace quorrel::vm
