#pragma once

// Guest-to-host side of the serial frame protocol.
//
// The parser is independent of KVM: feed it whatever bytes the guest
// transmitted (from a KVM port exit, a QEMU serial socket, a test), in chunks
// of any size, and look at what comes back.
//
//   quorrel::vm::SerialDevice uart;           // only its registers matter here
//   std::string console;                      // every transmitted byte
//   bool ready = false;                       // set by the "READY" line
//   quorrel::vm::FrameBuffer frames;          // one per operation
//   quorrel::vm::ResponseCollector collector = quorrel::vm::CommandCollector{};
//   auto r = quorrel::vm::handle_serial_write(uart, console, ready, 0x3F8,
//                                             bytes, frames, &collector);
//   // r: error | nullopt (keep feeding) | a SerialProtocolResult
//
// `feed_serial_bytes` is the same call without the UART register model, for
// transports that deliver the transmitted bytes directly.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "vm/kvm/devices/serial/serial_device.h"
#include "vm/http_proxy/http_request.h"
#include "vm/kvm/guest_command.h"
#include "vm/vm/microvm_error.h"

namespace quorrel::vm {

inline constexpr std::size_t kFrameBufferLimit = 33554432;     // bytes held before the buffer is dropped
inline constexpr std::uint64_t kFsDataLimit = 10485760;        // FSRESULT and FS:WRITE payloads
inline constexpr std::uint64_t kHttpJsonLimit = 16777216;      // HTTP:REQUEST JSON
inline constexpr std::uint64_t kStreamDataLimit = 16777216;    // STREAM:STDOUT / STDERR payloads

struct FsResult {
  std::uint8_t status = 0;
  std::string data;
  friend bool operator==(const FsResult&, const FsResult&) = default;
};

// A guest HTTP request frame: the guest's id and its parsed request.
struct HttpRequestFrame {
  std::uint32_t id = 0;
  http_proxy::HttpRequest request;
  friend bool operator==(const HttpRequestFrame&, const HttpRequestFrame&) = default;
};

namespace frame {
struct PingPong {
  friend bool operator==(const PingPong&, const PingPong&) = default;
};
struct Command {
  GuestCommandResult result;
  friend bool operator==(const Command&, const Command&) = default;
};
struct Fs {
  FsResult result;
  friend bool operator==(const Fs&, const Fs&) = default;
};
struct HttpRequest {
  HttpRequestFrame frame;
  friend bool operator==(const HttpRequest&, const HttpRequest&) = default;
};
struct StreamStart {
  std::uint32_t id = 0;
  friend bool operator==(const StreamStart&, const StreamStart&) = default;
};
struct StreamStdout {
  std::uint32_t id = 0;
  std::string data;
  friend bool operator==(const StreamStdout&, const StreamStdout&) = default;
};
struct StreamStderr {
  std::uint32_t id = 0;
  std::string data;
  friend bool operator==(const StreamStderr&, const StreamStderr&) = default;
};
struct StreamEnd {
  std::uint32_t id = 0;
  std::int32_t exit_code = 0;
  friend bool operator==(const StreamEnd&, const StreamEnd&) = default;
};
struct StreamTimeout {
  std::uint32_t id = 0;
  friend bool operator==(const StreamTimeout&, const StreamTimeout&) = default;
};
}  // namespace frame

// One parsed guest frame (or the completion of a command).
using SerialProtocolResult = std::variant<frame::PingPong, frame::Command, frame::Fs, frame::HttpRequest,
                                          frame::StreamStart, frame::StreamStdout, frame::StreamStderr,
                                          frame::StreamEnd, frame::StreamTimeout>;

// Variant name and fields, e.g. "StreamStart(0)".
std::string debug_string(const SerialProtocolResult& r);

// Output of the running command, collected from OUTPUT lines.
struct CommandCollector {
  std::string stdout_data;
  std::string stderr_data;
};
// A file operation waits for its FSRESULT frame.
struct AwaitFsResult {};
using ResponseCollector = std::variant<CommandCollector, AwaitFsResult>;

// Guest bytes not yet consumed as a frame or a line; one per operation.
struct FrameBuffer {
  std::string bytes;
  // Size the buffer must reach (or a newline must arrive) before parsing
  // again can give anything but "incomplete"; keeps long lines linear.
  std::size_t resume_at = 0;
  // While the buffer is shorter than this, it is inside a frame's counted
  // payload and every byte is kept, carriage returns included; elsewhere
  // carriage returns are dropped.
  std::size_t payload_end = 0;
};

using SerialWriteOutcome = std::expected<std::optional<SerialProtocolResult>, MicrovmError>;

// Handles a guest write of `data` to a UART port. Bytes transmitted through
// the data register go to console_output and the parser; the first result or
// error ends the call (the rest of the write is dropped).
SerialWriteOutcome handle_serial_write(SerialDevice& serial, std::string& console_output, bool& guest_ready,
                                       std::uint16_t port, std::span<const std::uint8_t> data,
                                       FrameBuffer& frame_buffer, ResponseCollector* collector);

// The parser alone: every byte of `data` counts as transmitted.
SerialWriteOutcome feed_serial_bytes(std::string& console_output, bool& guest_ready, std::string_view data,
                                     FrameBuffer& frame_buffer, ResponseCollector* collector);

}  // namespace quorrel::vm
