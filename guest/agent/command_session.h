#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "command_request.h"
#include "frame_reader.h"
#include "guest_frame.h"
#include "host_frame.h"
#include "http_bridge.h"
#include "output_escape.h"
#include "transport.h"

namespace quorrel::agent {

// Receives what one command produces, in order, and its end.
class CommandSink {
 public:
  virtual ~CommandSink() = default;
  virtual void on_output(OutputStream stream, std::string_view data) = 0;
  virtual void on_exit(int code) = 0;
  virtual void on_timeout() = 0;
};

// "OUTPUT:" lines and the "EXIT:" line of an EXEC frame.
class ExecReplySink final : public CommandSink {
 public:
  explicit ExecReplySink(Transport& transport) : transport_(transport) {}
  void on_output(OutputStream stream, std::string_view data) override;
  void on_exit(int code) override;
  void on_timeout() override;

 private:
  void flush();
  Transport& transport_;
  OutputEscaper stdout_escaper_;
  OutputEscaper stderr_escaper_;
};

// "STREAM:" frames of an EXECS frame ("STREAM:START:" is sent on creation).
class StreamReplySink final : public CommandSink {
 public:
  StreamReplySink(Transport& transport, std::uint32_t id);
  void on_output(OutputStream stream, std::string_view data) override;
  void on_exit(int code) override;
  void on_timeout() override;

 private:
  Transport& transport_;
  std::uint32_t id_;
};

// How commands are started: the environment every command gets, and the
// working directory when the frame names none (empty: the agent's own).
struct ProcessSettings {
  std::vector<std::string> base_env;
  std::string default_cwd;
};

// Runs one command with /bin/sh -c in its own process group, feeding its
// output to `sink` as it arrives. While it runs, HTTPS requests of guest
// programs are relayed through `bridge` and HTTPRESP frames from the host
// are handed to it. Any other host frame means the host has given up on
// this command: the process group is killed, nothing more is reported, and
// the frame is returned for the caller to handle. At the time limit the
// process group is killed and the sink told so.
std::optional<HostFrame> run_command(const CommandRequest& request, const ProcessSettings& settings, CommandSink& sink,
                                     Transport& transport, FrameReader& reader, HttpBridge* bridge);

}  // namespace quorrel::agent
