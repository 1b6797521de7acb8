/* Port I/O and the polled UART at 0x3F8. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#define UART_DATA 0x3F8
#define UART_LSR 0x3FD
#define LSR_DATA_READY 0x01

static inline void outb(uint16_t port, uint8_t v) { __asm__ volatile("outb %0, %1" ::"a"(v), "Nd"(port)); }
static inline uint8_t inb(uint16_t port) {
  uint8_t v;
  __asm__ volatile("inb %1, %0" : "=a"(v) : "Nd"(port));
  return v;
}
static inline uint32_t inl(uint16_t port) {
  uint32_t v;
  __asm__ volatile("inl %1, %0" : "=a"(v) : "Nd"(port));
  return v;
}

/* One exit for the whole buffer: the host UART accepts multi-byte access. */
static inline void uart_write(const void* buf, size_t n) {
  if (n == 0) return;
  __asm__ volatile("rep outsb" : "+S"(buf), "+c"(n) : "d"((uint16_t)UART_DATA) : "memory");
}
static inline void uart_read(void* buf, size_t n) {
  if (n == 0) return;
  __asm__ volatile("rep insb" : "+D"(buf), "+c"(n) : "d"((uint16_t)UART_DATA) : "memory");
}
/* Waits (polling the line status register) for one received byte. */
static inline uint8_t uart_getc(void) {
  while ((inb(UART_LSR) & LSR_DATA_READY) == 0) {
  }
  return inb(UART_DATA);
}
static inline void uart_putc(char c) { outb(UART_DATA, (uint8_t)c); }
