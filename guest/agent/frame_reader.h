#pragma once

#include <cstddef>
#include <optional>

#include "host_frame.h"
#include "transport.h"

namespace quorrel::agent {

// Size limits of host payloads; a larger announced length is refused and
// its payload skipped.
inline constexpr std::size_t kMaxCommandBytes = 16 * 1024 * 1024;
inline constexpr std::size_t kMaxPathBytes = 4096;
inline constexpr std::size_t kMaxFileBytes = 10 * 1024 * 1024;
inline constexpr std::size_t kMaxHttpPayloadBytes = 16 * 1024 * 1024;

// Reads host frames from a transport: headers byte by byte, payloads by
// length in one read. Every problem is reported as a MalformedFrame and the
// reader resynchronises (skips an announced payload, or the rest of the
// line and whatever else is pending), so a broken frame never desynchronises
// the next one.
class FrameReader {
 public:
  explicit FrameReader(Transport& transport) : transport_(transport) {}

  // Waits for the next frame; nullopt at the end of the input. Empty lines
  // are skipped.
  std::optional<HostFrame> read_frame();

 private:
  Transport& transport_;
};

}  // namespace quorrel::agent
