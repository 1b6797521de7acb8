#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace quorrel::vm::http_proxy {

// Converts a host name (UTF-8) to its ASCII form the way URL parsing in
// browsers does, without the strict checks: UTS #46 non-transitional
// processing, no STD3 ASCII rules, no DNS length check.
//
// A pure ASCII name with no "xn--" label is only lower-cased. Any other name
// goes through libidn2 with IDN2_NONTRANSITIONAL | IDN2_NO_ALABEL_ROUNDTRIP.
// libidn2 also applies the IDNA2008 validity rules, so it refuses some names
// that UTS #46 alone would accept (symbols and emoji, a hyphen at the start
// or end of a non-ASCII label, labels over 63 bytes); such names fail here.
// Refusing is the safe direction for a host that a policy must match.
std::expected<std::string, std::string> domain_to_ascii(std::string_view domain);

}  // namespace quorrel::vm::http_proxy
