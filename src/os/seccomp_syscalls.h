#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/seccomp.h"

namespace quorrel::os {

// System calls allowed under every profile, by x86-64 number. The stored
// list holds newfstatat twice; the program builder removes duplicates.
std::span<const std::uint32_t> essential_syscalls();
// Appended for the network profiles.
std::span<const std::uint32_t> network_syscalls();
// Appended for the fork profiles.
std::span<const std::uint32_t> fork_syscalls();

// The allowed numbers of a profile, sorted ascending without duplicates.
std::vector<std::uint32_t> allowed_syscalls(core::SeccompProfile profile);

}  // namespace quorrel::os
