#include "vm/http_proxy/http_proxy_error.h"

namespace quorrel::vm::http_proxy {

std::string_view HttpProxyError::code() const {
  switch (kind_) {
    case Kind::DeniedHost: return "DENIED_HOST";
    case Kind::Timeout: return "TIMEOUT";
    case Kind::BodyTooLarge: return "BODY_TOO_LARGE";
    case Kind::ConnectFailed: return "CONNECT_FAIL";
    case Kind::TlsFailed: return "TLS_FAIL";
    case Kind::InvalidUrl: return "INVALID_URL";
    case Kind::DnsRebind: return "DNS_REBIND";
    case Kind::Internal: return "INTERNAL";
  }
  return "INTERNAL";
}

std::string HttpProxyError::to_string() const {
  switch (kind_) {
    case Kind::DeniedHost: return "domain not in whitelist: " + payload_;
    case Kind::Timeout: return "HTTP request timed out";
    case Kind::BodyTooLarge: return "HTTP body exceeds size limit";
    case Kind::ConnectFailed: return "HTTP connection failed: " + payload_;
    case Kind::TlsFailed: return "TLS handshake failed: " + payload_;
    case Kind::InvalidUrl: return "invalid URL: " + payload_;
    case Kind::DnsRebind: return "DNS resolution hit private address: " + payload_;
    case Kind::Internal: return "HTTP proxy internal error: " + payload_;
  }
  return payload_;
}

}  // namespace quorrel::vm::http_proxy
