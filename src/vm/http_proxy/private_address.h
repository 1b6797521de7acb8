#pragma once

#include "vm/http_proxy/ip_address.h"

namespace quorrel::vm::http_proxy {

// Whether an address belongs to the host itself or to a private network, so
// that a proxied request must not reach it:
//   IPv4: 0.0.0.0/8, 10.0.0.0/8, 127.0.0.0/8, 169.254.0.0/16, 172.16.0.0/12,
//         192.168.0.0/16;
//   IPv6: ::, ::1, fc00::/7, fe80::/10, and every address that carries an
//         IPv4 address, IPv4-mapped ::ffff:0:0/96 and IPv4-compatible ::/96,
//         judged by that IPv4 address (::ffff:127.0.0.1 reaches loopback).
// Everything else counts as public, 100.64.0.0/10 and multicast included.
bool is_private_ip(const IpAddress& address);

}  // namespace quorrel::vm::http_proxy
