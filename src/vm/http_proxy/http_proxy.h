#pragma once

#include <string>
#include <vector>

#include "vm/http_proxy/admission.h"
#include "vm/http_proxy/http_proxy_error.h"
#include "vm/http_proxy/http_request.h"
#include "vm/http_proxy/http_response.h"
#include "vm/http_proxy/pinned_exchange.h"

namespace quorrel::vm::http_proxy {

// Admission, then the exchange with the pinned address. Blocks the caller
// for the name resolution and the whole exchange, which the request's time
// limit bounds.
ProxyResult<HttpProxyResponse> execute_http_request(const std::vector<std::string>& whitelist, HttpRequest request);

// The same with a chosen resolver and trust settings.
ProxyResult<HttpProxyResponse> execute_http_request(const std::vector<std::string>& whitelist, HttpRequest request,
                                                    const Resolver& resolver, const ExchangeSettings& settings);

}  // namespace quorrel::vm::http_proxy
