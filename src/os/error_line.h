#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorrel::os {

// A fixed-size text buffer for the confined child, which may only call
// async-signal-safe functions between fork and exec: no allocation, no
// locale, no stdio. Text beyond the capacity is dropped.
class ErrorLine {
 public:
  static constexpr std::size_t kCapacity = 1024;

  ErrorLine& append(std::string_view text);
  ErrorLine& append_decimal(std::uint64_t value);
  ErrorLine& append_decimal_signed(std::int64_t value);
  // The errno's symbolic name, a colon, a blank and its description.
  ErrorLine& append_errno(int err);

  std::string_view view() const { return {buf_, len_}; }

 private:
  char buf_[kCapacity];
  std::size_t len_ = 0;
};

// Writes "[quorrel:error] {message}\n" to descriptor 2 in one (vectored) write call,
// ignoring the result.
void write_error(std::string_view message);

// write_error followed by an immediate exit that runs no clean-up handlers.
[[noreturn]] void fail_child(int status, std::string_view message);

}  // namespace quorrel::os
