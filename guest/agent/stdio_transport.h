#pragma once

#include <array>
#include <cstddef>

#include "transport.h"

namespace quorrel::agent {

// Frames on a pair of descriptors (stdin/stdout): the agent runs on a host
// this way so that its protocol handling can be tested without a VM.
class StdioTransport final : public Transport {
 public:
  StdioTransport(int in_fd, int out_fd) : in_fd_(in_fd), out_fd_(out_fd) {}

  bool input_ready() override;
  std::optional<std::uint8_t> read_byte() override;
  bool read_exact(std::span<std::uint8_t> dst) override;
  void write_all(std::string_view bytes) override;
  int input_fd() const override { return in_fd_; }

 private:
  // Refills the buffer; blocks when `wait` is set. False at end of input
  // (or, without waiting, when nothing is there).
  bool fill(bool wait);

  int in_fd_;
  int out_fd_;
  std::array<std::uint8_t, 65536> buffer_{};
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool eof_ = false;
};

}  // namespace quorrel::agent
