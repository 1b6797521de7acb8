#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "vm/kvm/kernel_loader.h"

namespace quorrel::vm {
namespace {

struct Segment {
  std::uint32_t type = 1;
  std::uint64_t vaddr = 0, paddr = 0, memsz = 0;
  std::string data;
  std::optional<std::uint64_t> filesz_override;
};

Segment seg(std::uint32_t type, std::uint64_t vaddr, std::uint64_t paddr, std::uint64_t memsz, std::string data) {
  Segment s;
  s.type = type;
  s.vaddr = vaddr;
  s.paddr = paddr;
  s.memsz = memsz;
  s.data = std::move(data);
  return s;
}

template <class T>
void put(std::string& s, std::size_t off, T v) {
  if (s.size() < off + sizeof v) s.resize(off + sizeof v);
  std::memcpy(s.data() + off, &v, sizeof v);
}

// A minimal ELF64 image: header, program headers, then segment data.
std::string make_elf(const std::vector<Segment>& segs, std::uint64_t entry = 0x1000000) {
  std::string f(64, '\0');
  std::memcpy(f.data(), "\x7f" "ELF", 4);
  f[4] = 2;
  f[5] = 1;
  put<std::uint64_t>(f, 24, entry);
  put<std::uint64_t>(f, 32, 64);
  put<std::uint16_t>(f, 54, 56);
  put<std::uint16_t>(f, 56, static_cast<std::uint16_t>(segs.size()));
  std::uint64_t data_off = 64 + 56 * segs.size();
  f.resize(data_off);
  for (std::size_t i = 0; i < segs.size(); ++i) {
    const auto& s = segs[i];
    const std::size_t ph = 64 + 56 * i;
    put<std::uint32_t>(f, ph, s.type);
    put<std::uint64_t>(f, ph + 8, f.size());
    put<std::uint64_t>(f, ph + 16, s.vaddr);
    put<std::uint64_t>(f, ph + 24, s.paddr);
    put<std::uint64_t>(f, ph + 32, s.filesz_override.value_or(s.data.size()));
    put<std::uint64_t>(f, ph + 40, s.memsz);
    f += s.data;
  }
  return f;
}

class KernelLoader : public testing::Test {
 protected:
  void SetUp() override {
    auto m = GuestMemory::allocate(8 << 20);
    ASSERT_TRUE(m);
    mem_ = std::move(*m);
    std::memset(mem_.host_address(), 0xAA, mem_.size());
  }
  std::uint8_t at(std::uint64_t gpa) const { return mem_.host_address()[gpa]; }
  GuestMemory mem_;
};

TEST_F(KernelLoader, PaddrZeroLoadsAtVaddrAndBssIsZeroedAcrossChunks) {
  const std::uint64_t bss = 3 * kZeroChunk + 123;
  auto elf = make_elf({seg(1, 0x100000, 0, 4 + bss, "abcd"), seg(4, 0, 0, 0, "note"),
                       seg(1, 0, 0x300000, 16, std::string(16, 'z'))},
                      0x100004);
  auto r = load_elf_kernel(elf, mem_);
  ASSERT_TRUE(r) << r.error().to_string();
  EXPECT_EQ(r->entry, 0x100004u);
  EXPECT_EQ(r->end, 0x300010u) << "maximum end over all PT_LOAD segments";
  EXPECT_EQ(std::memcmp(mem_.host_address() + 0x100000, "abcd", 4), 0);
  for (std::uint64_t i = 0; i < bss; ++i) ASSERT_EQ(at(0x100004 + i), 0) << "offset " << i;
  EXPECT_EQ(at(0x100004 + bss), 0xAA) << "nothing past p_memsz is touched";
  EXPECT_EQ(at(0x300000), 'z');
}

TEST_F(KernelLoader, Errors) {
  std::string not_elf = make_elf({seg(1, 0x1000, 0x1000, 4, "abcd")});
  not_elf[0] = 'x';
  std::string elf32 = make_elf({seg(1, 0x1000, 0x1000, 4, "abcd")});
  elf32[4] = 1;
  std::string big_endian = make_elf({seg(1, 0x1000, 0x1000, 4, "abcd")});
  big_endian[5] = 2;
  std::string table_outside = make_elf({seg(1, 0x1000, 0x1000, 4, "abcd")});
  put<std::uint16_t>(table_outside, 56, 9);
  std::string table_overflow = make_elf({seg(1, 0x1000, 0x1000, 4, "abcd")});
  put<std::uint64_t>(table_overflow, 32, std::numeric_limits<std::uint64_t>::max() - 10);
  Segment outside = seg(1, 0x1000, 0x1000, 8, "abcd");
  outside.filesz_override = 8;
  Segment beyond_ram = seg(1, 0, 0x7FFFFE, 4, "abcd");
  Segment end_overflow = seg(1, 0, 0x1000, std::numeric_limits<std::uint64_t>::max(), "");

  const std::pair<std::string, std::string> cases[] = {
      {std::string(63, '\0'), "kernel image too short to parse ELF header"},
      {not_elf, "kernel image is not ELF format"},
      {elf32, "only 64-bit ELF vmlinux images are supported"},
      {big_endian, "only little-endian ELF vmlinux images are supported"},
      {make_elf({seg(4, 0, 0, 0, "x")}), "ELF image contains no loadable PT_LOAD segment"},
      {make_elf({seg(1, 0x1000, 0x1000, 2, "abcd")}), "ELF segment memsz is smaller than filesz: memsz=2, filesz=4"},
      {table_outside, "byte range out of bounds: offset=64, len=504, total=124"},
      {table_overflow, "byte range length calculation overflow"},
      {make_elf({outside}), "byte range out of bounds: offset=120, len=8, total=124"},
      {make_elf({beyond_ram}), "guest memory range out of bounds: address=0x7ffffe, len=4, size=8388608"},
      {make_elf({end_overflow}), "ELF segment address calculation overflow"},
  };
  for (const auto& [image, message] : cases) {
    auto r = load_elf_kernel(image, mem_);
    ASSERT_FALSE(r) << message;
    EXPECT_EQ(r.error().kind(), MicrovmError::Kind::Backend);
    EXPECT_EQ(r.error().text(), message);
  }
}

TEST(InitrdPlacement, AfterKernelEndPlusTwoMiBAligned) {
  EXPECT_EQ(*initrd_load_address(0x1F00123), 0x2101000u);
  EXPECT_EQ(*initrd_load_address(0x1000000), 0x1200000u);
  const auto max = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(initrd_load_address(max - 0x100000).error().text(), "initrd load address calculation overflow");
  EXPECT_EQ(initrd_load_address(max - 0x200000).error().text(), "address alignment calculation overflow");
}

TEST(ZeroPage, FieldsAndE820For64MiB) {
  auto zp = build_zero_page(0x1000000, 0x123456789000, 0x1'0000'0010 - 0x1'0000'0000 + 5, 64);
  ASSERT_TRUE(zp);
  auto u8 = [&](std::size_t o) { return (*zp)[o]; };
  auto u16 = [&](std::size_t o) { std::uint16_t v; std::memcpy(&v, zp->data() + o, 2); return v; };
  auto u32 = [&](std::size_t o) { std::uint32_t v; std::memcpy(&v, zp->data() + o, 4); return v; };
  auto u64 = [&](std::size_t o) { std::uint64_t v; std::memcpy(&v, zp->data() + o, 8); return v; };
  EXPECT_EQ(u32(0x0C0), 0x1234u);
  EXPECT_EQ(u32(0x0C4), 0u);
  EXPECT_EQ(u32(0x0C8), 0u);
  EXPECT_EQ(u8(0x1E8), 2);
  EXPECT_EQ(u8(0x1EF), 0xFF);
  EXPECT_EQ(u16(0x1FE), 0xAA55);
  EXPECT_EQ(std::memcmp(zp->data() + 0x202, "HdrS", 4), 0);
  EXPECT_EQ(u8(0x210), 0xFF);
  EXPECT_EQ(u8(0x211), 0x80);
  EXPECT_EQ(u32(0x214), 0x1000000u);
  EXPECT_EQ(u32(0x218), 0x56789000u);
  EXPECT_EQ(u32(0x21C), 21u);
  EXPECT_EQ(u32(0x228), 0x20000u);
  EXPECT_EQ(u32(0x230), 0x1000000u);
  EXPECT_EQ(u64(0x2D0), 0u);
  EXPECT_EQ(u64(0x2D8), 0x9FC00u);
  EXPECT_EQ(u32(0x2E0), 1u);
  EXPECT_EQ(u64(0x2E4), 0x100000u);
  EXPECT_EQ(u64(0x2EC), 0x3F00000u);
  EXPECT_EQ(u32(0x2F4), 1u);
  std::size_t nonzero = 0;
  for (auto b : *zp) nonzero += b != 0;
  EXPECT_EQ(nonzero, 26u) << "every other byte stays zero";
  EXPECT_EQ(build_zero_page(0, 0, 0x1'0000'0000, 64).error().text(), "initrd size exceeds u32 limit");
  EXPECT_EQ(kKernelCommandLine.size(), 180u);
}

}  // namespace
}  // namespace quorrel::vm
