#include "vm/http_proxy/reply_frames.h"

#include <nlohmann/json.hpp>

namespace quorrel::vm::http_proxy {

std::expected<std::string, std::string> build_reply_headers_json(const HttpProxyResponse& response) {
  nlohmann::ordered_json headers = nlohmann::ordered_json::object();
  // std::map iterates in ascending byte order of the names.
  for (const auto& [name, value] : response.headers) headers[name] = value;
  nlohmann::ordered_json doc = nlohmann::ordered_json::object();
  doc["body_len"] = static_cast<std::uint64_t>(response.body.size());
  doc["headers"] = std::move(headers);
  doc["status"] = response.status;
  doc["truncated"] = false;
  try {
    return doc.dump();
  } catch (const nlohmann::json::exception& e) {
    return std::unexpected(std::string(e.what()));
  }
}

std::string build_reply_headers_frame(std::uint32_t id, std::string_view json) {
  return "HTTPRESP:HEADERS:" + std::to_string(id) + ":" + std::to_string(json.size()) + ":" + std::string(json) + "\n";
}

std::string build_reply_body_frame(std::uint32_t id, std::string_view chunk) {
  return "HTTPRESP:BODY:" + std::to_string(id) + ":" + std::to_string(chunk.size()) + ":" + std::string(chunk) + "\n";
}

std::string build_reply_end_frame(std::uint32_t id) { return "HTTPRESP:END:" + std::to_string(id) + "\n"; }

std::string build_reply_error_frame(std::uint32_t id, const HttpProxyError& error) {
  const std::string message = error.to_string();
  return "HTTPRESP:ERROR:" + std::to_string(id) + ":" + std::string(error.code()) + ":" +
         std::to_string(message.size()) + ":" + message + "\n";
}

std::expected<std::vector<std::string>, std::string> build_reply_frames(std::uint32_t id,
                                                                        const HttpProxyResponse& response) {
  auto json = build_reply_headers_json(response);
  if (!json) return std::unexpected(json.error());
  std::vector<std::string> frames;
  frames.push_back(build_reply_headers_frame(id, *json));
  const std::string_view body = response.body;
  for (std::size_t at = 0; at < body.size(); at += kReplyBodyChunkBytes) {
    frames.push_back(build_reply_body_frame(id, body.substr(at, kReplyBodyChunkBytes)));
  }
  frames.push_back(build_reply_end_frame(id));
  return frames;
}

}  // namespace quorrel::vm::http_proxy
