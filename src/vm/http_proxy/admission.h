#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "vm/http_proxy/http_proxy_error.h"
#include "vm/http_proxy/http_request.h"
#include "vm/http_proxy/ip_address.h"
#include "vm/http_proxy/url.h"

namespace quorrel::vm::http_proxy {

// Resolves a host name for stream sockets; addresses in the resolver's
// order, or the resolver's error text.
using Resolver = std::function<std::expected<std::vector<IpAddress>, std::string>(const std::string& host,
                                                                                   std::uint16_t port)>;

// The system resolver (getaddrinfo).
std::expected<std::vector<IpAddress>, std::string> resolve_with_system(const std::string& host, std::uint16_t port);

// What a request that passed the policy may connect to.
struct AdmittedRequest {
  ParsedUrl url;
  // The host as compared with the whitelist.
  std::string host;
  std::uint16_t port = 0;
  // The only address the exchange may connect to: the first resolved one.
  SocketAddress pinned;
};

// The policy applied before any connection: HTTPS only, no IP literals,
// whitelisted host, and every resolved address public.
ProxyResult<AdmittedRequest> admit_http_request(const std::vector<std::string>& whitelist, const HttpRequest& request,
                                                const Resolver& resolver = resolve_with_system);

}  // namespace quorrel::vm::http_proxy
