#include "vm/kvm/guest_memory.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "core/io_error.h"

namespace quorrel::vm {

namespace {

std::string hex(std::uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%#llx", static_cast<unsigned long long>(v));
  return buf;
}

}  // namespace

std::expected<GuestMemory, std::string> GuestMemory::allocate(std::uint64_t size) {
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return std::unexpected("failed to map guest memory: " + core::IoError::from_errno(errno).to_string());
  return GuestMemory(static_cast<std::uint8_t*>(p), size);
}

GuestMemory::GuestMemory(GuestMemory&& o) noexcept
    : base_(std::exchange(o.base_, nullptr)), size_(std::exchange(o.size_, 0)) {}

GuestMemory& GuestMemory::operator=(GuestMemory&& o) noexcept {
  if (this != &o) {
    release();
    base_ = std::exchange(o.base_, nullptr);
    size_ = std::exchange(o.size_, 0);
  }
  return *this;
}

GuestMemory::~GuestMemory() { release(); }

void GuestMemory::release() {
  if (base_ != nullptr) ::munmap(base_, size_);
  base_ = nullptr;
  size_ = 0;
}

void GuestMemory::advise_huge_pages() {
  if (base_ != nullptr) (void)::madvise(base_, size_, MADV_HUGEPAGE);
}

std::expected<std::span<std::uint8_t>, std::string> GuestMemory::slice(std::uint64_t gpa, std::uint64_t len) const {
  if (gpa > size_ || len > size_ - gpa) {
    return std::unexpected("guest memory range out of bounds: address=" + hex(gpa) + ", len=" + std::to_string(len) +
                           ", size=" + std::to_string(size_));
  }
  return std::span<std::uint8_t>(base_ + gpa, static_cast<std::size_t>(len));
}

std::expected<void, std::string> GuestMemory::write(std::uint64_t gpa, std::string_view bytes) {
  auto s = slice(gpa, bytes.size());
  if (!s) return std::unexpected(s.error());
  if (!bytes.empty()) std::memcpy(s->data(), bytes.data(), bytes.size());
  return {};
}

std::expected<void, std::string> GuestMemory::read(std::uint64_t gpa, std::span<std::uint8_t> out) const {
  auto s = slice(gpa, out.size());
  if (!s) return std::unexpected(s.error());
  if (!out.empty()) std::memcpy(out.data(), s->data(), out.size());
  return {};
}

}  // namespace quorrel::vm
