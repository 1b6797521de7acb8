#include "guest_frame.h"

namespace quorrel::agent {
namespace {

std::string with_payload(std::string head, std::string_view data) {
  head += std::to_string(data.size());
  head += ':';
  head.append(data);
  head += '\n';
  return head;
}

const char* stream_digit(OutputStream stream) { return stream == OutputStream::Stdout ? "1" : "2"; }

}  // namespace

std::string output_line(OutputStream stream, std::string_view escaped) {
  std::string line = "OUTPUT:";
  line += stream_digit(stream);
  line += ':';
  line.append(escaped);
  line += '\n';
  return line;
}

std::string plain_output_line(std::string_view text) {
  std::string line = "OUTPUT:";
  line.append(text);
  line += '\n';
  return line;
}

std::string exit_line(int code) { return "EXIT:" + std::to_string(code) + "\n"; }

std::string exit_timeout_line() { return "EXIT:TIMEOUT\n"; }

std::string stream_start_frame(std::uint32_t id) { return "STREAM:START:" + std::to_string(id) + "\n"; }

std::string stream_data_frame(OutputStream stream, std::uint32_t id, std::string_view data) {
  std::string head = stream == OutputStream::Stdout ? "STREAM:STDOUT:" : "STREAM:STDERR:";
  head += std::to_string(id);
  head += ':';
  return with_payload(std::move(head), data);
}

std::string stream_end_frame(std::uint32_t id, int code) {
  return "STREAM:END:" + std::to_string(id) + ":" + std::to_string(code) + "\n";
}

std::string stream_timeout_frame(std::uint32_t id) { return "STREAM:TIMEOUT:" + std::to_string(id) + "\n"; }

std::string fs_result_frame(FsStatus status) {
  return "FSRESULT:" + std::to_string(static_cast<unsigned>(status)) + "\n";
}

std::string fs_result_frame(FsStatus status, std::string_view data) {
  return with_payload("FSRESULT:" + std::to_string(static_cast<unsigned>(status)) + ":", data);
}

std::string http_request_frame(std::uint32_t id, std::string_view json) {
  return with_payload("HTTP:REQUEST:" + std::to_string(id) + ":", json);
}

}  // namespace quorrel::agent
