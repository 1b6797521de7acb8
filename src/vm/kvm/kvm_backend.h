#pragma once

#include <cstdint>
#include <deque>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/duration.h"
#include "core/sandbox.h"
#include "vm/http_proxy/http_proxy.h"
#include "vm/kvm/asset_cache.h"
#include "vm/kvm/devices/serial/serial_device.h"
#include "vm/kvm/devices/serial/serial_protocol.h"
#include "vm/kvm/event_channel.h"
#include "vm/kvm/guest_command.h"
#include "vm/kvm/guest_memory.h"
#include "vm/kvm/unique_fd.h"
#include "vm/kvm/vcpu_watchdog.h"
#include "vm/vm/microvm_config.h"
#include "vm/vm/microvm_error.h"

struct kvm_run;

namespace quorrel::vm {

enum class BackendState : std::uint8_t { Ready, Running, Destroyed };

// Why a KVM_RUN ended, as far as the operation loops care.
enum class KvmExitReason : std::uint8_t { Io, Hlt, Shutdown, InternalError };
std::string_view exit_reason_name(KvmExitReason r);

// One step of the vCPU loop: an exit the caller must look at (Io: nothing
// of interest) or a parsed serial frame.
using VcpuStepOutcome = std::variant<KvmExitReason, SerialProtocolResult>;

using GuestEventChannel = EventChannel<GuestStreamEvent>;

inline constexpr std::size_t kIoHistoryCapacity = 16;
inline constexpr std::size_t kStreamChannelCapacity = 32;
inline constexpr std::uint64_t kDefaultWaitSecs = 30;

// Where construction finds KVM and which interrupt controller it creates.
// Production code uses the defaults; tests point `device` at a missing file
// and turn the in-kernel irqchip off to see HLT exits (with the in-kernel
// irqchip KVM keeps a halted vCPU inside KVM_RUN).
struct KvmBuildOptions {
  std::filesystem::path device = "/dev/kvm";
  bool in_kernel_irqchip = true;
};

// One vCPU: its descriptor and its mapped kvm_run area.
class Vcpu {
 public:
  Vcpu(UniqueFd fd, kvm_run* run, std::size_t run_size) : fd_(std::move(fd)), run_(run), run_size_(run_size) {}
  Vcpu(Vcpu&& o) noexcept;
  Vcpu& operator=(Vcpu&&) = delete;
  ~Vcpu();

  int fd() const { return fd_.get(); }
  kvm_run* run() const { return run_; }

 private:
  UniqueFd fd_;
  kvm_run* run_ = nullptr;
  std::size_t run_size_ = 0;
};

// One microVM: a KVM virtual machine with its RAM, vCPUs and UART, driven
// by the calling thread during each operation.
class KvmBackend {
 public:
  // --- construction (kvm_backend.cpp)
  static std::expected<std::unique_ptr<KvmBackend>, MicrovmError> create_vm(const core::SandboxConfig& sandbox_config,
                                                                            const MicrovmConfig& microvm_config);
  static std::expected<std::unique_ptr<KvmBackend>, MicrovmError> create_vm_with_mode(
      const core::SandboxConfig& sandbox_config, const MicrovmConfig& microvm_config, bool restore_mode);
  static std::expected<std::unique_ptr<KvmBackend>, MicrovmError> create_vm_with_options(
      const core::SandboxConfig& sandbox_config, const MicrovmConfig& microvm_config, bool restore_mode,
      const KvmBuildOptions& options);

  KvmBackend(const KvmBackend&) = delete;
  KvmBackend& operator=(const KvmBackend&) = delete;
  ~KvmBackend();

  // --- lifecycle (kvm_backend.cpp)
  // Marks the backend Destroyed and releases descriptors, mappings and assets.
  void destroy();
  // Forgets console output, the last command and the I/O diagnostics.
  void clear_pool_artifacts();

  // --- loading and boot (kernel_loading.cpp, boot.cpp)
  std::expected<void, MicrovmError> load_kernel();
  std::expected<void, MicrovmError> load_initrd();
  std::expected<void, MicrovmError> write_boot_params();
  std::expected<void, MicrovmError> write_guest_bytes(std::uint64_t address, std::string_view bytes);
  std::expected<void, MicrovmError> zero_guest_range(std::uint64_t address, std::uint64_t length);
  std::expected<void, MicrovmError> apply_boot_cpuid_to_vcpus();
  std::expected<KvmExitReason, MicrovmError> boot();
  // The boot watchdog: the default command timeout when above 30 s, else 30 s.
  static std::uint64_t boot_timeout_secs(std::optional<std::uint64_t> default_timeout);

  // --- vCPU loop (run_loop.cpp)
  std::expected<VcpuStepOutcome, MicrovmError> run_vcpu_step(FrameBuffer& frame_buffer, ResponseCollector* collector,
                                                             const VcpuRunWatchdog* watchdog);
  std::expected<VcpuRunWatchdog, MicrovmError> start_watchdog(core::Duration timeout);
  void push_io_detail(std::string text);

  // --- guest commands (guest_commands.cpp, guest_streaming.cpp)
  std::expected<void, MicrovmError> ensure_guest_ready();
  std::expected<core::Duration, MicrovmError> ping_with_timeout(core::Duration timeout);
  std::expected<GuestCommandResult, MicrovmError> run_command_with_options(const std::vector<std::string>& argv,
                                                                           const GuestCommandOptions& options);
  std::expected<GuestCommandResult, MicrovmError> run_command_over_serial(const std::vector<std::string>& argv,
                                                                          const std::map<std::string, std::string>& env,
                                                                          std::optional<std::uint64_t> timeout_secs,
                                                                          const std::optional<std::string>& cwd);
  std::expected<GuestCommandResult, MicrovmError> run_until_command_result(std::optional<std::uint64_t> timeout_secs);
  std::expected<GuestEventChannel::Receiver, MicrovmError> run_command_streaming_with_options(
      const std::vector<std::string>& argv, const GuestCommandOptions& options);
  static std::expected<std::optional<std::uint64_t>, MicrovmError> effective_command_timeout_secs(
      std::optional<std::uint64_t> default_secs, std::optional<core::Duration> per_command);

  // --- HTTP requests through the host proxy (guest_http.cpp)
  // Serves one guest HTTP:REQUEST frame: the reply frames are queued on the
  // UART; a proxy failure is an ERROR frame, not an error of the operation.
  std::expected<void, MicrovmError> run_http_proxy_request(std::uint32_t id, http_proxy::HttpRequest request);
  // The host caller's request; the guest takes no part.
  std::expected<http_proxy::HttpProxyResponse, MicrovmError> http_request(http_proxy::HttpRequest request);
  // Test seam: the resolver and trust settings the exchanges use.
  void set_http_exchange_for_testing(http_proxy::Resolver resolver, http_proxy::ExchangeSettings settings);

  // --- state and diagnostics
  BackendState state() const { return state_; }
  bool booted() const { return booted_; }
  bool guest_ready() const { return guest_ready_; }
  const core::SandboxConfig& sandbox_config() const { return sandbox_config_; }
  const MicrovmConfig& microvm_config() const { return microvm_config_; }
  int kvm_fd() const { return kvm_fd_.get(); }
  int vm_fd() const { return vm_fd_.get(); }
  std::size_t vcpu_count() const { return vcpus_.size(); }
  const Vcpu& vcpu(std::size_t i) const { return vcpus_.at(i); }
  GuestMemory& memory() { return memory_; }
  const SharedBytes& kernel_bytes() const { return kernel_; }
  const SharedBytes& initrd_bytes() const { return initrd_; }
  std::uint64_t kernel_entry() const { return kernel_entry_; }
  std::uint64_t kernel_end() const { return kernel_end_; }
  std::uint64_t initrd_addr() const { return initrd_addr_; }
  SerialDevice& serial() { return serial_; }
  const std::string& console_output() const { return console_output_; }
  const std::string& last_command() const { return last_command_; }
  std::optional<KvmExitReason> last_exit() const { return last_exit_; }
  const std::optional<std::string>& last_io() const { return last_io_; }
  const std::deque<std::string>& io_history() const { return io_history_; }

  // Restore support: the snapshot layer sets these from saved state.
  void set_booted(bool b) { booted_ = b; }
  void set_guest_ready(bool r) { guest_ready_ = r; }

 private:
  KvmBackend() = default;

  std::expected<void, MicrovmError> register_guest_memory();
  std::expected<void, MicrovmError> prepare_vcpu(std::size_t index);
  std::expected<VcpuStepOutcome, MicrovmError> handle_exit(kvm_run& run, FrameBuffer& frame_buffer,
                                                           ResponseCollector* collector);
  void mark_timed_out();
  void finish_operation();

  core::SandboxConfig sandbox_config_;
  MicrovmConfig microvm_config_;
  bool in_kernel_irqchip_ = true;
  std::optional<std::pair<http_proxy::Resolver, http_proxy::ExchangeSettings>> http_exchange_override_;

  UniqueFd kvm_fd_;
  UniqueFd vm_fd_;
  std::size_t run_mmap_size_ = 0;
  std::vector<Vcpu> vcpus_;
  GuestMemory memory_;

  SharedBytes kernel_;
  SharedBytes initrd_;

  std::uint64_t kernel_entry_ = 0;
  std::uint64_t kernel_end_ = 0;
  std::uint64_t initrd_addr_ = 0;

  SerialDevice serial_;
  std::string console_output_;
  std::string last_command_;

  std::optional<KvmExitReason> last_exit_;
  std::optional<std::string> last_io_;
  std::deque<std::string> io_history_;

  bool booted_ = false;
  bool guest_ready_ = false;
  BackendState state_ = BackendState::Ready;
};

// Sends a finished command's output and end as stream events.
void emit_command_result_as_stream(GuestEventChannel::Sender& sender, const GuestCommandResult& result);

}  // namespace quorrel::vm
