#include "sdk/http_proxy_error_mapping.h"

namespace quorrel::sdk {

SdkError map_http_proxy_error(vm::http_proxy::HttpProxyError error) {
  using K = vm::http_proxy::HttpProxyError::Kind;
  const auto coded = [&](ErrorCode code, std::string message, std::string_view suggestion) {
    return SdkError::coded(code, std::move(message), std::string(suggestion));
  };
  switch (error.kind()) {
    case K::DeniedHost: return coded(ErrorCode::HttpDeniedHost, error.payload(), suggestion::kDomainWhitelist);
    case K::Timeout: return coded(ErrorCode::HttpTimeout, "HTTP request timed out", suggestion::kHttpReachability);
    case K::BodyTooLarge:
      return coded(ErrorCode::HttpBodyTooLarge, "HTTP body exceeds size limit", suggestion::kReduceBodySize);
    case K::ConnectFailed: return coded(ErrorCode::HttpConnectFailed, error.payload(), suggestion::kHttpConnectivity);
    case K::TlsFailed: return coded(ErrorCode::HttpTlsFailed, error.payload(), suggestion::kTlsConfiguration);
    case K::InvalidUrl: return coded(ErrorCode::HttpInvalidUrl, error.payload(), suggestion::kHttpsOnly);
    case K::DnsRebind: return coded(ErrorCode::HttpDeniedHost, error.payload(), suggestion::kPrivateAddress);
    case K::Internal: return SdkError::config(error.payload());
  }
  return SdkError::config(error.payload());
}

}  // namespace quorrel::sdk
