#include "os/error_line.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cstring>

#include "core/io_error.h"

namespace quorrel::os {

namespace {
constexpr std::string_view kErrorPrefix = "[quorrel:error] ";
}

ErrorLine& ErrorLine::append(std::string_view text) {
  std::size_t n = text.size();
  if (n > kCapacity - len_) n = kCapacity - len_;
  std::memcpy(buf_ + len_, text.data(), n);
  len_ += n;
  return *this;
}

ErrorLine& ErrorLine::append_decimal(std::uint64_t value) {
  char digits[20];
  std::size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  char out[20];
  for (std::size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
  return append({out, n});
}

ErrorLine& ErrorLine::append_decimal_signed(std::int64_t value) {
  if (value < 0) {
    append("-");
    return append_decimal(static_cast<std::uint64_t>(-(value + 1)) + 1);
  }
  return append_decimal(static_cast<std::uint64_t>(value));
}

ErrorLine& ErrorLine::append_errno(int err) {
  // Both lookups read a constant table; they neither allocate nor lock.
  append(core::errno_name(err));
  append(": ");
  return append(core::errno_description(err));
}

void write_error(std::string_view message) {
  // One writev call, so a long message is not cut and the line is written
  // in one piece.
  iovec parts[3] = {
      {const_cast<char*>(kErrorPrefix.data()), kErrorPrefix.size()},
      {const_cast<char*>(message.data()), message.size()},
      {const_cast<char*>("\n"), 1},
  };
  [[maybe_unused]] auto ignored = ::writev(2, parts, 3);
}

void fail_child(int status, std::string_view message) {
  write_error(message);
  ::_exit(status);
}

}  // namespace quorrel::os
