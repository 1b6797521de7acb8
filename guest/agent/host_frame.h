#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace quorrel::agent {

// Frames the host sends to the agent.
struct PingFrame {};
struct ExecFrame {
  std::string json;
};
struct ExecStreamFrame {
  std::uint32_t id = 0;
  std::string command;
};
struct FsReadFrame {
  std::string path;
};
struct FsWriteFrame {
  std::string path;
  std::string data;
};
struct HttpHeadersFrame {
  std::uint32_t id = 0;
  std::string json;
};
struct HttpBodyFrame {
  std::uint32_t id = 0;
  std::string data;
};
struct HttpEndFrame {
  std::uint32_t id = 0;
};
struct HttpErrorFrame {
  std::uint32_t id = 0;
  std::string code;
  std::string message;
};

// Input that could not be read as a frame. `kind` says which reply the host
// can make sense of.
enum class MalformedKind {
  UnknownPrefix,    // not a frame this agent knows
  Command,          // a broken EXEC frame
  StreamCommand,    // a broken EXECS frame
  StreamCommandId,  // an EXECS frame whose id is not a u32
  File,             // a broken FS frame
  HttpResponse,     // a broken HTTPRESP frame
};
struct MalformedFrame {
  MalformedKind kind = MalformedKind::UnknownPrefix;
  std::string detail;
};

using HostFrame = std::variant<PingFrame, ExecFrame, ExecStreamFrame, FsReadFrame, FsWriteFrame, HttpHeadersFrame,
                               HttpBodyFrame, HttpEndFrame, HttpErrorFrame, MalformedFrame>;

inline bool is_http_response(const HostFrame& frame) {
  return std::holds_alternative<HttpHeadersFrame>(frame) || std::holds_alternative<HttpBodyFrame>(frame) ||
         std::holds_alternative<HttpEndFrame>(frame) || std::holds_alternative<HttpErrorFrame>(frame) ||
         (std::holds_alternative<MalformedFrame>(frame) &&
          std::get<MalformedFrame>(frame).kind == MalformedKind::HttpResponse);
}

}  // namespace quorrel::agent
