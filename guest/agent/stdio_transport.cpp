#include "stdio_transport.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quorrel::agent {

bool StdioTransport::fill(bool wait) {
  if (eof_) {
    return false;
  }
  if (!wait) {
    pollfd pfd{in_fd_, POLLIN, 0};
    if (poll(&pfd, 1, 0) <= 0) {
      return false;
    }
  }
  for (;;) {
    const ssize_t n = ::read(in_fd_, buffer_.data(), buffer_.size());
    if (n > 0) {
      begin_ = 0;
      end_ = static_cast<std::size_t>(n);
      return true;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    eof_ = true;
    return false;
  }
}

bool StdioTransport::input_ready() {
  if (begin_ < end_) {
    return true;
  }
  // End of input counts as ready so that the reader notices it.
  return fill(false) || eof_;
}

std::optional<std::uint8_t> StdioTransport::read_byte() {
  if (begin_ == end_ && !fill(true)) {
    return std::nullopt;
  }
  return buffer_[begin_++];
}

bool StdioTransport::read_exact(std::span<std::uint8_t> dst) {
  std::size_t done = 0;
  while (done < dst.size()) {
    if (begin_ == end_ && !fill(true)) {
      return false;
    }
    const std::size_t n = std::min(end_ - begin_, dst.size() - done);
    std::memcpy(dst.data() + done, buffer_.data() + begin_, n);
    begin_ += n;
    done += n;
  }
  return true;
}

void StdioTransport::write_all(std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(out_fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;  // host side closed: nothing left to tell it
    }
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace quorrel::agent
