#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorrel::vm::http_proxy {

// An IPv4 or IPv6 address, without port.
struct IpAddress {
  enum class Family : std::uint8_t { V4, V6 };
  Family family = Family::V4;
  // Network byte order; V4 uses the first four bytes.
  std::array<std::uint8_t, 16> bytes{};

  static IpAddress v4(std::uint32_t host_order);
  static IpAddress v6(const std::array<std::uint8_t, 16>& network_order);
  // Plain dotted-decimal IPv4 or unbracketed IPv6 text, as inet_pton reads it.
  static std::optional<IpAddress> parse(std::string_view text);
  // From a socket address of family AF_INET or AF_INET6.
  static std::optional<IpAddress> from_sockaddr(const sockaddr* sa);

  // Dotted decimal, or the RFC 5952 text of IPv6 (IPv4-mapped addresses
  // keep their dotted tail, "::ffff:10.0.0.5").
  std::string to_string() const;

  friend bool operator==(const IpAddress&, const IpAddress&) = default;
};

// An address with a port: where the exchange connects.
struct SocketAddress {
  IpAddress ip;
  std::uint16_t port = 0;

  // "10.0.0.5:443" or "[2001:db8::1]:443".
  std::string to_string() const;

  friend bool operator==(const SocketAddress&, const SocketAddress&) = default;
};

}  // namespace quorrel::vm::http_proxy
