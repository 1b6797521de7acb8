// SandboxConfig's JSON reader and writer.
//
// Mode 0 (first byte even): the rest is a JSON document. A successful read
// must write back without error, and reading that text again must give an
// equal record and the same text.
// Mode 1 (first byte odd): the rest fills the text fields of a record with
// arbitrary bytes. Writing fails exactly when a path or domain is not valid
// UTF-8, and a written record reads back equal.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/sandbox.h"
#include "core/utf8.h"

namespace {

using quorrel::core::SandboxConfig;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
  }
}

void round_trip_document(std::string_view text) {
  const auto cfg = SandboxConfig::from_json(text);
  if (!cfg) {
    check(!cfg.error().empty(), "errors carry a message");
    return;
  }
  const auto written = cfg->to_json();
  check(written.has_value(), "a record read from JSON can be written");
  const auto again = SandboxConfig::from_json(*written);
  check(again.has_value(), "written JSON reads back");
  check(*again == *cfg, "read-write-read gives an equal record");
  const auto rewritten = again->to_json();
  check(rewritten.has_value() && *rewritten == *written, "writing is deterministic");
}

// Splits bytes at 0x00 into fields and builds a record from them.
void round_trip_record(std::string_view bytes) {
  SandboxConfig cfg;
  cfg.fs_readonly.clear();
  cfg.fs_readwrite.clear();
  std::size_t field = 0;
  bool all_utf8 = true;
  std::uint64_t number = 0;
  while (!bytes.empty()) {
    const auto end = bytes.find('\0');
    const std::string_view piece = bytes.substr(0, end);
    bytes = end == std::string_view::npos ? std::string_view() : bytes.substr(end + 1);
    all_utf8 = all_utf8 && quorrel::core::is_valid_utf8(piece);
    for (unsigned char c : piece) number = number * 131 + c;
    switch (field++ % 3) {
      case 0: cfg.fs_readonly.emplace_back(std::string(piece)); break;
      case 1: cfg.fs_readwrite.emplace_back(std::string(piece)); break;
      case 2: cfg.allowed_http_domains.emplace_back(piece); break;
    }
  }
  cfg.memory_limit_mb = number % 3 == 0 ? std::nullopt : std::optional<std::uint64_t>(number);
  cfg.cpu_quota_us = number % 5 == 0 ? std::optional<std::uint64_t>(~number) : std::nullopt;
  cfg.cpu_period_us = number >> 3;
  cfg.timeout_secs = number % 7 == 0 ? std::nullopt : std::optional<std::uint64_t>(number >> 1);
  cfg.seccomp_profile = static_cast<quorrel::core::SeccompProfile>(number % 4);
  cfg.allow_fork = (number & 8) != 0;
  cfg.deny_network = (number & 16) != 0;

  const auto written = cfg.to_json();
  check(written.has_value() == all_utf8, "writing fails exactly on invalid UTF-8");
  if (!written) return;
  const auto back = SandboxConfig::from_json(*written);
  check(back.has_value(), "written record reads back");
  check(*back == cfg, "written record reads back equal");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 1) == 0) {
    round_trip_document(rest);
  } else {
    round_trip_record(rest);
  }
  return 0;
}
