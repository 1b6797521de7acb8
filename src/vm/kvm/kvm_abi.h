#pragma once

// Variable-length KVM ioctl arguments laid out explicitly. The uapi
// structs end in flexible arrays that C++ sizes differently from C (an
// empty helper struct shifts the array and changes the size encoded in the
// ioctl number), so the headers and request numbers are defined here with
// the kernel's C layout.

#include <linux/kvm.h>
#include <sys/ioctl.h>

#include <cstddef>
#include <cstdint>

namespace quorrel::vm::kvm_abi {

struct CpuidHeader {
  std::uint32_t nent;
  std::uint32_t padding;
};

struct MsrsHeader {
  std::uint32_t nmsrs;
  std::uint32_t pad;
};

inline constexpr unsigned long kGetSupportedCpuid = _IOWR(KVMIO, 0x05, CpuidHeader);
inline constexpr unsigned long kSetCpuid2 = _IOW(KVMIO, 0x90, CpuidHeader);
inline constexpr unsigned long kSetMsrs = _IOW(KVMIO, 0x89, MsrsHeader);
static_assert(kGetSupportedCpuid == 0xC008AE05ul);
static_assert(kSetCpuid2 == 0x4008AE90ul);
static_assert(kSetMsrs == 0x4008AE89ul);

template <std::size_t N>
struct CpuidTable {
  CpuidHeader header{};
  kvm_cpuid_entry2 entries[N]{};
};

template <std::size_t N>
struct MsrTable {
  MsrsHeader header{};
  kvm_msr_entry entries[N]{};
};

static_assert(offsetof(CpuidTable<1>, entries) == 8);
static_assert(offsetof(MsrTable<1>, entries) == 8);

}  // namespace quorrel::vm::kvm_abi
