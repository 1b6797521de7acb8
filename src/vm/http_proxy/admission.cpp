#include "vm/http_proxy/admission.h"

#include <netdb.h>
#include <sys/socket.h>

#include <memory>

#include "vm/http_proxy/domain_whitelist.h"
#include "vm/http_proxy/private_address.h"

namespace quorrel::vm::http_proxy {

std::expected<std::vector<IpAddress>, std::string> resolve_with_system(const std::string& host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (rc != 0) return std::unexpected(std::string(gai_strerror(rc)));
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(list, &freeaddrinfo);
  std::vector<IpAddress> out;
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_addr == nullptr) continue;
    if (auto ip = IpAddress::from_sockaddr(ai->ai_addr)) out.push_back(*ip);
  }
  return out;
}

ProxyResult<AdmittedRequest> admit_http_request(const std::vector<std::string>& whitelist, const HttpRequest& request,
                                                const Resolver& resolver) {
  auto url = parse_url(request.url);
  if (!url) return std::unexpected(HttpProxyError::invalid_url(url.error()));
  if (url->scheme != "https") return std::unexpected(HttpProxyError::invalid_url("only HTTPS is allowed, got " + url->scheme));
  if (!url->host) return std::unexpected(HttpProxyError::invalid_url("URL missing host"));

  const std::string host = normalize_host(*url->host);
  if (host.empty()) return std::unexpected(HttpProxyError::invalid_url("host must not be empty"));
  if (auto literal = IpAddress::parse(host)) {
    if (is_private_ip(*literal)) return std::unexpected(HttpProxyError::denied_host(host));
    return std::unexpected(HttpProxyError::invalid_url("direct IP access is forbidden"));
  }
  if (!domain_allowed(host, whitelist)) return std::unexpected(HttpProxyError::denied_host(host));

  // Resolve the name as written (a trailing dot stays); only an IPv6
  // literal loses its brackets, which belong to URL syntax.
  std::string lookup_host = *url->host;
  if (lookup_host.empty()) return std::unexpected(HttpProxyError::invalid_url("URL missing host"));
  if (lookup_host.size() >= 2 && lookup_host.front() == '[' && lookup_host.back() == ']') {
    lookup_host = lookup_host.substr(1, lookup_host.size() - 2);
  }
  const auto port = url->port_or_known_default();
  if (!port) return std::unexpected(HttpProxyError::invalid_url("URL missing port information"));

  auto addresses = resolver(lookup_host, *port);
  if (!addresses) return std::unexpected(HttpProxyError::connect_failed("DNS resolution failed: " + addresses.error()));
  if (addresses->empty()) {
    return std::unexpected(HttpProxyError::connect_failed("DNS resolution returned no addresses for " + lookup_host));
  }
  for (const auto& ip : *addresses) {
    if (is_private_ip(ip)) {
      return std::unexpected(
          HttpProxyError::dns_rebind(lookup_host + " resolved to private address " + ip.to_string()));
    }
  }

  AdmittedRequest admitted;
  admitted.pinned = SocketAddress{addresses->front(), *port};
  admitted.url = std::move(*url);
  admitted.host = host;
  admitted.port = *port;
  return admitted;
}

}  // namespace quorrel::vm::http_proxy
