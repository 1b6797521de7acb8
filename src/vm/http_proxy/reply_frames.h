#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "vm/http_proxy/http_proxy_error.h"
#include "vm/http_proxy/http_response.h"

namespace quorrel::vm::http_proxy {

// Largest body piece of one "HTTPRESP:BODY:" frame.
inline constexpr std::size_t kReplyBodyChunkBytes = 16384;

// The compact JSON of the HEADERS frame:
// {"body_len":N,"headers":{...},"status":S,"truncated":false}, header names
// in ascending byte order. Fails with the serialiser's text when a header
// is not valid UTF-8.
std::expected<std::string, std::string> build_reply_headers_json(const HttpProxyResponse& response);

// "HTTPRESP:HEADERS:{id}:{json_len}:{json}\n".
std::string build_reply_headers_frame(std::uint32_t id, std::string_view json);
// "HTTPRESP:BODY:{id}:{len}:{bytes}\n".
std::string build_reply_body_frame(std::uint32_t id, std::string_view chunk);
// "HTTPRESP:END:{id}\n".
std::string build_reply_end_frame(std::uint32_t id);
// "HTTPRESP:ERROR:{id}:{code}:{msg_len}:{message}\n" with the error's code
// and display text.
std::string build_reply_error_frame(std::uint32_t id, const HttpProxyError& error);

// The whole reply to a successful exchange, one element per frame: HEADERS,
// BODY frames of at most 16384 bytes (none for an empty body), END.
std::expected<std::vector<std::string>, std::string> build_reply_frames(std::uint32_t id,
                                                                        const HttpProxyResponse& response);

}  // namespace quorrel::vm::http_proxy
