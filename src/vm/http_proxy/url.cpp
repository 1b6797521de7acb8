#include "vm/http_proxy/url.h"

#include <vector>

#include "core/utf8.h"
#include "vm/http_proxy/url_host.h"

namespace quorrel::vm::http_proxy {

namespace {

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
char to_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool is_special_scheme(std::string_view s) {
  return s == "http" || s == "https" || s == "ws" || s == "wss" || s == "ftp" || s == "file";
}

// Percent-encode sets, by the extra characters each adds to the C0 control
// set (controls and everything above "~").
constexpr std::string_view kFragmentSet = " \"<>`";
constexpr std::string_view kQuerySet = " \"#<>";
constexpr std::string_view kSpecialQuerySet = " \"#<>'";
constexpr std::string_view kPathSet = " \"#<>?^`{}";
constexpr std::string_view kUserinfoSet = " \"#<>?^`{}/:;=@[\\]|";

void percent_encode_into(std::string& out, std::string_view bytes, std::string_view set) {
  for (unsigned char c : bytes) {
    if (c <= 0x1F || c >= 0x7F || set.find(static_cast<char>(c)) != std::string_view::npos) {
      out += '%';
      out += "0123456789ABCDEF"[c >> 4];
      out += "0123456789ABCDEF"[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
}

std::string lower_ascii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = to_lower(c);
  return out;
}

bool is_single_dot(std::string_view s) { return s == "." || lower_ascii(s) == "%2e"; }
bool is_double_dot(std::string_view s) {
  const std::string l = lower_ascii(s);
  return l == ".." || l == ".%2e" || l == "%2e." || l == "%2e%2e";
}

bool is_windows_drive_letter(std::string_view s) {
  return s.size() == 2 && is_alpha(s[0]) && (s[1] == ':' || s[1] == '|');
}

// Strips leading and trailing C0 controls and spaces, and removes every tab
// and newline.
std::string preprocess(std::string_view input) {
  std::size_t b = 0, e = input.size();
  while (b < e && static_cast<unsigned char>(input[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(input[e - 1]) <= 0x20) --e;
  std::string out;
  out.reserve(e - b);
  for (std::size_t i = b; i < e; ++i) {
    if (input[i] != '\t' && input[i] != '\n' && input[i] != '\r') out += input[i];
  }
  return out;
}

std::expected<std::optional<std::uint16_t>, std::string> parse_port(std::string_view text, std::string_view scheme) {
  if (text.empty()) return std::optional<std::uint16_t>{};
  std::uint32_t value = 0;
  for (char c : text) {
    if (!is_digit(c)) return std::unexpected("invalid port number");
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 65535) return std::unexpected("invalid port number");
  }
  const auto port = static_cast<std::uint16_t>(value);
  if (default_port(scheme) == port) return std::optional<std::uint16_t>{};
  return std::optional<std::uint16_t>{port};
}

// The path of a hierarchical URL, from its first character (a slash or,
// for special schemes, a backslash, or nothing) up to the query or fragment.
std::string parse_path(std::string_view text, bool special) {
  std::vector<std::string> segments;
  std::size_t start = 0;
  // A leading separator starts the first segment.
  if (!text.empty() && (text[0] == '/' || (special && text[0] == '\\'))) start = 1;
  while (true) {
    std::size_t end = start;
    while (end < text.size() && text[end] != '/' && !(special && text[end] == '\\')) ++end;
    const std::string_view segment = text.substr(start, end - start);
    const bool more = end < text.size();
    if (is_double_dot(segment)) {
      if (!segments.empty()) segments.pop_back();
      if (!more) segments.emplace_back();
    } else if (is_single_dot(segment)) {
      if (!more) segments.emplace_back();
    } else {
      std::string encoded;
      percent_encode_into(encoded, segment, kPathSet);
      segments.push_back(std::move(encoded));
    }
    if (!more) break;
    start = end + 1;
  }
  std::string out;
  for (const auto& s : segments) out += "/" + s;
  return out;
}

struct Authority {
  std::string username;
  std::string password;
  std::string host;
  std::optional<std::uint16_t> port;
};

std::expected<Authority, std::string> parse_authority(std::string_view text, std::string_view scheme, bool special) {
  Authority a;
  const std::size_t at = text.rfind('@');
  std::string_view host_port = text;
  if (at != std::string_view::npos) {
    const std::string_view userinfo = text.substr(0, at);
    const std::size_t colon = userinfo.find(':');
    // Every "@" before the last belongs to the credentials.
    percent_encode_into(a.username, userinfo.substr(0, colon), kUserinfoSet);
    if (colon != std::string_view::npos) percent_encode_into(a.password, userinfo.substr(colon + 1), kUserinfoSet);
    host_port = text.substr(at + 1);
    if (host_port.empty()) return std::unexpected("empty host");
  }
  bool inside_brackets = false;
  std::size_t split = host_port.size();
  for (std::size_t i = 0; i < host_port.size(); ++i) {
    const char c = host_port[i];
    if (c == '[') inside_brackets = true;
    if (c == ']') inside_brackets = false;
    if (c == ':' && !inside_brackets) {
      split = i;
      break;
    }
  }
  const std::string_view host_text = host_port.substr(0, split);
  if (host_text.empty() && (special || split < host_port.size())) return std::unexpected("empty host");
  auto host = special ? parse_special_host(host_text) : parse_opaque_host(host_text);
  if (!host) return std::unexpected(host.error());
  a.host = std::move(*host);
  if (split < host_port.size()) {
    auto port = parse_port(host_port.substr(split + 1), scheme);
    if (!port) return std::unexpected(port.error());
    a.port = *port;
  }
  return a;
}

// Splits "path?query#fragment" into its three parts and stores them.
void parse_path_query_fragment(ParsedUrl& url, std::string_view rest, bool opaque_path) {
  const std::size_t hash = rest.find('#');
  if (hash != std::string_view::npos) {
    std::string fragment;
    percent_encode_into(fragment, rest.substr(hash + 1), kFragmentSet);
    url.fragment = std::move(fragment);
    rest = rest.substr(0, hash);
  }
  const std::size_t question = rest.find('?');
  if (question != std::string_view::npos) {
    std::string query;
    percent_encode_into(query, rest.substr(question + 1), url.is_special() ? kSpecialQuerySet : kQuerySet);
    url.query = std::move(query);
    rest = rest.substr(0, question);
  }
  if (opaque_path) {
    url.path.clear();
    percent_encode_into(url.path, rest, "");
  } else if (url.is_special() || !rest.empty()) {
    // A special URL always has a path, at least "/"; any other URL has an
    // empty path when nothing follows its authority.
    url.path = parse_path(rest, url.is_special());
  }
}

std::size_t authority_end(std::string_view s, bool special) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '/' || c == '?' || c == '#' || (special && c == '\\')) return i;
  }
  return s.size();
}

}  // namespace

bool ParsedUrl::is_special() const { return is_special_scheme(scheme); }

std::optional<std::uint16_t> default_port(std::string_view scheme) {
  if (scheme == "http" || scheme == "ws") return 80;
  if (scheme == "https" || scheme == "wss") return 443;
  if (scheme == "ftp") return 21;
  return std::nullopt;
}

std::optional<std::uint16_t> ParsedUrl::port_or_known_default() const {
  if (port) return port;
  return default_port(scheme);
}

std::string ParsedUrl::serialize_without_fragment() const {
  std::string out = scheme + ":";
  if (host) {
    out += "//";
    if (!username.empty() || !password.empty()) {
      out += username;
      if (!password.empty()) out += ":" + password;
      out += "@";
    }
    out += *host;
    if (port) out += ":" + std::to_string(*port);
  } else if (path.starts_with("//")) {
    out += "/.";
  }
  out += path;
  if (query) out += "?" + *query;
  return out;
}

std::expected<ParsedUrl, std::string> parse_url(std::string_view raw) {
  if (!core::is_valid_utf8(raw)) return std::unexpected("invalid UTF-8 in URL");
  const std::string input = preprocess(raw);
  const std::string_view in = input;

  // Scheme: a letter, then letters, digits, "+", "-" or ".", then ":".
  if (in.empty() || !is_alpha(in[0])) return std::unexpected("relative URL without a base");
  std::size_t colon = 1;
  while (colon < in.size() && (is_alpha(in[colon]) || is_digit(in[colon]) || in[colon] == '+' ||
                               in[colon] == '-' || in[colon] == '.')) {
    ++colon;
  }
  if (colon >= in.size() || in[colon] != ':') return std::unexpected("relative URL without a base");

  ParsedUrl url;
  url.scheme = lower_ascii(in.substr(0, colon));
  std::string_view rest = in.substr(colon + 1);
  const bool special = url.is_special();

  if (url.scheme == "file") {
    url.host = "";
    if (rest.size() >= 2 && (rest[0] == '/' || rest[0] == '\\') && (rest[1] == '/' || rest[1] == '\\')) {
      rest.remove_prefix(2);
      const std::size_t end = authority_end(rest, true);
      const std::string_view host_text = rest.substr(0, end);
      if (is_windows_drive_letter(host_text)) {
        // "file://C:/x": no host, the drive letter starts the path.
        parse_path_query_fragment(url, "/" + std::string(rest), false);
        return url;
      }
      if (!host_text.empty()) {
        auto host = parse_special_host(host_text);
        if (!host) return std::unexpected(host.error());
        url.host = *host == "localhost" ? std::string() : *host;
      }
      rest.remove_prefix(end);
    }
    parse_path_query_fragment(url, rest, false);
    return url;
  }

  if (special) {
    // Any run of slashes and backslashes after the scheme introduces the
    // authority, even none at all ("https:example.com").
    while (!rest.empty() && (rest[0] == '/' || rest[0] == '\\')) rest.remove_prefix(1);
  } else if (rest.starts_with("//")) {
    rest.remove_prefix(2);
  } else {
    parse_path_query_fragment(url, rest, !rest.starts_with("/"));
    return url;
  }

  const std::size_t end = authority_end(rest, special);
  auto authority = parse_authority(rest.substr(0, end), url.scheme, special);
  if (!authority) return std::unexpected(authority.error());
  url.username = std::move(authority->username);
  url.password = std::move(authority->password);
  url.host = std::move(authority->host);
  url.port = authority->port;
  parse_path_query_fragment(url, rest.substr(end), false);
  return url;
}

}  // namespace quorrel::vm::http_proxy
