// One-time vCPU preparation for the direct 64-bit entry, and the boot run
// that lasts until the guest agent prints "READY".
#include <linux/kvm.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "vm/kvm/boot/boot_cpuid.h"
#include "vm/kvm/devices/serial/frame_encoders.h"
#include "vm/kvm/kernel_loader.h"
#include "vm/kvm/kvm_abi.h"
#include "vm/kvm/kvm_backend.h"

namespace quorrel::vm {

namespace {

std::unexpected<MicrovmError> os_error() { return std::unexpected(MicrovmError::backend_errno(errno)); }

constexpr std::uint64_t kGdt[] = {0, 0x00AF9B000000FFFF, 0x00CF93000000FFFF, 0x008F8B000000FFFF};

kvm_segment code_segment() {
  kvm_segment s{};
  s.base = 0;
  s.limit = 0xFFFFFFFF;
  s.selector = 0x08;
  s.type = 0xB;
  s.present = 1;
  s.dpl = 0;
  s.db = 0;
  s.s = 1;
  s.l = 1;
  s.g = 1;
  return s;
}

kvm_segment data_segment() {
  kvm_segment s{};
  s.base = 0;
  s.limit = 0xFFFFFFFF;
  s.selector = 0x10;
  s.type = 0x3;
  s.present = 1;
  s.db = 1;
  s.s = 1;
  s.l = 0;
  s.g = 1;
  return s;
}

kvm_segment task_segment() {
  kvm_segment s{};
  s.limit = 0xFFFFFFFF;
  s.selector = 0x18;
  s.type = 0xB;
  s.present = 1;
  s.s = 0;
  s.g = 1;
  return s;
}

constexpr std::uint32_t kBootMsrIndices[] = {0x174, 0x175, 0x176, 0xC0000081, 0xC0000083, 0xC0000102,
                                             0xC0000084, 0xC0000082, 0x10, 0x1B, 0x1A0, 0x2FF};
constexpr std::size_t kBootMsrCount = std::size(kBootMsrIndices);


// Local APIC register access inside the kvm_lapic_state blob.
std::uint32_t lapic_get(const kvm_lapic_state& s, std::size_t reg) {
  std::uint32_t v = 0;
  std::memcpy(&v, s.regs + reg, 4);
  return v;
}
void lapic_set(kvm_lapic_state& s, std::size_t reg, std::uint32_t v) { std::memcpy(s.regs + reg, &v, 4); }

constexpr std::size_t kApicSpurious = 0xF0;
constexpr std::size_t kApicLvtLint0 = 0x350;
constexpr std::size_t kApicLvtLint1 = 0x360;

std::uint32_t with_delivery_mode(std::uint32_t lvt, std::uint32_t mode) { return (lvt & ~0x700u) | (mode << 8); }

}  // namespace

std::expected<void, MicrovmError> KvmBackend::apply_boot_cpuid_to_vcpus() {
  std::vector<int> fds;
  for (const auto& v : vcpus_) fds.push_back(v.fd());
  return apply_boot_cpuid(kvm_fd_.get(), fds);
}

std::expected<void, MicrovmError> KvmBackend::prepare_vcpu(std::size_t index) {
  const int fd = vcpus_[index].fd();

  kvm_sregs sregs{};
  if (::ioctl(fd, KVM_GET_SREGS, &sregs) < 0) return os_error();
  std::string tables(sizeof kGdt + 8, '\0');
  std::memcpy(tables.data(), kGdt, sizeof kGdt);  // the IDT slot after it stays zero
  if (auto ok = write_guest_bytes(kGdtAddress, tables); !ok) return ok;
  sregs.cs = code_segment();
  sregs.ds = sregs.es = sregs.fs = sregs.gs = sregs.ss = data_segment();
  sregs.tr = task_segment();
  sregs.gdt.base = kGdtAddress;
  sregs.gdt.limit = 31;
  sregs.idt.base = kIdtAddress;
  sregs.idt.limit = 7;
  std::string page(4096, '\0');
  const std::uint64_t pml4e = kPdptAddress | 0x3, pdpte = kPageDirectoryAddress | 0x3;
  std::memcpy(page.data(), &pml4e, 8);
  if (auto ok = write_guest_bytes(kPml4Address, page); !ok) return ok;
  std::memcpy(page.data(), &pdpte, 8);
  if (auto ok = write_guest_bytes(kPdptAddress, page); !ok) return ok;
  for (std::uint64_t i = 0; i < 512; ++i) {
    const std::uint64_t pde = i * 0x200000 + 0x83;
    std::memcpy(page.data() + i * 8, &pde, 8);
  }
  if (auto ok = write_guest_bytes(kPageDirectoryAddress, page); !ok) return ok;
  sregs.cr3 = kPml4Address;
  sregs.cr4 |= 0x20;
  sregs.cr0 |= 0x80000001;
  sregs.efer |= 0x500;
  if (::ioctl(fd, KVM_SET_SREGS, &sregs) < 0) return os_error();

  kvm_fpu fpu{};
  fpu.fcw = 0x37F;
  fpu.mxcsr = 0x1F80;
  if (::ioctl(fd, KVM_SET_FPU, &fpu) < 0) return os_error();

  kvm_abi::MsrTable<kBootMsrCount> msrs;
  msrs.header.nmsrs = kBootMsrCount;
  kvm_msr_entry* e = msrs.entries;
  for (std::size_t i = 0; i < kBootMsrCount; ++i) {
    e[i].index = kBootMsrIndices[i];
    e[i].data = 0;
  }
  e[9].data = index == 0 ? 0xFEE00900 : 0xFEE00800;
  e[10].data = 1;
  e[11].data = 0x806;
  const int written = ::ioctl(fd, kvm_abi::kSetMsrs, &msrs);
  if (written < 0) return os_error();
  if (static_cast<std::size_t>(written) < kBootMsrCount) {
    return std::unexpected(MicrovmError::backend("启动 MSR 仅写入 " + std::to_string(written) + "/" +
                                                 std::to_string(kBootMsrCount) + " 项"));
  }

  if (in_kernel_irqchip_) {
    kvm_lapic_state lapic{};
    if (::ioctl(fd, KVM_GET_LAPIC, &lapic) < 0) return os_error();
    std::uint32_t svr = lapic_get(lapic, kApicSpurious);
    if ((svr & 0xFF) == 0) svr |= 0xFF;
    svr |= 0x100;
    lapic_set(lapic, kApicSpurious, svr);
    lapic_set(lapic, kApicLvtLint0, with_delivery_mode(lapic_get(lapic, kApicLvtLint0), 7));
    lapic_set(lapic, kApicLvtLint1, with_delivery_mode(lapic_get(lapic, kApicLvtLint1), 4));
    if (::ioctl(fd, KVM_SET_LAPIC, &lapic) < 0) return os_error();
  }

  kvm_regs regs{};
  if (::ioctl(fd, KVM_GET_REGS, &regs) < 0) return os_error();
  regs.rip = kernel_entry_;
  regs.rsp = kBootStackTop;
  regs.rbp = kBootStackTop;
  regs.rsi = kZeroPageAddress;
  regs.rflags = 0x2;
  if (::ioctl(fd, KVM_SET_REGS, &regs) < 0) return os_error();
  return {};
}

std::uint64_t KvmBackend::boot_timeout_secs(std::optional<std::uint64_t> default_timeout) {
  return default_timeout && *default_timeout > kDefaultWaitSecs ? *default_timeout : kDefaultWaitSecs;
}

namespace {

std::string optional_debug(const std::optional<std::string>& s) { return s ? "Some(\"" + *s + "\")" : "None"; }

std::string history_list(const std::deque<std::string>& h) {
  std::string out = "[";
  for (std::size_t i = 0; i < h.size(); ++i) {
    if (i > 0) out += ", ";
    out += "\"" + h[i] + "\"";
  }
  return out + "]";
}

}  // namespace

std::expected<KvmExitReason, MicrovmError> KvmBackend::boot() {
  if (state_ != BackendState::Ready) return std::unexpected(MicrovmError::not_ready());
  if (guest_ready_) return KvmExitReason::Io;
  state_ = BackendState::Running;

  auto run = [&]() -> std::expected<KvmExitReason, MicrovmError> {
    if (!booted_) {
      if (auto ok = apply_boot_cpuid_to_vcpus(); !ok) return std::unexpected(ok.error());
      for (std::size_t i = 0; i < vcpus_.size(); ++i) {
        if (auto ok = prepare_vcpu(i); !ok) return std::unexpected(ok.error());
      }
    }
    auto watchdog = start_watchdog(core::Duration::from_secs(boot_timeout_secs(sandbox_config_.timeout_secs)));
    if (!watchdog) return std::unexpected(watchdog.error());
    FrameBuffer frames;
    for (;;) {
      auto step = run_vcpu_step(frames, nullptr, &*watchdog);
      if (!step) {
        if (!watchdog->fired()) return std::unexpected(step.error());
        std::string last_exit = last_exit_ ? "Some(" + std::string(exit_reason_name(*last_exit_)) + ")" : "None";
        return std::unexpected(MicrovmError::backend(
            "guest boot timed out: " + step.error().text() + "; last_exit=" + last_exit +
            "; last_io=" + optional_debug(last_io_) + "; io_history=" + history_list(io_history_) +
            "; serial=" + preview_serial_output(console_output_)));
      }
      if (std::holds_alternative<SerialProtocolResult>(*step)) {
        return std::unexpected(MicrovmError::backend("protocol completion event received unexpectedly during boot"));
      }
      const auto reason = std::get<KvmExitReason>(*step);
      if (reason == KvmExitReason::Io) {
        if (guest_ready_) return reason;
        continue;
      }
      if (reason == KvmExitReason::Hlt || reason == KvmExitReason::Shutdown) return reason;
      // InternalError always arrives as an error value; keep looping is not reachable.
      return reason;
    }
  };

  auto result = run();
  state_ = BackendState::Ready;
  if (result) {
    booted_ = true;
    guest_ready_ = *result == KvmExitReason::Io;
  }
  return result;
}

}  // namespace quorrel::vm
