#include "uart_transport.h"

#include <sys/io.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "port_io.h"

namespace quorrel::agent {
namespace {

constexpr std::uint16_t kBase = 0x3F8;
constexpr std::uint16_t kData = kBase + 0;
constexpr std::uint16_t kIer = kBase + 1;
constexpr std::uint16_t kFcrIir = kBase + 2;
constexpr std::uint16_t kLcr = kBase + 3;
constexpr std::uint16_t kLsr = kBase + 5;

constexpr std::uint8_t kLsrDataReady = 0x01;
constexpr std::uint8_t kLsrTransmitterEmpty = 0x20;
constexpr std::size_t kFifoDepth = 16;

std::uint64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<std::uint64_t>(ts.tv_nsec);
}

void pause_ns(long ns) {
  timespec ts{0, ns};
  nanosleep(&ts, nullptr);
}

}  // namespace

std::expected<UartTransport, std::string> UartTransport::open() {
  if (iopl(3) != 0) {
    return std::unexpected(std::string("iopl(3) failed: ") + std::strerror(errno));
  }
  port_io::outb(kLcr, 0x03);     // 8 data bits, no parity, 1 stop bit, DLAB off
  port_io::outb(kIer, 0x00);     // the agent polls; no interrupts
  port_io::outb(kFcrIir, 0x07);  // enable and clear FIFOs (ignored without them)
  // A 16550 with enabled FIFOs reports both FIFO bits in IIR.
  const bool fifo = (port_io::inb(kFcrIir) & 0xC0) == 0xC0;
  return UartTransport(fifo);
}

bool UartTransport::input_ready() { return (port_io::inb(kLsr) & kLsrDataReady) != 0; }

void UartTransport::wait_for_input() {
  // Spin briefly for the common case of an answer that is already queued
  // (or, on an emulated 16550, about to be refilled: sleeping between
  // 16-byte refills is far slower there), then sleep with growing pauses so
  // an idle guest leaves the CPU to running programs.
  const std::uint64_t spin_until = monotonic_ns() + 2'000'000;
  while (monotonic_ns() < spin_until) {
    if (input_ready()) {
      return;
    }
  }
  long pause = 20'000;
  while (!input_ready()) {
    pause_ns(pause);
    pause = std::min(pause * 2, 1'000'000L);
  }
}

std::optional<std::uint8_t> UartTransport::read_byte() {
  wait_for_input();
  return port_io::inb(kData);
}

bool UartTransport::read_exact(std::span<std::uint8_t> dst) {
  if (dst.empty()) {
    return true;
  }
  if (hardware_fifo_) {
    for (auto& byte : dst) {
      wait_for_input();
      byte = port_io::inb(kData);
    }
    return true;
  }
  // The host queues whole frames, so once the payload's first byte is there
  // all of it is.
  wait_for_input();
  port_io::insb(kData, dst.data(), dst.size());
  return true;
}

void UartTransport::write_all(std::string_view bytes) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  if (!hardware_fifo_) {
    port_io::outsb(kData, data, bytes.size());
    return;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    while ((port_io::inb(kLsr) & kLsrTransmitterEmpty) == 0) {
    }
    const std::size_t chunk = std::min(kFifoDepth, bytes.size() - done);
    port_io::outsb(kData, data + done, chunk);
    done += chunk;
  }
}

}  // namespace quorrel::agent
