// One KVM_RUN of the first vCPU and the emulation of the exit that ends it.
#include <linux/kvm.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "vm/kvm/kvm_backend.h"

#ifndef KVM_EXIT_MEMORY_FAULT
#define KVM_EXIT_MEMORY_FAULT 39
#endif
#ifndef EHWPOISON
#define EHWPOISON 133
#endif

namespace quorrel::vm {

namespace {

std::string hex(std::uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%#llx", static_cast<unsigned long long>(v));
  return buf;
}

// Value a guest read of a port other than the UART sees, byte by byte.
void fill_port_read(std::uint16_t port, std::uint8_t* data, std::size_t len) {
  if (port == 0x61 && len == 1) {
    data[0] = 0x20;  // PIT channel 2 output high: delay loops terminate
  } else if (port == 0x64 && len == 1) {
    data[0] = 0x00;  // keyboard controller idle
  } else if (port >= 0xCFC && port <= 0xCFF) {
    std::memset(data, 0xFF, len);  // no PCI device answers
  } else {
    std::memset(data, 0, len);
  }
}

std::string describe_exit(const kvm_run& run) {
  std::string s = "exit_reason=" + std::to_string(run.exit_reason);
  switch (run.exit_reason) {
    case KVM_EXIT_UNKNOWN:
      return s + " (Unknown, hardware_exit_reason=" + hex(run.hw.hardware_exit_reason) + ")";
    case KVM_EXIT_EXCEPTION:
      return s + " (Exception, exception=" + std::to_string(run.ex.exception) +
             ", error_code=" + hex(run.ex.error_code) + ")";
    case KVM_EXIT_HYPERCALL: return s + " (Hypercall, nr=" + std::to_string(run.hypercall.nr) + ")";
    case KVM_EXIT_DEBUG: return s + " (Debug, pc=" + hex(run.debug.arch.pc) + ")";
    case KVM_EXIT_IRQ_WINDOW_OPEN: return s + " (IrqWindowOpen)";
    case KVM_EXIT_FAIL_ENTRY:
      return s + " (FailEntry, hardware_entry_failure_reason=" + hex(run.fail_entry.hardware_entry_failure_reason) + ")";
    case KVM_EXIT_INTR: return s + " (Intr)";
    case KVM_EXIT_NMI: return s + " (Nmi)";
    case KVM_EXIT_SYSTEM_EVENT: return s + " (SystemEvent, type=" + std::to_string(run.system_event.type) + ")";
    case KVM_EXIT_MEMORY_FAULT: return s + " (MemoryFault)";
    default: return s;
  }
}

}  // namespace

void KvmBackend::push_io_detail(std::string text) {
  last_io_ = text;
  if (io_history_.size() >= kIoHistoryCapacity) io_history_.pop_front();
  io_history_.push_back(std::move(text));
}

std::expected<VcpuRunWatchdog, MicrovmError> KvmBackend::start_watchdog(core::Duration timeout) {
  if (vcpus_.empty()) return std::unexpected(MicrovmError::backend("at least one vCPU is required"));
  return VcpuRunWatchdog::start(vcpus_.front().run(), timeout);
}

std::expected<VcpuStepOutcome, MicrovmError> KvmBackend::run_vcpu_step(FrameBuffer& frame_buffer,
                                                                       ResponseCollector* collector,
                                                                       const VcpuRunWatchdog* watchdog) {
  if (vcpus_.empty()) return std::unexpected(MicrovmError::backend("at least one vCPU is required"));
  const Vcpu& vcpu = vcpus_.front();
  kvm_run& run = *vcpu.run();
  if (::ioctl(vcpu.fd(), KVM_RUN, 0) < 0) {
    const int err = errno;
    if ((err == EFAULT || err == EHWPOISON) && run.exit_reason == KVM_EXIT_MEMORY_FAULT) {
      last_exit_ = KvmExitReason::InternalError;
      return std::unexpected(MicrovmError::backend("unhandled vCPU exit: " + describe_exit(run)));
    }
    const std::string text = core::IoError::from_errno(err).to_string();
    if (watchdog != nullptr && watchdog->fired()) {
      return std::unexpected(MicrovmError::backend("KVM_RUN interrupted by watchdog: " + text));
    }
    return std::unexpected(MicrovmError::backend(text));
  }
  return handle_exit(run, frame_buffer, collector);
}

std::expected<VcpuStepOutcome, MicrovmError> KvmBackend::handle_exit(kvm_run& run, FrameBuffer& frame_buffer,
                                                                     ResponseCollector* collector) {
  const bool record = collector != nullptr;
  switch (run.exit_reason) {
    case KVM_EXIT_IO: {
      auto* data = reinterpret_cast<std::uint8_t*>(&run) + run.io.data_offset;
      const std::size_t len = std::size_t{run.io.size} * run.io.count;
      const std::uint16_t port = run.io.port;
      const bool serial = is_serial_port(port);
      if (run.io.direction == KVM_EXIT_IO_IN) {
        if (record) push_io_detail(std::string(serial ? "serial in" : "pio in") + " port=" + hex(port) + " size=" + std::to_string(len));
        if (serial) {
          serial_.read(port, std::span(data, len));
        } else {
          fill_port_read(port, data, len);
        }
        last_exit_ = KvmExitReason::Io;
        return KvmExitReason::Io;
      }
      if (record) push_io_detail(std::string(serial ? "serial out" : "pio out") + " port=" + hex(port) + " size=" + std::to_string(len));
      if (serial) {
        auto out = handle_serial_write(serial_, console_output_, guest_ready_, port, std::span<const std::uint8_t>(data, len),
                                       frame_buffer, collector);
        if (!out) return std::unexpected(std::move(out.error()));
        if (out->has_value()) return VcpuStepOutcome(std::move(**out));
        last_exit_ = KvmExitReason::Io;
        return KvmExitReason::Io;
      }
      if (port == 0x64 && len == 1 && data[0] == 0xFE) {
        last_exit_ = KvmExitReason::Shutdown;  // keyboard-controller reset line
        return KvmExitReason::Shutdown;
      }
      last_exit_ = KvmExitReason::Io;
      return KvmExitReason::Io;
    }
    case KVM_EXIT_MMIO: {
      const std::size_t len = std::min<std::size_t>(run.mmio.len, sizeof run.mmio.data);
      if (run.mmio.is_write) {
        if (record) push_io_detail("mmio write addr=" + hex(run.mmio.phys_addr) + " size=" + std::to_string(len));
      } else {
        if (record) push_io_detail("mmio read addr=" + hex(run.mmio.phys_addr) + " size=" + std::to_string(len));
        std::memset(run.mmio.data, 0, len);
      }
      last_exit_ = KvmExitReason::Io;
      return KvmExitReason::Io;
    }
    case KVM_EXIT_HLT: last_exit_ = KvmExitReason::Hlt; return KvmExitReason::Hlt;
    case KVM_EXIT_SHUTDOWN: last_exit_ = KvmExitReason::Shutdown; return KvmExitReason::Shutdown;
    case KVM_EXIT_INTERNAL_ERROR:
      last_exit_ = KvmExitReason::InternalError;
      return std::unexpected(MicrovmError::backend("vCPU entered KVM_EXIT_INTERNAL_ERROR"));
    default:
      last_exit_ = KvmExitReason::InternalError;
      return std::unexpected(MicrovmError::backend("unhandled vCPU exit: " + describe_exit(run)));
  }
}

}  // namespace quorrel::vm
