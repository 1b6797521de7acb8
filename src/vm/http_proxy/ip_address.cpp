#include "vm/http_proxy/ip_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace quorrel::vm::http_proxy {

IpAddress IpAddress::v4(std::uint32_t a) {
  IpAddress ip;
  ip.family = Family::V4;
  ip.bytes[0] = static_cast<std::uint8_t>(a >> 24);
  ip.bytes[1] = static_cast<std::uint8_t>(a >> 16);
  ip.bytes[2] = static_cast<std::uint8_t>(a >> 8);
  ip.bytes[3] = static_cast<std::uint8_t>(a);
  return ip;
}

IpAddress IpAddress::v6(const std::array<std::uint8_t, 16>& b) {
  IpAddress ip;
  ip.family = Family::V6;
  ip.bytes = b;
  return ip;
}

std::optional<IpAddress> IpAddress::parse(std::string_view text) {
  const std::string s(text);
  IpAddress ip;
  if (inet_pton(AF_INET, s.c_str(), ip.bytes.data()) == 1) {
    ip.family = Family::V4;
    return ip;
  }
  if (inet_pton(AF_INET6, s.c_str(), ip.bytes.data()) == 1) {
    ip.family = Family::V6;
    return ip;
  }
  return std::nullopt;
}

std::optional<IpAddress> IpAddress::from_sockaddr(const sockaddr* sa) {
  IpAddress ip;
  if (sa->sa_family == AF_INET) {
    sockaddr_in in;
    std::memcpy(&in, sa, sizeof in);
    ip.family = Family::V4;
    std::memcpy(ip.bytes.data(), &in.sin_addr, 4);
    return ip;
  }
  if (sa->sa_family == AF_INET6) {
    sockaddr_in6 in6;
    std::memcpy(&in6, sa, sizeof in6);
    ip.family = Family::V6;
    std::memcpy(ip.bytes.data(), &in6.sin6_addr, 16);
    return ip;
  }
  return std::nullopt;
}

std::string IpAddress::to_string() const {
  char buf[INET6_ADDRSTRLEN] = {};
  inet_ntop(family == Family::V4 ? AF_INET : AF_INET6, bytes.data(), buf, sizeof buf);
  return buf;
}

std::string SocketAddress::to_string() const {
  const std::string host = ip.to_string();
  return (ip.family == IpAddress::Family::V6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace quorrel::vm::http_proxy
