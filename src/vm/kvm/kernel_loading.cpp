// Placing the kernel, the initrd and the boot parameters in guest RAM.
#include <cstring>

#include "vm/kvm/kernel_loader.h"
#include "vm/kvm/kvm_backend.h"

namespace quorrel::vm {

std::expected<void, MicrovmError> KvmBackend::write_guest_bytes(std::uint64_t address, std::string_view bytes) {
  if (auto ok = memory_.write(address, bytes); !ok) return std::unexpected(MicrovmError::backend(ok.error()));
  return {};
}

std::expected<void, MicrovmError> KvmBackend::zero_guest_range(std::uint64_t address, std::uint64_t length) {
  return vm::zero_guest_range(memory_, address, length);
}

std::expected<void, MicrovmError> KvmBackend::load_kernel() {
  static const std::string empty;
  auto loaded = load_elf_kernel(kernel_ ? *kernel_ : empty, memory_, kernel_end_);
  if (!loaded) return std::unexpected(loaded.error());
  kernel_entry_ = loaded->entry;
  kernel_end_ = loaded->end;
  return {};
}

std::expected<void, MicrovmError> KvmBackend::load_initrd() {
  auto addr = initrd_load_address(kernel_end_);
  if (!addr) return std::unexpected(addr.error());
  initrd_addr_ = *addr;
  return write_guest_bytes(initrd_addr_, initrd_ ? std::string_view(*initrd_) : std::string_view());
}

std::expected<void, MicrovmError> KvmBackend::write_boot_params() {
  std::string cmdline(kKernelCommandLine);
  cmdline.push_back('\0');
  if (auto ok = write_guest_bytes(kCommandLineAddress, cmdline); !ok) return ok;
  auto zp = build_zero_page(kernel_entry_, initrd_addr_, initrd_ ? initrd_->size() : 0, microvm_config_.memory_mb);
  if (!zp) return std::unexpected(zp.error());
  return write_guest_bytes(kZeroPageAddress, std::string_view(reinterpret_cast<const char*>(zp->data()), zp->size()));
}

}  // namespace quorrel::vm
