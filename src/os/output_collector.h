#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "os/unique_fd.h"

namespace quorrel::os {

// Reads the child's standard output and standard error while it runs, so
// that a child writing more than a pipe holds never blocks on a full pipe.
// Each stream keeps its own bytes in order.
class OutputCollector {
 public:
  OutputCollector(UniqueFd stdout_read, UniqueFd stderr_read);

  enum class Stop {
    BothClosed,  // both pipes reached their end (or a read error ended them)
    Notified,    // the watched descriptor became readable
    Deadline,    // the deadline passed
  };

  // Reads until one of the stop conditions holds. `watch_fd` (-1: none) is
  // only polled, never read. Without a watch descriptor, BothClosed ends the
  // call; with one, the call goes on waiting for it after both pipes closed.
  Stop run(int watch_fd, std::optional<std::chrono::steady_clock::time_point> deadline);

  void close_pipes();
  std::string take_stdout() { return std::move(stdout_); }
  std::string take_stderr() { return std::move(stderr_); }

 private:
  // Reads once from a readable pipe; closes it at its end or on an error.
  void read_once(UniqueFd& fd, std::string& into);

  UniqueFd stdout_read_;
  UniqueFd stderr_read_;
  std::string stdout_;
  std::string stderr_;
};

}  // namespace quorrel::os
