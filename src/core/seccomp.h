#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quorrel::core {

// System-call allow-list family. The numeric value is
// (network bit) + 2 * (fork bit).
enum class SeccompProfile : std::uint8_t {
  Essential = 0,
  Network = 1,
  EssentialWithFork = 2,
  NetworkWithFork = 3,
};

inline constexpr SeccompProfile kAllSeccompProfiles[] = {
    SeccompProfile::Essential, SeccompProfile::Network, SeccompProfile::EssentialWithFork,
    SeccompProfile::NetworkWithFork};

std::string_view seccomp_profile_name(SeccompProfile profile);
std::optional<SeccompProfile> seccomp_profile_from_name(std::string_view name);
std::optional<SeccompProfile> seccomp_profile_from_value(std::uint8_t value);
inline SeccompProfile seccomp_profile_for(bool network, bool fork) {
  return static_cast<SeccompProfile>((network ? 1 : 0) + (fork ? 2 : 0));
}
inline bool seccomp_profile_allows_network(SeccompProfile p) { return (static_cast<int>(p) & 1) != 0; }
inline bool seccomp_profile_allows_fork(SeccompProfile p) { return (static_cast<int>(p) & 2) != 0; }

}  // namespace quorrel::core
