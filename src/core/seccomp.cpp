#include "core/seccomp.h"

namespace quorrel::core {

std::string_view seccomp_profile_name(SeccompProfile profile) {
  switch (profile) {
    case SeccompProfile::Essential: return "Essential";
    case SeccompProfile::Network: return "Network";
    case SeccompProfile::EssentialWithFork: return "EssentialWithFork";
    case SeccompProfile::NetworkWithFork: return "NetworkWithFork";
  }
  return "Essential";
}

std::optional<SeccompProfile> seccomp_profile_from_name(std::string_view name) {
  for (auto p : kAllSeccompProfiles) {
    if (seccomp_profile_name(p) == name) return p;
  }
  return std::nullopt;
}

std::optional<SeccompProfile> seccomp_profile_from_value(std::uint8_t value) {
  if (value > 3) return std::nullopt;
  return static_cast<SeccompProfile>(value);
}

}  // namespace quorrel::core
