#include "vm/http_proxy/client_error.h"

namespace quorrel::vm::http_proxy {

HttpProxyError map_client_error(const ClientError& error) {
  switch (error.kind) {
    case ClientError::Kind::TimedOut: return HttpProxyError::timeout();
    case ClientError::Kind::Connect: {
      std::string lower = error.text;
      for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      }
      for (const char* word : {"certificate", "tls", "ssl", "handshake"}) {
        if (lower.find(word) != std::string::npos) return HttpProxyError::tls_failed(error.text);
      }
      return HttpProxyError::connect_failed(error.text);
    }
    case ClientError::Kind::Request: return HttpProxyError::invalid_url(error.text);
    case ClientError::Kind::Other: return HttpProxyError::internal(error.text);
  }
  return HttpProxyError::internal(error.text);
}

}  // namespace quorrel::vm::http_proxy
