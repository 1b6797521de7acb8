#pragma once

#include <optional>

#include "command_session.h"
#include "frame_reader.h"
#include "http_bridge.h"
#include "transport.h"

namespace quorrel::agent {

// The agent's main loop: reads host frames and answers them until the input
// ends (it never ends on the UART).
class Agent {
 public:
  Agent(Transport& transport, ProcessSettings settings, HttpBridge* bridge)
      : transport_(transport), reader_(transport), settings_(std::move(settings)), bridge_(bridge) {}

  void run();

 private:
  // Answers one frame; returns a frame that interrupted a command, if any.
  std::optional<HostFrame> handle(HostFrame frame);
  std::optional<HostFrame> handle_exec(const ExecFrame& frame);
  std::optional<HostFrame> handle_exec_stream(const ExecStreamFrame& frame);
  void handle_malformed(const MalformedFrame& frame);

  Transport& transport_;
  FrameReader reader_;
  ProcessSettings settings_;
  HttpBridge* bridge_;
};

}  // namespace quorrel::agent
