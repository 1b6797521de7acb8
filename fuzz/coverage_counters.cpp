// Edge coverage for libFuzzer from GCC's -fsanitize-coverage=trace-pc.
//
// GCC calls __sanitizer_cov_trace_pc at every instrumented edge. We hash the
// caller's address into a table of 8-bit counters placed in the section that
// libFuzzer scans as "extra counters" (__start_/__stop___libfuzzer_extra_counters),
// so a new edge (or a new hit-count bucket) shows up as a new feature.
#include <cstddef>
#include <cstdint>

namespace {
constexpr std::size_t kCounterCount = std::size_t{1} << 16;
}

extern "C" {

__attribute__((section("__libfuzzer_extra_counters"), used))
std::uint8_t quorrel_fuzz_edge_counters[kCounterCount];

__attribute__((no_sanitize("address", "undefined"))) void __sanitizer_cov_trace_pc() {
  auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  pc ^= pc >> 17;
  pc *= 0x9E3779B97F4A7C15ull;
  pc ^= pc >> 29;
  ++quorrel_fuzz_edge_counters[pc & (kCounterCount - 1)];
}

// GCC's trace-cmp also reports floating-point comparisons, which libFuzzer
// has no hooks for.
void __sanitizer_cov_trace_cmpf(float, float) {}
void __sanitizer_cov_trace_cmpd(double, double) {}

}  // extern "C"
