#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace quorrel::vm::http_proxy {

// An absolute URL, parsed the way browsers parse URLs, limited to what the
// proxy needs: scheme, credentials, host, port, path and query. Every text
// field is in its serialised, percent-encoded form.
struct ParsedUrl {
  // Lower case, without the ":".
  std::string scheme;
  std::string username;
  std::string password;
  // The serialised host (lower-case ASCII domain, dotted IPv4, or IPv6 in
  // brackets); absent for a URL without authority such as "mailto:x", and
  // possibly empty for schemes other than http, https, ws, wss and ftp.
  std::optional<std::string> host;
  // Only a port that differs from the scheme's default.
  std::optional<std::uint16_t> port;
  // Starts with "/" for URLs with a host; opaque otherwise.
  std::string path;
  std::optional<std::string> query;
  std::optional<std::string> fragment;

  bool is_special() const;
  // The written port, or the scheme's default port when it has one.
  std::optional<std::uint16_t> port_or_known_default() const;
  // The URL as sent in a request: everything but the fragment.
  std::string serialize_without_fragment() const;

  friend bool operator==(const ParsedUrl&, const ParsedUrl&) = default;
};

// The scheme's default port: 80 for http and ws, 443 for https and wss, 21
// for ftp.
std::optional<std::uint16_t> default_port(std::string_view scheme);

// Parses an absolute URL (there is no base URL). The error is a short
// description, e.g. "relative URL without a base" or "invalid port number".
std::expected<ParsedUrl, std::string> parse_url(std::string_view input);

}  // namespace quorrel::vm::http_proxy
