#include "os/output_collector.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace quorrel::os {

namespace {
constexpr std::size_t kReadChunk = 64 * 1024;
}

OutputCollector::OutputCollector(UniqueFd stdout_read, UniqueFd stderr_read)
    : stdout_read_(std::move(stdout_read)), stderr_read_(std::move(stderr_read)) {}

void OutputCollector::close_pipes() {
  stdout_read_.reset();
  stderr_read_.reset();
}

void OutputCollector::read_once(UniqueFd& fd, std::string& into) {
  char buf[kReadChunk];
  const ssize_t n = ::read(fd.get(), buf, sizeof buf);
  if (n > 0) {
    into.append(buf, static_cast<std::size_t>(n));
    return;
  }
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  // End of file, or a read error: the bytes read so far stay collected.
  fd.reset();
}

OutputCollector::Stop OutputCollector::run(int watch_fd,
                                           std::optional<std::chrono::steady_clock::time_point> deadline) {
  for (;;) {
    pollfd fds[3];
    nfds_t n = 0;
    int out_i = -1, err_i = -1, watch_i = -1;
    if (stdout_read_.valid()) {
      out_i = static_cast<int>(n);
      fds[n++] = {stdout_read_.get(), POLLIN, 0};
    }
    if (stderr_read_.valid()) {
      err_i = static_cast<int>(n);
      fds[n++] = {stderr_read_.get(), POLLIN, 0};
    }
    if (watch_fd >= 0) {
      watch_i = static_cast<int>(n);
      fds[n++] = {watch_fd, POLLIN, 0};
    }
    if (n == 0) return Stop::BothClosed;

    timespec ts{};
    timespec* timeout = nullptr;
    if (deadline) {
      auto left = *deadline - std::chrono::steady_clock::now();
      if (left < std::chrono::steady_clock::duration::zero()) left = std::chrono::steady_clock::duration::zero();
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
      ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
      timeout = &ts;
    }
    const int r = ::ppoll(fds, n, timeout, nullptr);
    if (r < 0 && errno != EINTR) return Stop::BothClosed;  // cannot poll: give up collecting
    if (r > 0) {
      if (out_i >= 0 && fds[out_i].revents != 0) read_once(stdout_read_, stdout_);
      if (err_i >= 0 && fds[err_i].revents != 0) read_once(stderr_read_, stderr_);
      if (watch_i >= 0 && fds[watch_i].revents != 0) return Stop::Notified;
    }
    if (watch_fd < 0 && !stdout_read_.valid() && !stderr_read_.valid()) return Stop::BothClosed;
    if (deadline && std::chrono::steady_clock::now() >= *deadline) return Stop::Deadline;
  }
}

}  // namespace quorrel::os
