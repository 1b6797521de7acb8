#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quorrel::agent::testing {

// The agent binary running over --stdio in a scratch directory, with its
// HTTP socket inside that directory and `quorrel-http` on PATH.
class AgentProcess {
 public:
  AgentProcess();
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  void send(std::string_view bytes);
  // Reads until `marker` has arrived; returns everything read up to and
  // including the line or frame that holds it (nullopt on timeout or EOF).
  std::optional<std::string> read_until(std::string_view marker,
                                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Reads until the output ends with `suffix` (at most the timeout).
  std::optional<std::string> read_until_suffix(std::string_view suffix,
                                               std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Bytes that arrive within the window.
  std::string read_for(std::chrono::milliseconds window);

  const std::filesystem::path& dir() const { return dir_; }

 private:
  bool read_some(std::chrono::steady_clock::time_point deadline);

  std::filesystem::path dir_;
  pid_t pid_ = -1;
  int to_agent_ = -1;
  int from_agent_ = -1;
  std::string pending_;
};

// Frame builders for the tests (the host side of the protocol).
std::string exec_frame(std::string_view json);
std::string execs_frame(std::string_view command);
std::string fs_read_frame(std::string_view path);
std::string fs_write_frame(std::string_view path, std::string_view data);

// Parsed reply of an EXEC frame.
struct ExecReply {
  std::string stdout_data;
  std::string stderr_data;
  std::string exit;  // text after "EXIT:"
  std::string raw;
};
// Decodes OUTPUT lines up to the EXIT line of `raw` (throws nothing; a
// malformed line makes the test fail through `ok`).
ExecReply parse_exec_reply(const std::string& raw, bool* ok);

// JSON of an EXEC frame for a shell command.
std::string exec_json(std::string_view cmd);

}  // namespace quorrel::agent::testing
