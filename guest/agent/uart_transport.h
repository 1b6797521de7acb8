#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "transport.h"

namespace quorrel::agent {

// Drives the 8250 UART at 0x3F8 by port I/O from user space: no tty layer,
// no interrupts. On the project's own VMM the receive register pops the host
// queue directly, so a payload whose header has been read is already queued
// in full and is read with one `rep insb`, and output goes out with one
// `rep outsb`. A real 16550 (as emulated by QEMU) has 16-byte FIFOs instead;
// that is detected at open time and bytes are then paced by the line status
// register.
class UartTransport final : public Transport {
 public:
  // Takes I/O privilege (iopl(3)) and programs the line: 8N1, no interrupts,
  // FIFOs enabled where they exist.
  static std::expected<UartTransport, std::string> open();

  bool input_ready() override;
  std::optional<std::uint8_t> read_byte() override;
  bool read_exact(std::span<std::uint8_t> dst) override;
  void write_all(std::string_view bytes) override;
  int input_fd() const override { return -1; }

  bool has_hardware_fifo() const { return hardware_fifo_; }

 private:
  explicit UartTransport(bool hardware_fifo) : hardware_fifo_(hardware_fifo) {}
  void wait_for_input();

  bool hardware_fifo_;
};

}  // namespace quorrel::agent
