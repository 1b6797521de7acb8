#pragma once

#include <string>

#include "vm/http_proxy/admission.h"
#include "vm/http_proxy/http_proxy_error.h"
#include "vm/http_proxy/http_request.h"
#include "vm/http_proxy/http_response.h"

namespace quorrel::vm::http_proxy {

// How the exchange trusts servers. The default verifies certificates
// against the system's root store (libcurl's built-in bundle,
// /etc/ssl/certs/ca-certificates.crt on Debian). Neither SSL_CERT_FILE nor
// any other environment variable changes it; only code that builds its own
// settings (the tests, which trust a CA they generate) can name another
// PEM bundle here.
struct ExchangeSettings {
  // PEM file of the only roots to trust; empty: the system store.
  std::string ca_file;
};

// The HTTPS exchange after admission: validates the method, connects to
// admitted.pinned and nowhere else (the URL's host still serves for SNI,
// certificate verification and the Host header), sends the request with
// HTTP/1.1, follows no redirect, and reads the capped body. One client and
// one connection per call; no proxy, no decompression, no cookies.
ProxyResult<HttpProxyResponse> exchange_http_request(const AdmittedRequest& admitted, HttpRequest request,
                                                     const ExchangeSettings& settings = {});

}  // namespace quorrel::vm::http_proxy
