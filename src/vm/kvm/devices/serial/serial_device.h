#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <span>
#include <string_view>

namespace quorrel::vm {

inline constexpr std::uint16_t kSerialPortBase = 0x3F8;

// True for the eight ports of the emulated UART (0x3F8 to 0x3FF).
constexpr bool is_serial_port(std::uint16_t port) { return (port & 0xFFF8) == kSerialPortBase; }

// Register model of the emulated 8250 UART. It never raises an interrupt:
// the guest polls the line status register. Bytes the host sends are queued
// here and popped by guest reads of the receive register; bytes the guest
// transmits are returned by write_register for the frame parser.
class SerialDevice {
 public:
  struct Registers {
    std::uint8_t ier = 0x00;
    std::uint8_t lcr = 0x03;
    std::uint8_t mcr = 0x03;
    std::uint8_t msr = 0xB0;
    std::uint8_t scr = 0x00;
    std::uint8_t dll = 0x00;
    std::uint8_t dlm = 0x00;

    friend bool operator==(const Registers&, const Registers&) = default;
  };

  void queue_input(std::string_view bytes) { input_.insert(input_.end(), bytes.begin(), bytes.end()); }
  void clear_input() { input_.clear(); }
  // Snapshot restore: replaces the input queue and the registers.
  void restore(std::deque<std::uint8_t> queue, Registers registers) {
    input_ = std::move(queue);
    regs_ = registers;
  }

  const std::deque<std::uint8_t>& input() const { return input_; }
  const Registers& registers() const { return regs_; }

  // Fills every byte of `data` with a fresh read of the register at `port`,
  // so a multi-byte read of the receive register pops several bytes.
  void read(std::uint16_t port, std::span<std::uint8_t> data);

  // Applies one written byte. Returns true when the byte is transmitted
  // (offset 0 with DLAB clear): the caller then hands it to the parser.
  bool write_register(std::uint16_t port, std::uint8_t value);

 private:
  bool dlab() const { return (regs_.lcr & 0x80) != 0; }
  std::uint8_t read_register(std::uint16_t offset);

  std::deque<std::uint8_t> input_;
  Registers regs_;
};

}  // namespace quorrel::vm
