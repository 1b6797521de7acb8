#include "vm/http_proxy/domain_whitelist.h"

namespace quorrel::vm::http_proxy {

std::string normalize_host(std::string_view host) {
  while (!host.empty() && host.back() == '.') host.remove_suffix(1);
  std::string out(host);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool domain_allowed(std::string_view host, const std::vector<std::string>& whitelist) {
  for (const auto& raw : whitelist) {
    const std::string entry = normalize_host(raw);
    if (entry.empty()) continue;
    if (entry.starts_with("*.")) {
      const std::string_view suffix = std::string_view(entry).substr(2);
      if (host.size() > suffix.size() && host.ends_with(suffix) && host[host.size() - suffix.size() - 1] == '.') {
        return true;
      }
      continue;
    }
    if (entry == host) return true;
  }
  return false;
}

}  // namespace quorrel::vm::http_proxy
