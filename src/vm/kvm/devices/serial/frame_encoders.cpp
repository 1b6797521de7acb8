#include "vm/kvm/devices/serial/frame_encoders.h"

#include <nlohmann/json.hpp>

#include "core/utf8.h"

namespace quorrel::vm {

namespace {

std::string length_prefixed(std::string_view head, std::string_view payload) {
  std::string out;
  out.reserve(head.size() + payload.size() + 24);
  out.append(head);
  out.append(std::to_string(payload.size()));
  out.push_back(':');
  out.append(payload);
  out.push_back('\n');
  return out;
}

std::string id_head(std::string_view head, std::uint32_t id) {
  std::string out(head);
  out.append(std::to_string(id));
  out.push_back(':');
  return out;
}

}  // namespace

std::string build_guest_command(const std::vector<std::string>& argv) {
  std::string out;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (i > 0) out.push_back(' ');
    out.push_back('\'');
    for (char c : argv[i]) {
      if (c == '\'') {
        out.append("'\"'\"'");
      } else {
        out.push_back(c);
      }
    }
    out.push_back('\'');
  }
  return out;
}

std::expected<std::string, MicrovmError> encode_command_payload(const std::vector<std::string>& argv,
                                                                const std::map<std::string, std::string>& env,
                                                                std::optional<std::uint64_t> timeout_secs,
                                                                const std::optional<std::string>& cwd) {
  if (timeout_secs && *timeout_secs == 0) return std::unexpected(MicrovmError::invalid_config("timeout_secs must not be zero"));
  std::string json;
  try {
    nlohmann::ordered_json j = nlohmann::ordered_json::object();
    j["cmd"] = build_guest_command(argv);
    if (!env.empty()) {
      nlohmann::ordered_json e = nlohmann::ordered_json::object();
      for (const auto& [k, v] : env) e[k] = v;
      j["env"] = std::move(e);
    }
    if (timeout_secs) j["timeout"] = *timeout_secs;
    if (cwd) j["cwd"] = *cwd;
    json = j.dump();
  } catch (const std::exception& e) {
    return std::unexpected(MicrovmError::backend(std::string("failed to serialize guest EXEC payload: ") + e.what()));
  }
  return length_prefixed("EXEC:", json);
}

std::string encode_ping() { return "PING\n"; }

std::string encode_stream_command(std::uint32_t stream_id, std::string_view command) {
  return length_prefixed(id_head("EXECS:", stream_id), command);
}

std::string encode_fs_read(std::string_view path) { return length_prefixed("FS:READ:", path); }

std::string encode_fs_write(std::string_view path, std::string_view data) {
  std::string out = length_prefixed("FS:WRITE:", path);
  out.append(std::to_string(data.size()));
  out.push_back(':');
  out.append(data);
  out.push_back('\n');
  return out;
}

std::string encode_http_headers(std::uint32_t id, std::string_view json) {
  return length_prefixed(id_head("HTTPRESP:HEADERS:", id), json);
}

std::string encode_http_body(std::uint32_t id, std::string_view chunk) {
  return length_prefixed(id_head("HTTPRESP:BODY:", id), chunk);
}

std::string encode_http_end(std::uint32_t id) { return "HTTPRESP:END:" + std::to_string(id) + "\n"; }

std::string encode_http_error(std::uint32_t id, std::string_view code, std::string_view message) {
  std::string head = id_head("HTTPRESP:ERROR:", id);
  head.append(code);
  head.push_back(':');
  return length_prefixed(head, message);
}

std::string preview_serial_output(std::string_view console_output) {
  if (console_output.empty()) return "<empty>";
  const bool cut = console_output.size() > kSerialPreviewBytes;
  const std::string text = core::utf8_lossy(cut ? console_output.substr(console_output.size() - kSerialPreviewBytes)
                                                : console_output);
  std::string out = cut ? "..." : "";
  for (char c : text) {
    if (c == '\n') {
      out.append("\\n");
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace quorrel::vm
