#pragma once

#include <cstddef>
#include <cstdint>

// Raw x86 port I/O. The caller must hold I/O privilege (iopl(3)).
namespace quorrel::agent::port_io {

inline std::uint8_t inb(std::uint16_t port) {
  std::uint8_t value;
  asm volatile("inb %1, %0" : "=a"(value) : "Nd"(port));
  return value;
}

inline void outb(std::uint16_t port, std::uint8_t value) {
  asm volatile("outb %0, %1" : : "a"(value), "Nd"(port));
}

// One `rep insb`: count bytes read from the same port into dst.
inline void insb(std::uint16_t port, std::uint8_t* dst, std::size_t count) {
  asm volatile("rep insb" : "+D"(dst), "+c"(count) : "d"(port) : "memory");
}

// One `rep outsb`: count bytes from src written to the same port.
inline void outsb(std::uint16_t port, const std::uint8_t* src, std::size_t count) {
  asm volatile("rep outsb" : "+S"(src), "+c"(count) : "d"(port) : "memory");
}

}  // namespace quorrel::agent::port_io
