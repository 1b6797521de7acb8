#pragma once

#include <chrono>
#include <compare>
#include <cstdint>

namespace quorrel::core {

// A span of time as whole seconds plus nanoseconds, able to hold any
// unsigned 64-bit number of seconds (std::chrono::nanoseconds cannot).
struct Duration {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;  // always below 1e9

  static constexpr Duration from_secs(std::uint64_t s) { return {s, 0}; }
  static constexpr Duration from_millis(std::uint64_t ms) {
    return {ms / 1000, static_cast<std::uint32_t>((ms % 1000) * 1'000'000)};
  }
  static constexpr Duration from_nanos(std::uint64_t ns) {
    return {ns / 1'000'000'000, static_cast<std::uint32_t>(ns % 1'000'000'000)};
  }
  // Negative spans clamp to zero.
  template <class Rep, class Period>
  static constexpr Duration from_chrono(std::chrono::duration<Rep, Period> d) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    return ns <= 0 ? Duration{} : from_nanos(static_cast<std::uint64_t>(ns));
  }

  constexpr bool is_zero() const { return secs == 0 && nanos == 0; }
  // Total milliseconds, sub-millisecond remainder dropped; never overflows.
  constexpr unsigned __int128 as_millis() const {
    return static_cast<unsigned __int128>(secs) * 1000 + nanos / 1'000'000;
  }
  constexpr double as_secs_f64() const { return static_cast<double>(secs) + nanos / 1e9; }
  // Saturates at the largest representable std::chrono::nanoseconds.
  constexpr std::chrono::nanoseconds to_chrono() const {
    constexpr std::uint64_t max_secs = 9'223'372'035;  // keeps secs*1e9+nanos within int64
    if (secs > max_secs) return std::chrono::nanoseconds::max();
    return std::chrono::nanoseconds(static_cast<std::int64_t>(secs) * 1'000'000'000 + nanos);
  }

  friend constexpr auto operator<=>(const Duration&, const Duration&) = default;
};

}  // namespace quorrel::core
