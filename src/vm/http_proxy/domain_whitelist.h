#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorrel::vm::http_proxy {

// Drops every trailing "." and lower-cases ASCII letters; nothing else.
std::string normalize_host(std::string_view host);

// Whether a normalised host matches an entry of the whitelist. An entry is
// either an exact host name or "*." followed by a domain, which matches
// every host strictly below that domain but not the domain itself. Entries
// are normalised before comparison; ports play no part.
bool domain_allowed(std::string_view host, const std::vector<std::string>& whitelist);

}  // namespace quorrel::vm::http_proxy
