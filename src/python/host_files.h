#pragma once

// File operations of the OS level. The sandboxed process shares the host's
// file system, so these act on host paths directly.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/error.h"

namespace quorrel::python {

struct HostDirEntry {
  std::string name;       // UTF-8, invalid sequences replaced
  std::string file_type;  // "dir", "file" or "other" (symbolic links included)
  std::uint64_t size = 0;
  bool is_symlink = false;
};

struct HostFileStat {
  bool is_dir = false;
  bool is_file = false;
  std::uint64_t size = 0;
  std::uint32_t mode = 0;                   // raw st_mode
  std::optional<std::int64_t> modified_ms;  // absent before the epoch
};

// validate_host_file_path, then the whole file.
sdk::SdkResult<std::string> read_host_file(std::string_view path);
// validate_path, then the metadata of the path, following symbolic links.
sdk::SdkResult<HostFileStat> stat_host_path(std::string_view path);
// No path check. Every entry but "." and "..", in the directory's order,
// described without following symbolic links; an entry whose metadata
// cannot be read is left out.
sdk::SdkResult<std::vector<HostDirEntry>> list_host_dir(std::string_view path);
// validate_path; then whether the metadata (following symbolic links) can be
// read, so a dangling symbolic link is absent.
sdk::SdkResult<bool> host_path_exists(std::string_view path);
// validate_path; a directory is removed only when empty, anything else
// (a path whose metadata cannot be read included) is unlinked.
sdk::SdkResult<void> remove_host_path(std::string_view path);
// validate_path on both, then rename.
sdk::SdkResult<void> rename_host_path(std::string_view from, std::string_view to);

}  // namespace quorrel::python
