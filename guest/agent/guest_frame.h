#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorrel::agent {

// Encoders of the frames the agent sends to the host.
enum class OutputStream { Stdout = 1, Stderr = 2 };

// "OUTPUT:{1|2}:" + already escaped text + newline.
std::string output_line(OutputStream stream, std::string_view escaped);
// "OUTPUT:" + text without stream selector (replies to broken frames).
std::string plain_output_line(std::string_view text);
std::string exit_line(int code);
std::string exit_timeout_line();

std::string stream_start_frame(std::uint32_t id);
std::string stream_data_frame(OutputStream stream, std::uint32_t id, std::string_view data);
std::string stream_end_frame(std::uint32_t id, int code);
std::string stream_timeout_frame(std::uint32_t id);

// FSRESULT status codes.
enum class FsStatus : std::uint8_t { Ok = 0, NotFound = 1, IoError = 2, PermissionDenied = 3, NoSpace = 4 };
std::string fs_result_frame(FsStatus status);
std::string fs_result_frame(FsStatus status, std::string_view data);

std::string http_request_frame(std::uint32_t id, std::string_view json);

}  // namespace quorrel::agent
