#pragma once

#include <linux/filter.h>

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "core/seccomp.h"

namespace quorrel::os {

inline constexpr std::uint32_t kSeccompRetTrap = 0x00030000;
inline constexpr std::uint32_t kSeccompRetAllow = 0x7FFF0000;
// SECCOMP_RET_ERRNO | ENOSYS: the answer to clone3, so that glibc falls back
// to the argument-checked clone.
inline constexpr std::uint32_t kSeccompRetEnosys = 0x00050000 | 38;
inline constexpr std::uint32_t kAuditArchX86_64 = 0xC000003E;
inline constexpr std::uint32_t kSysClone3 = 435;
inline constexpr std::size_t kSeccompMaxInstructions = 4096;

// Builds the classic-BPF program of a profile: an architecture check, then
// one equality test per allowed number in ascending order (each followed by
// its argument-check block where the call has one), TRAP, ALLOW. The error
// is an internal invariant of the fixed lists and never depends on input.
std::expected<std::vector<sock_filter>, std::string> build_seccomp_program(core::SeccompProfile profile);

// The program of a profile, built once per process and kept; nullptr (with
// the builder's message in *error) when the builder failed.
const std::vector<sock_filter>* cached_seccomp_program(core::SeccompProfile profile, std::string* error);

}  // namespace quorrel::os
