#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quorrel::agent {

// The byte channel to the host: the UART in the guest, stdin/stdout when the
// agent runs on a host for testing.
class Transport {
 public:
  virtual ~Transport() = default;

  // True when at least one input byte can be read without waiting.
  virtual bool input_ready() = 0;

  // Waits for one input byte; nullopt at the end of the input.
  virtual std::optional<std::uint8_t> read_byte() = 0;

  // Reads exactly dst.size() bytes; false at the end of the input.
  virtual bool read_exact(std::span<std::uint8_t> dst) = 0;

  // Writes every byte; output to the host cannot fail in a way the agent
  // could report, so there is no result.
  virtual void write_all(std::string_view bytes) = 0;

  // A descriptor that becomes readable when input arrives, for poll(); -1
  // for a device that has to be polled by reading its status.
  virtual int input_fd() const = 0;
};

}  // namespace quorrel::agent
