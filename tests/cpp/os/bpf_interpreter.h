#pragma once

#include <linux/filter.h>

#include <cstdint>
#include <optional>
#include <vector>

// Evaluates a classic-BPF seccomp program the way the kernel does for the
// instructions the filter builder emits, on an x86-64 seccomp_data record.
struct SeccompInput {
  std::uint32_t nr = 0;
  std::uint32_t arch = 0xC000003E;
  std::uint64_t args[6] = {};
};

// The returned action, or nullopt for a malformed program (an unknown
// instruction, a jump out of range, running off the end).
std::optional<std::uint32_t> run_seccomp_program(const std::vector<sock_filter>& program, const SeccompInput& in);
