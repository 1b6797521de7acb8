#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace quorrel::vm {

// Guest RAM: one anonymous private mapping that backs guest physical
// addresses [0, size). Unmapped on destruction.
class GuestMemory {
 public:
  GuestMemory() = default;
  // Error: the memory error's text.
  static std::expected<GuestMemory, std::string> allocate(std::uint64_t size);
  GuestMemory(GuestMemory&& o) noexcept;
  GuestMemory& operator=(GuestMemory&& o) noexcept;
  GuestMemory(const GuestMemory&) = delete;
  GuestMemory& operator=(const GuestMemory&) = delete;
  ~GuestMemory();

  std::uint8_t* host_address() const { return base_; }
  std::uint64_t size() const { return size_; }

  // madvise(MADV_HUGEPAGE); failures are ignored.
  void advise_huge_pages();

  // Errors name the range and the RAM size.
  std::expected<void, std::string> write(std::uint64_t gpa, std::string_view bytes);
  std::expected<void, std::string> read(std::uint64_t gpa, std::span<std::uint8_t> out) const;
  // Zero-filled read view of `len` bytes at `gpa`, or an error.
  std::expected<std::span<std::uint8_t>, std::string> slice(std::uint64_t gpa, std::uint64_t len) const;

 private:
  GuestMemory(std::uint8_t* base, std::uint64_t size) : base_(base), size_(size) {}
  void release();

  std::uint8_t* base_ = nullptr;
  std::uint64_t size_ = 0;
};

}  // namespace quorrel::vm
