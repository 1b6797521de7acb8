#pragma once

#include <linux/kvm.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <vector>

#include "vm/vm/microvm_error.h"

namespace quorrel::vm {

inline constexpr std::size_t kMaxCpuidEntries = 80;

// The CPUID table given to every vCPU before boot, built from what KVM
// supports plus the APIC / TSC-deadline bits of the host and the KVM
// timing leaves carrying the TSC frequency.
struct BootCpuidInputs {
  std::vector<kvm_cpuid_entry2> supported;
  std::uint32_t host_leaf1_ecx = 0;
  std::uint32_t host_leaf1_edx = 0;
  bool tsc_deadline_capable = false;
  std::optional<std::uint32_t> tsc_khz;  // absent when not available or not positive
};

// Adjusts and sorts the table (pure; tested without KVM).
std::vector<kvm_cpuid_entry2> prepare_boot_cpuid(BootCpuidInputs inputs);

// Gathers the inputs from KVM and the host CPU, then sets the table on
// every vCPU descriptor.
std::expected<void, MicrovmError> apply_boot_cpuid(int kvm_fd, const std::vector<int>& vcpu_fds);

}  // namespace quorrel::vm
