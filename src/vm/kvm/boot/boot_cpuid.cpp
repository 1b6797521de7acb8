#include "vm/kvm/boot/boot_cpuid.h"

#include <cpuid.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "vm/kvm/kvm_abi.h"

namespace quorrel::vm {

namespace {

constexpr std::uint32_t kKvmSignatureLeaf = 0x40000000;
constexpr std::uint32_t kKvmTimingLeaf = 0x40000010;

kvm_cpuid_entry2* find(std::vector<kvm_cpuid_entry2>& t, std::uint32_t function, std::uint32_t index) {
  for (auto& e : t) {
    if (e.function == function && e.index == index) return &e;
  }
  return nullptr;
}


}  // namespace

std::vector<kvm_cpuid_entry2> prepare_boot_cpuid(BootCpuidInputs in) {
  auto& t = in.supported;
  if (auto* leaf1 = find(t, 1, 0)) {
    leaf1->edx |= in.host_leaf1_edx & (1u << 9);
    if (in.tsc_deadline_capable) leaf1->ecx |= in.host_leaf1_ecx & (1u << 24);
  }
  if (in.tsc_khz) {
    const std::size_t missing = (find(t, kKvmSignatureLeaf, 0) ? 0 : 1) + (find(t, kKvmTimingLeaf, 0) ? 0 : 1);
    if (t.size() + missing <= kMaxCpuidEntries) {
      if (auto* sig = find(t, kKvmSignatureLeaf, 0)) {
        sig->eax = std::max(sig->eax, kKvmTimingLeaf);
      } else {
        kvm_cpuid_entry2 e{};
        e.function = kKvmSignatureLeaf;
        e.eax = kKvmTimingLeaf;
        std::memcpy(&e.ebx, "KVMK", 4);
        std::memcpy(&e.ecx, "VMKV", 4);
        std::memcpy(&e.edx, "M\0\0\0", 4);
        t.push_back(e);
      }
      kvm_cpuid_entry2* timing = find(t, kKvmTimingLeaf, 0);
      if (timing == nullptr) {
        t.push_back(kvm_cpuid_entry2{});
        timing = &t.back();
        timing->function = kKvmTimingLeaf;
      }
      timing->eax = *in.tsc_khz;
      timing->ebx = timing->ecx = timing->edx = 0;
      timing->flags = 0;
    }
  }
  std::sort(t.begin(), t.end(), [](const kvm_cpuid_entry2& a, const kvm_cpuid_entry2& b) {
    return a.function != b.function ? a.function < b.function : a.index < b.index;
  });
  return t;
}

std::expected<void, MicrovmError> apply_boot_cpuid(int kvm_fd, const std::vector<int>& vcpu_fds) {
  auto buffer = std::make_unique<kvm_abi::CpuidTable<kMaxCpuidEntries>>();
  buffer->header.nent = kMaxCpuidEntries;
  if (::ioctl(kvm_fd, kvm_abi::kGetSupportedCpuid, buffer.get()) < 0) return std::unexpected(MicrovmError::backend_errno(errno));

  BootCpuidInputs in;
  in.supported.assign(buffer->entries, buffer->entries + buffer->header.nent);
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  __get_cpuid(1, &eax, &ebx, &ecx, &edx);
  in.host_leaf1_ecx = ecx;
  in.host_leaf1_edx = edx;
  in.tsc_deadline_capable = ::ioctl(kvm_fd, KVM_CHECK_EXTENSION, KVM_CAP_TSC_DEADLINE_TIMER) > 0;
  if (::ioctl(kvm_fd, KVM_CHECK_EXTENSION, KVM_CAP_GET_TSC_KHZ) > 0 && !vcpu_fds.empty()) {
    const int khz = ::ioctl(vcpu_fds.front(), KVM_GET_TSC_KHZ, 0);
    if (khz > 0) in.tsc_khz = static_cast<std::uint32_t>(khz);
  }
  const auto table = prepare_boot_cpuid(std::move(in));

  buffer->header.nent = static_cast<std::uint32_t>(table.size());
  std::copy(table.begin(), table.end(), buffer->entries);
  for (int fd : vcpu_fds) {
    if (::ioctl(fd, kvm_abi::kSetCpuid2, buffer.get()) < 0) return std::unexpected(MicrovmError::backend_errno(errno));
  }
  return {};
}

}  // namespace quorrel::vm
