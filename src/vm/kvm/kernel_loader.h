#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string_view>

#include "vm/kvm/guest_memory.h"
#include "vm/vm/microvm_error.h"

namespace quorrel::vm {

// Fixed guest layout of the direct 64-bit boot.
inline constexpr std::uint64_t kGdtAddress = 0x500;
inline constexpr std::uint64_t kIdtAddress = 0x520;
inline constexpr std::uint64_t kZeroPageAddress = 0x7000;
inline constexpr std::uint64_t kBootStackTop = 0x8000;
inline constexpr std::uint64_t kPml4Address = 0x9000;
inline constexpr std::uint64_t kPdptAddress = 0xA000;
inline constexpr std::uint64_t kPageDirectoryAddress = 0xB000;
inline constexpr std::uint64_t kCommandLineAddress = 0x20000;
inline constexpr std::uint64_t kInitrdGap = 0x200000;
inline constexpr std::uint64_t kZeroChunk = 65536;

// 180 characters; written with a terminating NUL (181 bytes).
inline constexpr std::string_view kKernelCommandLine =
    "console=ttyS0 8250.nr_uarts=1 i8042.nokbd no_timer_check fastboot quiet rcupdate.rcu_expedited=1 "
    "mitigations=off tsc=reliable nokaslr nomodule reboot=t panic=1 pci=off rdinit=/init";

struct LoadedKernel {
  std::uint64_t entry = 0;
  std::uint64_t end = 0;  // highest load address + p_memsz over all PT_LOAD segments
};

// Copies the PT_LOAD segments of an ELF64 little-endian image into guest
// memory and zeroes their bss parts. `end` starts from `kernel_end`.
std::expected<LoadedKernel, MicrovmError> load_elf_kernel(std::string_view elf, GuestMemory& memory,
                                                          std::uint64_t kernel_end = 0);

// Writes `length` zero bytes in chunks of at most 64 KiB.
std::expected<void, MicrovmError> zero_guest_range(GuestMemory& memory, std::uint64_t address, std::uint64_t length);

// kernel_end + 2 MiB, aligned up to 4 KiB.
std::expected<std::uint64_t, MicrovmError> initrd_load_address(std::uint64_t kernel_end);

using ZeroPage = std::array<std::uint8_t, 4096>;

// The Linux boot-protocol zero page with the two-entry e820 map.
std::expected<ZeroPage, MicrovmError> build_zero_page(std::uint64_t kernel_entry, std::uint64_t initrd_addr,
                                                      std::uint64_t initrd_len, std::uint32_t memory_mb);

// Bounds test of a read of `len` bytes at `offset` in a file of `total` bytes.
std::expected<void, MicrovmError> check_byte_range(std::uint64_t offset, std::uint64_t len, std::uint64_t total);

}  // namespace quorrel::vm
