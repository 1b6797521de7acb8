// Construction and destruction of a KvmBackend.
#include "vm/kvm/kvm_backend.h"

#include <fcntl.h>
#include <linux/kvm.h>
#include <sys/ioctl.h>
#include <sys/mman.h>

#include <cerrno>

namespace quorrel::vm {

namespace {

constexpr std::uint64_t kIdentityMapAddress = 0xFFFBC000;
constexpr std::uint64_t kTssAddress = 0xFFFBD000;

std::unexpected<MicrovmError> os_error() { return std::unexpected(MicrovmError::backend_errno(errno)); }

}  // namespace

std::string_view exit_reason_name(KvmExitReason r) {
  switch (r) {
    case KvmExitReason::Io: return "Io";
    case KvmExitReason::Hlt: return "Hlt";
    case KvmExitReason::Shutdown: return "Shutdown";
    case KvmExitReason::InternalError: return "InternalError";
  }
  return "?";
}

Vcpu::Vcpu(Vcpu&& o) noexcept
    : fd_(std::move(o.fd_)), run_(std::exchange(o.run_, nullptr)), run_size_(std::exchange(o.run_size_, 0)) {}

Vcpu::~Vcpu() {
  if (run_ != nullptr) ::munmap(run_, run_size_);
}

std::expected<std::unique_ptr<KvmBackend>, MicrovmError> KvmBackend::create_vm(const core::SandboxConfig& sandbox_config,
                                                                               const MicrovmConfig& microvm_config) {
  return create_vm_with_mode(sandbox_config, microvm_config, false);
}

std::expected<std::unique_ptr<KvmBackend>, MicrovmError> KvmBackend::create_vm_with_mode(
    const core::SandboxConfig& sandbox_config, const MicrovmConfig& microvm_config, bool restore_mode) {
  return create_vm_with_options(sandbox_config, microvm_config, restore_mode, KvmBuildOptions{});
}

std::expected<std::unique_ptr<KvmBackend>, MicrovmError> KvmBackend::create_vm_with_options(
    const core::SandboxConfig& sandbox_config, const MicrovmConfig& microvm_config, bool restore_mode,
    const KvmBuildOptions& options) {
  if (auto ok = microvm_config.validate(); !ok) return std::unexpected(ok.error());

  // Everything opened below is owned by `vm` and released with it on failure.
  std::unique_ptr<KvmBackend> vm(new KvmBackend());
  vm->sandbox_config_ = sandbox_config;
  vm->microvm_config_ = microvm_config;
  vm->in_kernel_irqchip_ = options.in_kernel_irqchip;

  vm->kvm_fd_.reset(::open(options.device.c_str(), O_RDWR | O_CLOEXEC));
  if (!vm->kvm_fd_) return os_error();
  vm->vm_fd_.reset(::ioctl(vm->kvm_fd_.get(), KVM_CREATE_VM, 0));
  if (!vm->vm_fd_) return os_error();
  const int run_size = ::ioctl(vm->kvm_fd_.get(), KVM_GET_VCPU_MMAP_SIZE, 0);
  if (run_size < 1) return os_error();
  vm->run_mmap_size_ = static_cast<std::size_t>(run_size);

  if (options.in_kernel_irqchip) {
    if (::ioctl(vm->vm_fd_.get(), KVM_CREATE_IRQCHIP, 0) < 0) return os_error();
    kvm_pit_config pit{};
    pit.flags = KVM_PIT_SPEAKER_DUMMY;
    if (::ioctl(vm->vm_fd_.get(), KVM_CREATE_PIT2, &pit) < 0) return os_error();
  }
  std::uint64_t identity_map = kIdentityMapAddress;
  if (::ioctl(vm->vm_fd_.get(), KVM_SET_IDENTITY_MAP_ADDR, &identity_map) < 0) return os_error();
  if (::ioctl(vm->vm_fd_.get(), KVM_SET_TSS_ADDR, static_cast<unsigned long>(kTssAddress)) < 0) return os_error();

  auto memory = GuestMemory::allocate(std::uint64_t{microvm_config.memory_mb} * 1048576);
  if (!memory) return std::unexpected(MicrovmError::backend(memory.error()));
  vm->memory_ = std::move(*memory);
  vm->memory_.advise_huge_pages();

  if (!restore_mode) {
    auto kernel = ASSET_CACHE().get_kernel(microvm_config.kernel_path);
    if (!kernel) return std::unexpected(kernel.error());
    auto initrd = ASSET_CACHE().get_rootfs(microvm_config.rootfs_path);
    if (!initrd) return std::unexpected(initrd.error());
    if (auto ok = validate_initrd_image(**initrd); !ok) return std::unexpected(ok.error());
    vm->kernel_ = std::move(*kernel);
    vm->initrd_ = std::move(*initrd);
  }

  vm->vcpus_.reserve(microvm_config.vcpu_count);
  for (unsigned id = 0; id < microvm_config.vcpu_count; ++id) {
    UniqueFd fd(::ioctl(vm->vm_fd_.get(), KVM_CREATE_VCPU, static_cast<unsigned long>(id)));
    if (!fd) return os_error();
    void* run = ::mmap(nullptr, vm->run_mmap_size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (run == MAP_FAILED) return os_error();
    vm->vcpus_.emplace_back(std::move(fd), static_cast<kvm_run*>(run), vm->run_mmap_size_);
  }

  if (auto ok = vm->register_guest_memory(); !ok) return std::unexpected(ok.error());
  if (restore_mode) return vm;

  if (auto ok = vm->load_kernel(); !ok) return std::unexpected(ok.error());
  if (auto ok = vm->load_initrd(); !ok) return std::unexpected(ok.error());
  if (auto ok = vm->write_boot_params(); !ok) return std::unexpected(ok.error());
  return vm;
}

std::expected<void, MicrovmError> KvmBackend::register_guest_memory() {
  if (memory_.host_address() == nullptr) return std::unexpected(MicrovmError::backend("no guest memory region contains address 0x0"));
  kvm_userspace_memory_region region{};
  region.slot = 0;
  region.flags = 0;
  region.guest_phys_addr = 0;
  region.memory_size = memory_.size();
  region.userspace_addr = reinterpret_cast<std::uint64_t>(memory_.host_address());
  if (::ioctl(vm_fd_.get(), KVM_SET_USER_MEMORY_REGION, &region) < 0) return os_error();
  return {};
}

KvmBackend::~KvmBackend() {
  // vCPUs and the VM go before the memory they map.
  vcpus_.clear();
  vm_fd_.reset();
  kvm_fd_.reset();
}

void KvmBackend::destroy() {
  booted_ = false;
  guest_ready_ = false;
  state_ = BackendState::Destroyed;
  vcpus_.clear();  // unmaps the kvm_run areas and closes the vCPU descriptors
  vm_fd_.reset();
  kvm_fd_.reset();
  memory_ = GuestMemory();
  kernel_.reset();
  initrd_.reset();
}

void KvmBackend::clear_pool_artifacts() {
  console_output_.clear();
  last_command_.clear();
  last_exit_.reset();
  last_io_.reset();
  io_history_.clear();
}

}  // namespace quorrel::vm
