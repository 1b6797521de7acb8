#pragma once

// Host-to-guest side of the serial frame protocol: every builder returns the
// complete frame bytes (ending with a newline) ready for
// SerialDevice::queue_input or for writing to any other serial transport.
//
//   auto frame = quorrel::vm::encode_command_payload({"echo", "hi"}, {}, 5, std::nullopt);
//   if (frame) uart.queue_input(*frame);   // "EXEC:{len}:{json}\n"

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vm/vm/microvm_error.h"

namespace quorrel::vm {

inline constexpr std::size_t kHttpBodyChunk = 16384;
inline constexpr std::size_t kSerialPreviewBytes = 4096;

// Joins the arguments as single-quoted shell words ("it's" -> 'it'"'"'s').
std::string build_guest_command(const std::vector<std::string>& argv);

// "EXEC:{json_len}:{json}\n" with the keys "cmd", "env" (when not empty),
// "timeout" (when present) and "cwd" (when present).
std::expected<std::string, MicrovmError> encode_command_payload(const std::vector<std::string>& argv,
                                                                const std::map<std::string, std::string>& env,
                                                                std::optional<std::uint64_t> timeout_secs,
                                                                const std::optional<std::string>& cwd);

std::string encode_ping();
// "EXECS:{id}:{len}:{command}\n"; the command is a build_guest_command string.
std::string encode_stream_command(std::uint32_t stream_id, std::string_view command);
std::string encode_fs_read(std::string_view path);
std::string encode_fs_write(std::string_view path, std::string_view data);
std::string encode_http_headers(std::uint32_t id, std::string_view json);
std::string encode_http_body(std::uint32_t id, std::string_view chunk);
std::string encode_http_end(std::uint32_t id);
std::string encode_http_error(std::uint32_t id, std::string_view code, std::string_view message);

// The tail of the guest console for error messages: "<empty>", or the last
// 4096 bytes decoded leniently with newlines written as "\n", prefixed with
// "..." when cut.
std::string preview_serial_output(std::string_view console_output);

}  // namespace quorrel::vm
