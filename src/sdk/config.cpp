#include "sdk/config.h"

#include <algorithm>
#include <limits>

namespace quorrel::sdk {

IsolationLevel resolve_isolation(const Config& config) {
  if (config.isolation != IsolationLevel::Auto) return config.isolation;
  return config.auto_preference == 2 ? IsolationLevel::MicroVm : IsolationLevel::Os;
}

std::uint64_t timeout_to_whole_secs(core::Duration timeout) {
  const unsigned __int128 millis = timeout.as_millis();
  const unsigned __int128 secs = (millis + 999) / 1000;
  constexpr auto max = std::numeric_limits<std::uint64_t>::max();
  return secs > max ? max : static_cast<std::uint64_t>(secs);
}

core::SandboxConfig Config::to_sandbox_config() const {
  core::SandboxConfig out;
  out.memory_limit_mb = memory_limit_mb;
  out.cpu_quota_us = cpu_quota_us;
  out.cpu_period_us = cpu_period_us;
  out.timeout_secs = timeout ? std::optional<std::uint64_t>(timeout_to_whole_secs(*timeout)) : std::nullopt;
  out.fs_readonly = fs_readonly;
  out.fs_readwrite = fs_readwrite;
  out.allowed_http_domains = allowed_http_domains;
  if (const auto* allow = std::get_if<NetworkPolicy::AllowDomains>(&network.value)) {
    for (const auto& d : allow->domains) {
      if (std::find(out.allowed_http_domains.begin(), out.allowed_http_domains.end(), d) ==
          out.allowed_http_domains.end()) {
        out.allowed_http_domains.push_back(d);
      }
    }
  }
  out.deny_network = !network.is_allow_all();
  out.allow_fork = allow_fork;
  out.seccomp_profile = core::seccomp_profile_for(network.is_allow_all(), allow_fork);
  return out;
}

}  // namespace quorrel::sdk
