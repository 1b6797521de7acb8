#include "vm/http_proxy/http_proxy.h"

namespace quorrel::vm::http_proxy {

ProxyResult<HttpProxyResponse> execute_http_request(const std::vector<std::string>& whitelist, HttpRequest request) {
  return execute_http_request(whitelist, std::move(request), resolve_with_system, ExchangeSettings{});
}

ProxyResult<HttpProxyResponse> execute_http_request(const std::vector<std::string>& whitelist, HttpRequest request,
                                                    const Resolver& resolver, const ExchangeSettings& settings) {
  auto admitted = admit_http_request(whitelist, request, resolver);
  if (!admitted) return std::unexpected(admitted.error());
  return exchange_http_request(*admitted, std::move(request), settings);
}

}  // namespace quorrel::vm::http_proxy
