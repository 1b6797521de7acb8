#include "vm/kvm/devices/serial/serial_device.h"

namespace quorrel::vm {

std::uint8_t SerialDevice::read_register(std::uint16_t offset) {
  const bool pending = !input_.empty();
  switch (offset) {
    case 0:
      if (dlab()) return regs_.dll;
      if (!pending) return 0x00;
      {
        const std::uint8_t b = input_.front();
        input_.pop_front();
        return b;
      }
    case 1: return dlab() ? regs_.dlm : regs_.ier;
    case 2: return pending ? 0x04 : 0x01;  // IIR: data available / no interrupt
    case 3: return regs_.lcr;
    case 4: return regs_.mcr;
    case 5: return pending ? 0x61 : 0x60;  // LSR: THR empty, idle, data ready
    case 6: return regs_.msr;
    case 7: return regs_.scr;
    default: return 0x00;
  }
}

void SerialDevice::read(std::uint16_t port, std::span<std::uint8_t> data) {
  const std::uint16_t offset = port - kSerialPortBase;
  if (offset == 0 && !dlab()) {
    // Fast path for `rep insb` from the receive register.
    for (auto& b : data) {
      if (input_.empty()) {
        b = 0x00;
      } else {
        b = input_.front();
        input_.pop_front();
      }
    }
    return;
  }
  for (auto& b : data) b = read_register(offset);
}

bool SerialDevice::write_register(std::uint16_t port, std::uint8_t value) {
  switch (port - kSerialPortBase) {
    case 0:
      if (!dlab()) return true;
      regs_.dll = value;
      return false;
    case 1:
      (dlab() ? regs_.dlm : regs_.ier) = value;
      return false;
    case 3: regs_.lcr = value; return false;
    case 4: regs_.mcr = value; return false;
    case 7: regs_.scr = value; return false;
    default: return false;  // IIR/FCR, LSR and MSR writes are ignored
  }
}

}  // namespace quorrel::vm
