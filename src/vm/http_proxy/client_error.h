#pragma once

#include <cstdint>
#include <string>

#include "vm/http_proxy/http_proxy_error.h"

namespace quorrel::vm::http_proxy {

// A failure of the HTTP client while it sent a request and waited for the
// response head.
struct ClientError {
  enum class Kind : std::uint8_t {
    // The time limit ran out.
    TimedOut,
    // The connection (TCP or TLS) could not be established.
    Connect,
    // The request could not be built or sent, or the connection broke
    // after it was established.
    Request,
    // Anything else.
    Other,
  };
  Kind kind = Kind::Other;
  std::string text;
};

// Timeout first; then connection failures, which are TLS failures when the
// text mentions a certificate, TLS, SSL or a handshake; then request
// failures as InvalidUrl; everything else is Internal.
HttpProxyError map_client_error(const ClientError& error);

}  // namespace quorrel::vm::http_proxy
