#include <gtest/gtest.h>

#include "vm/http_proxy/private_address.h"

namespace quorrel::vm::http_proxy {
namespace {

TEST(PrivateAddress, ClassifiesEveryRangeAtItsEdges) {
  const std::pair<const char*, bool> cases[] = {
      // IPv4 private blocks and their neighbours.
      {"0.0.0.0", true}, {"0.1.2.3", true}, {"0.255.255.255", true}, {"1.0.0.0", false},
      {"9.255.255.255", false}, {"10.0.0.0", true}, {"10.255.255.255", true}, {"11.0.0.0", false},
      {"126.255.255.255", false}, {"127.0.0.1", true}, {"127.255.255.255", true}, {"128.0.0.0", false},
      {"169.253.255.255", false}, {"169.254.0.0", true}, {"169.254.169.254", true}, {"169.255.0.0", false},
      {"172.15.255.255", false}, {"172.16.0.0", true}, {"172.31.255.255", true}, {"172.32.0.0", false},
      {"192.167.255.255", false}, {"192.168.0.0", true}, {"192.168.255.255", true}, {"192.169.0.0", false},
      // Public by policy.
      {"8.8.8.8", false}, {"100.64.0.1", false}, {"224.0.0.1", false}, {"255.255.255.255", false},
      {"203.0.113.7", false},
      // IPv6.
      {"::", true}, {"::1", true}, {"::2", true}, {"fc00::", true}, {"fdff:ffff::1", true}, {"fbff::1", false},
      {"fe00::1", false}, {"fe80::", true}, {"febf:ffff::1", true}, {"fec0::1", false}, {"2001:4860::8888", false},
      {"ff02::1", false}, {"64:ff9b::a00:5", false},
      // IPv6 addresses that carry an IPv4 address are judged by it.
      {"::ffff:127.0.0.1", true}, {"::ffff:10.0.0.5", true}, {"::ffff:192.168.1.1", true}, {"::ffff:0.0.0.0", true},
      {"::ffff:169.254.1.1", true}, {"::ffff:172.20.0.1", true}, {"::ffff:8.8.8.8", false},
      {"::127.0.0.1", true}, {"::10.1.2.3", true}, {"::8.8.8.8", false},
      // Near misses of those blocks are ordinary IPv6.
      {"::fffe:7f00:1", false}, {"1::ffff:7f00:1", false}, {"0:0:0:0:1:ffff:7f00:1", false},
  };
  for (const auto& [text, expected] : cases) {
    auto ip = IpAddress::parse(text);
    ASSERT_TRUE(ip.has_value()) << text;
    EXPECT_EQ(is_private_ip(*ip), expected) << text;
  }
}

TEST(IpAddress, TextForms) {
  EXPECT_EQ(IpAddress::parse("::FFFF:10.0.0.5")->to_string(), "::ffff:10.0.0.5");
  EXPECT_EQ(IpAddress::parse("2001:db8:0:0:0:0:0:1")->to_string(), "2001:db8::1");
  EXPECT_EQ(IpAddress::v4(0x0A000005).to_string(), "10.0.0.5");
  EXPECT_EQ((SocketAddress{*IpAddress::parse("2001:db8::1"), 443}.to_string()), "[2001:db8::1]:443");
  EXPECT_FALSE(IpAddress::parse("[::1]").has_value());
  EXPECT_FALSE(IpAddress::parse("127.1").has_value());
  EXPECT_FALSE(IpAddress::parse("example.com").has_value());
}

}  // namespace
}  // namespace quorrel::vm::http_proxy
