#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace quorrel::vm::http_proxy {

// Why a proxied HTTPS request failed. The guest sees code(), the Python
// caller sees to_string().
class HttpProxyError {
 public:
  enum class Kind : std::uint8_t {
    DeniedHost,
    Timeout,
    BodyTooLarge,
    ConnectFailed,
    TlsFailed,
    InvalidUrl,
    DnsRebind,
    Internal,
  };

  static HttpProxyError denied_host(std::string host) { return {Kind::DeniedHost, std::move(host)}; }
  static HttpProxyError timeout() { return {Kind::Timeout, {}}; }
  static HttpProxyError body_too_large() { return {Kind::BodyTooLarge, {}}; }
  static HttpProxyError connect_failed(std::string detail) { return {Kind::ConnectFailed, std::move(detail)}; }
  static HttpProxyError tls_failed(std::string detail) { return {Kind::TlsFailed, std::move(detail)}; }
  static HttpProxyError invalid_url(std::string detail) { return {Kind::InvalidUrl, std::move(detail)}; }
  static HttpProxyError dns_rebind(std::string detail) { return {Kind::DnsRebind, std::move(detail)}; }
  static HttpProxyError internal(std::string detail) { return {Kind::Internal, std::move(detail)}; }

  Kind kind() const { return kind_; }
  // The host of DeniedHost, the detail of the text-carrying variants, empty
  // for Timeout and BodyTooLarge.
  const std::string& payload() const { return payload_; }

  // The word the guest receives in an error reply, e.g. "DENIED_HOST".
  std::string_view code() const;
  // The user-facing text, e.g. "domain not in whitelist: example.com".
  std::string to_string() const;

  friend bool operator==(const HttpProxyError&, const HttpProxyError&) = default;

 private:
  HttpProxyError(Kind k, std::string p) : kind_(k), payload_(std::move(p)) {}

  Kind kind_;
  std::string payload_;
};

template <class T>
using ProxyResult = std::expected<T, HttpProxyError>;

}  // namespace quorrel::vm::http_proxy
