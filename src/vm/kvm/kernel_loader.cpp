#include "vm/kvm/kernel_loader.h"

#include <cstring>

namespace quorrel::vm {

namespace {

MicrovmError backend(std::string s) { return MicrovmError::backend(std::move(s)); }

bool add_overflows(std::uint64_t a, std::uint64_t b, std::uint64_t& out) { return __builtin_add_overflow(a, b, &out); }

template <class T>
std::expected<T, MicrovmError> read_le(std::string_view file, std::uint64_t offset) {
  if (auto ok = check_byte_range(offset, sizeof(T), file.size()); !ok) return std::unexpected(ok.error());
  T v{};
  std::memcpy(&v, file.data() + offset, sizeof(T));
  return v;  // the host is little-endian like the image
}

void put_u8(ZeroPage& zp, std::size_t off, std::uint8_t v) { zp[off] = v; }
void put_u16(ZeroPage& zp, std::size_t off, std::uint16_t v) { std::memcpy(zp.data() + off, &v, 2); }
void put_u32(ZeroPage& zp, std::size_t off, std::uint32_t v) { std::memcpy(zp.data() + off, &v, 4); }
void put_u64(ZeroPage& zp, std::size_t off, std::uint64_t v) { std::memcpy(zp.data() + off, &v, 8); }

void put_e820(ZeroPage& zp, std::size_t index, std::uint64_t addr, std::uint64_t size, std::uint32_t type) {
  const std::size_t off = 0x2D0 + index * 20;
  put_u64(zp, off, addr);
  put_u64(zp, off + 8, size);
  put_u32(zp, off + 16, type);
}

}  // namespace

std::expected<void, MicrovmError> check_byte_range(std::uint64_t offset, std::uint64_t len, std::uint64_t total) {
  std::uint64_t end = 0;
  if (add_overflows(offset, len, end)) return std::unexpected(backend("byte range length calculation overflow"));
  if (end > total) {
    return std::unexpected(backend("byte range out of bounds: offset=" + std::to_string(offset) +
                                   ", len=" + std::to_string(len) + ", total=" + std::to_string(total)));
  }
  return {};
}

std::expected<void, MicrovmError> zero_guest_range(GuestMemory& memory, std::uint64_t address, std::uint64_t length) {
  static const std::string zeros(kZeroChunk, '\0');
  for (std::uint64_t done = 0; done < length; done += kZeroChunk) {
    std::uint64_t at = 0;
    if (add_overflows(address, done, at)) return std::unexpected(backend("guest memory zero address calculation overflow"));
    const std::uint64_t n = std::min(kZeroChunk, length - done);
    if (auto ok = memory.write(at, std::string_view(zeros).substr(0, n)); !ok) return std::unexpected(backend(ok.error()));
  }
  return {};
}

std::expected<LoadedKernel, MicrovmError> load_elf_kernel(std::string_view elf, GuestMemory& memory,
                                                          std::uint64_t kernel_end) {
  if (elf.size() < 64) return std::unexpected(backend("kernel image too short to parse ELF header"));
  if (elf.substr(0, 4) != std::string_view("\x7f" "ELF", 4)) return std::unexpected(backend("kernel image is not ELF format"));
  if (elf[4] != 2) return std::unexpected(backend("only 64-bit ELF vmlinux images are supported"));
  if (elf[5] != 1) return std::unexpected(backend("only little-endian ELF vmlinux images are supported"));

  const auto entry = *read_le<std::uint64_t>(elf, 24);
  const auto phoff = *read_le<std::uint64_t>(elf, 32);
  const auto phentsize = *read_le<std::uint16_t>(elf, 54);
  const auto phnum = *read_le<std::uint16_t>(elf, 56);
  const std::uint64_t table_len = std::uint64_t{phentsize} * phnum;
  if (auto ok = check_byte_range(phoff, table_len, elf.size()); !ok) return std::unexpected(ok.error());

  bool any_load = false;
  for (std::uint64_t i = 0; i < phnum; ++i) {
    std::uint64_t ph = 0;
    if (add_overflows(phoff, i * phentsize, ph)) {
      return std::unexpected(backend("ELF program header offset calculation overflow"));
    }
    auto p_type = read_le<std::uint32_t>(elf, ph);
    if (!p_type) return std::unexpected(p_type.error());
    if (*p_type != 1) continue;
    auto p_offset = read_le<std::uint64_t>(elf, ph + 8);
    auto p_vaddr = read_le<std::uint64_t>(elf, ph + 16);
    auto p_paddr = read_le<std::uint64_t>(elf, ph + 24);
    auto p_filesz = read_le<std::uint64_t>(elf, ph + 32);
    auto p_memsz = read_le<std::uint64_t>(elf, ph + 40);
    for (const auto* f : {&p_offset, &p_vaddr, &p_paddr, &p_filesz, &p_memsz}) {
      if (!*f) return std::unexpected(f->error());
    }
    const std::uint64_t load = *p_paddr != 0 ? *p_paddr : *p_vaddr;
    if (*p_memsz < *p_filesz) {
      return std::unexpected(backend("ELF segment memsz is smaller than filesz: memsz=" + std::to_string(*p_memsz) +
                                     ", filesz=" + std::to_string(*p_filesz)));
    }
    if (auto ok = check_byte_range(*p_offset, *p_filesz, elf.size()); !ok) return std::unexpected(ok.error());
    if (auto ok = memory.write(load, elf.substr(*p_offset, *p_filesz)); !ok) return std::unexpected(backend(ok.error()));
    std::uint64_t bss = 0;
    if (add_overflows(load, *p_filesz, bss)) return std::unexpected(backend("guest memory zero address calculation overflow"));
    std::uint64_t end = 0;
    if (add_overflows(load, *p_memsz, end)) return std::unexpected(backend("ELF segment address calculation overflow"));
    if (auto ok = zero_guest_range(memory, bss, *p_memsz - *p_filesz); !ok) return std::unexpected(ok.error());
    kernel_end = std::max(kernel_end, end);
    any_load = true;
  }
  if (!any_load) return std::unexpected(backend("ELF image contains no loadable PT_LOAD segment"));
  return LoadedKernel{entry, kernel_end};
}

std::expected<std::uint64_t, MicrovmError> initrd_load_address(std::uint64_t kernel_end) {
  std::uint64_t addr = 0;
  if (add_overflows(kernel_end, kInitrdGap, addr)) return std::unexpected(backend("initrd load address calculation overflow"));
  std::uint64_t rounded = 0;
  if (add_overflows(addr, 0xFFF, rounded)) return std::unexpected(backend("address alignment calculation overflow"));
  return rounded & ~std::uint64_t{0xFFF};
}

std::expected<ZeroPage, MicrovmError> build_zero_page(std::uint64_t kernel_entry, std::uint64_t initrd_addr,
                                                      std::uint64_t initrd_len, std::uint32_t memory_mb) {
  if (initrd_len > 0xFFFFFFFFu) return std::unexpected(backend("initrd size exceeds u32 limit"));
  ZeroPage zp{};
  put_u32(zp, 0x0C0, static_cast<std::uint32_t>(initrd_addr >> 32));
  put_u32(zp, 0x0C4, static_cast<std::uint32_t>(initrd_len >> 32));
  put_u32(zp, 0x0C8, static_cast<std::uint32_t>(kCommandLineAddress >> 32));
  put_u8(zp, 0x1EF, 0xFF);
  put_u16(zp, 0x1FE, 0xAA55);
  std::memcpy(zp.data() + 0x202, "HdrS", 4);
  put_u8(zp, 0x210, 0xFF);
  put_u8(zp, 0x211, 0x80);
  put_u32(zp, 0x214, static_cast<std::uint32_t>(kernel_entry));
  put_u32(zp, 0x218, static_cast<std::uint32_t>(initrd_addr));
  put_u32(zp, 0x21C, static_cast<std::uint32_t>(initrd_len));
  put_u32(zp, 0x228, static_cast<std::uint32_t>(kCommandLineAddress));
  put_u32(zp, 0x230, 0x1000000);
  std::uint8_t entries = 0;
  const std::uint64_t ram = std::uint64_t{memory_mb} * 1048576;
  if (memory_mb != 0) put_e820(zp, entries++, 0, 0x9FC00, 1);
  if (memory_mb != 1) put_e820(zp, entries++, 0x100000, ram - 0x100000, 1);
  put_u8(zp, 0x1E8, entries);
  return zp;
}

}  // namespace quorrel::vm
