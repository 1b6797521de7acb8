#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "sdk/config.h"

namespace quorrel::sdk {
namespace {

using core::Duration;
using core::SeccompProfile;

TEST(Config, DefaultsConvertToTheCoreDefaults) {
  const Config c = Config::builder().build();
  EXPECT_EQ(c, Config{});
  EXPECT_EQ(c.isolation, IsolationLevel::Auto);
  EXPECT_EQ(c.vm_memory_mb, 256u);
  EXPECT_EQ(c.vm_vcpu_count, 1u);
  const core::SandboxConfig s = c.to_sandbox_config();
  EXPECT_EQ(s, core::SandboxConfig{});
  EXPECT_EQ(s.timeout_secs, 30u);
  EXPECT_EQ(s.memory_limit_mb, 512u);
  EXPECT_TRUE(s.deny_network);
  EXPECT_EQ(s.seccomp_profile, SeccompProfile::Essential);
}

TEST(Config, ProfileAndNetworkFlagFollowPolicyAndFork) {
  struct Case {
    NetworkPolicy network;
    bool allow_fork;
    SeccompProfile profile;
    bool deny_network;
  };
  const std::vector<Case> cases = {
      {NetworkPolicy::deny_all(), false, SeccompProfile::Essential, true},
      {NetworkPolicy::allow_all(), false, SeccompProfile::Network, false},
      {NetworkPolicy::deny_all(), true, SeccompProfile::EssentialWithFork, true},
      {NetworkPolicy::allow_all(), true, SeccompProfile::NetworkWithFork, false},
      {NetworkPolicy::allow_domains({"a"}), false, SeccompProfile::Essential, true},
      {NetworkPolicy::allow_domains({"a"}), true, SeccompProfile::EssentialWithFork, true},
  };
  for (const auto& c : cases) {
    const auto s = Config::builder().network(c.network).allow_fork(c.allow_fork).build().to_sandbox_config();
    EXPECT_EQ(s.seccomp_profile, c.profile);
    EXPECT_EQ(s.deny_network, c.deny_network);
    EXPECT_EQ(s.allow_fork, c.allow_fork);
  }
}

TEST(Config, WhitelistMergesPolicyDomainsAfterOwnList) {
  struct Case {
    std::vector<std::string> own;
    std::vector<std::string> policy;
    std::vector<std::string> merged;
  };
  const std::vector<Case> cases = {
      {{"b"}, {"a", "b"}, {"b", "a"}},
      {{}, {"a", "a", "b"}, {"a", "b"}},
      {{"x", "x"}, {"x", "y"}, {"x", "x", "y"}},
      {{"A.com"}, {"a.com"}, {"A.com", "a.com"}},
      {{"a"}, {}, {"a"}},
  };
  for (const auto& c : cases) {
    const auto s = Config::builder()
                       .allowed_http_domains(c.own)
                       .network(NetworkPolicy::allow_domains(c.policy))
                       .build()
                       .to_sandbox_config();
    EXPECT_EQ(s.allowed_http_domains, c.merged);
  }
  // Other policies contribute nothing.
  EXPECT_EQ(Config::builder().allowed_http_domains({"q"}).network(NetworkPolicy::allow_all()).build()
                .to_sandbox_config()
                .allowed_http_domains,
            std::vector<std::string>{"q"});
}

TEST(Config, LimitsAndTreesAreCopied) {
  const auto s = Config::builder()
                     .memory_limit_mb(std::nullopt)
                     .cpu_quota_us(50000)
                     .cpu_period_us(20000)
                     .build()
                     .to_sandbox_config();
  EXPECT_EQ(s.memory_limit_mb, std::nullopt);
  EXPECT_EQ(s.cpu_quota_us, 50000u);
  EXPECT_EQ(s.cpu_period_us, 20000u);
  Config c;
  c.fs_readonly = {"/ro"};
  c.fs_readwrite = {"/rw1", "/rw2"};
  const auto t = c.to_sandbox_config();
  EXPECT_EQ(t.fs_readonly, c.fs_readonly);
  EXPECT_EQ(t.fs_readwrite, c.fs_readwrite);
}

TEST(Config, TimeoutRoundsWholeMillisecondsUp) {
  constexpr auto max = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    std::optional<Duration> timeout;
    std::optional<std::uint64_t> secs;
  };
  const std::vector<Case> cases = {
      {std::nullopt, std::nullopt},
      {Duration::from_secs(30), 30},
      {Duration{1, 500'000'000}, 2},
      {Duration{1, 1'000'000}, 2},
      {Duration{1, 400'000}, 1},
      {Duration{1, 999'999}, 1},
      {Duration{0, 400'000}, 0},
      {Duration::from_millis(1), 1},
      {Duration{0, 999'000}, 0},
      {Duration{}, 0},
      {Duration::from_millis(999), 1},
      {Duration::from_millis(1000), 1},
      {Duration::from_millis(1001), 2},
      {Duration{max, 0}, max},
      {Duration{max, 999'999'999}, max},
      {Duration{max - 1, 1'000'000}, max},
      {Duration{max - 1, 999'999}, max - 1},
  };
  for (const auto& c : cases) {
    const auto s = Config::builder().timeout(c.timeout).build().to_sandbox_config();
    EXPECT_EQ(s.timeout_secs, c.secs) << (c.timeout ? c.timeout->secs : 0) << "s "
                                      << (c.timeout ? c.timeout->nanos : 0) << "ns";
  }
}

TEST(Config, ResolveIsolation) {
  struct Case {
    IsolationLevel isolation;
    std::uint8_t preference;
    IsolationLevel resolved;
  };
  const std::vector<Case> cases = {
      {IsolationLevel::Auto, 0, IsolationLevel::Os},       {IsolationLevel::Auto, 1, IsolationLevel::Os},
      {IsolationLevel::Auto, 2, IsolationLevel::MicroVm},  {IsolationLevel::Auto, 3, IsolationLevel::Os},
      {IsolationLevel::Auto, 255, IsolationLevel::Os},     {IsolationLevel::Os, 2, IsolationLevel::Os},
      {IsolationLevel::Wasm, 2, IsolationLevel::Wasm},     {IsolationLevel::Wasm, 1, IsolationLevel::Wasm},
      {IsolationLevel::MicroVm, 0, IsolationLevel::MicroVm},
  };
  for (const auto& c : cases) {
    const auto cfg = Config::builder().isolation(c.isolation).auto_preference(c.preference).build();
    EXPECT_EQ(resolve_isolation(cfg), c.resolved)
        << static_cast<int>(c.isolation) << "/" << static_cast<int>(c.preference);
  }
  EXPECT_EQ(static_cast<int>(IsolationLevel::Auto), 0);
  EXPECT_EQ(static_cast<int>(IsolationLevel::Os), 1);
  EXPECT_EQ(static_cast<int>(IsolationLevel::Wasm), 2);
  EXPECT_EQ(static_cast<int>(IsolationLevel::MicroVm), 3);
}

}  // namespace
}  // namespace quorrel::sdk
