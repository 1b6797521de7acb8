#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace quorrel::vm::http_proxy {

using Ipv6Pieces = std::array<std::uint16_t, 8>;

// Host parsing as browsers do it for URLs. Every function returns the
// serialised host: a lower-case ASCII domain, a dotted-decimal IPv4 address,
// or a bracketed IPv6 address in its shortest form. Error texts are short
// descriptions such as "invalid IPv4 address".

// The host of a URL with a special scheme (http, https, ws, wss, ftp, file):
// percent-decoding, international names to ASCII, forbidden code points, and
// IPv4 in every form URLs allow (hex, octal, fewer than four parts), so that
// "0x7f.1" and "2130706433" both become "127.0.0.1".
std::expected<std::string, std::string> parse_special_host(std::string_view input);

// The host of a URL with any other scheme: kept as written apart from
// percent-encoding of controls and non-ASCII bytes.
std::expected<std::string, std::string> parse_opaque_host(std::string_view input);

// The IPv4 parser of URL hosts; the result is the address as a number.
std::expected<std::uint32_t, std::string> parse_url_ipv4(std::string_view input);
// Whether a domain's last label makes it an IPv4 address to URL parsing.
bool ends_in_a_number(std::string_view domain);

// IPv6 text without brackets, including the embedded IPv4 form.
std::expected<Ipv6Pieces, std::string> parse_url_ipv6(std::string_view input);
// Shortest form without brackets: lower-case hex, the first longest run of
// two or more zero pieces compressed.
std::string serialize_ipv6(const Ipv6Pieces& pieces);
std::string serialize_ipv4(std::uint32_t address);

}  // namespace quorrel::vm::http_proxy
