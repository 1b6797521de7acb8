#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "vm/http_proxy/http_proxy_error.h"

namespace quorrel::vm::http_proxy {

// Largest request body, in bytes, on both paths.
inline constexpr std::uint64_t kMaxRequestBodyBytes = 1048576;
inline constexpr std::uint64_t kDefaultTimeoutMs = 30000;
inline constexpr std::uint64_t kDefaultMaxResponseBytes = 1048576;

// A guest chooses its own time limit and response cap, but never beyond
// these: larger values are lowered to them, smaller ones are used as sent.
// Without them a guest could make the host buffer a body of any size or hold
// the vCPU thread indefinitely.
inline constexpr std::uint64_t kGuestMaxResponseBytesCap = 16 * 1024 * 1024;
inline constexpr std::uint64_t kGuestTimeoutMsCap = 300000;

// One HTTPS request to be proxied; consumed by one execution.
struct HttpRequest {
  // Exactly as received; validated when executed.
  std::string method;
  // The absolute URL as received.
  std::string url;
  // One value per name; names that differ in letter case are separate.
  std::map<std::string, std::string> headers;
  // Absent means no body; present and empty is an empty body.
  std::optional<std::string> body;
  std::uint64_t timeout_ms = kDefaultTimeoutMs;
  std::uint64_t max_response_bytes = kDefaultMaxResponseBytes;

  // The host caller's request: default time limit and response cap, which
  // the caller cannot change. Fails with BodyTooLarge above 1 MiB of body.
  static ProxyResult<HttpRequest> create(std::string method, std::string url,
                                         std::map<std::string, std::string> headers,
                                         std::optional<std::string> body);

  // The guest's request, a JSON object with the keys "method", "url",
  // "headers", "body_b64", "timeout_ms" and "max_response_bytes" (or an array
  // of those values in that order). `text` is known to be valid UTF-8.
  static ProxyResult<HttpRequest> from_json(std::string_view text);

  friend bool operator==(const HttpRequest&, const HttpRequest&) = default;
};

}  // namespace quorrel::vm::http_proxy
