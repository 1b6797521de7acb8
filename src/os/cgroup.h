#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "core/sandbox.h"

namespace quorrel::os {

// The mount point of the first cgroup2 file system listed in a
// /proc/<pid>/mountinfo text. On a pure cgroup v2 host that is
// /sys/fs/cgroup; on a hybrid host it is for example /sys/fs/cgroup/unified.
std::optional<std::filesystem::path> find_cgroup2_mount(std::string_view mountinfo);

// <mount>/quorrel/sandbox-<pid>.
std::filesystem::path sandbox_cgroup_dir(const std::filesystem::path& cgroup2_mount, pid_t pid);

// "cpu.max" contents: quota, one blank, period, no newline.
std::string cpu_max_text(std::uint64_t quota_us, std::uint64_t period_us);

// Places `pid` in a fresh cgroup v2 directory limited by cpu.max, enabling
// the cpu controller in the ancestors where needed. Fails with Io when no
// cgroup v2 file system is mounted or its cpu controller cannot be used
// (for example because it is bound to a v1 hierarchy); a directory created
// here is removed again on failure.
core::Result<std::filesystem::path> create_cpu_cgroup(pid_t pid, std::uint64_t quota_us, std::uint64_t period_us);

}  // namespace quorrel::os
