#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/duration.h"
#include "core/sandbox.h"

namespace quorrel::sdk {

enum class IsolationLevel : std::uint8_t {
  Auto = 0,
  Os = 1,
  Wasm = 2,
  MicroVm = 3,
};

struct NetworkPolicy {
  struct DenyAll {
    friend bool operator==(const DenyAll&, const DenyAll&) = default;
  };
  struct AllowDomains {
    std::vector<std::string> domains;
    friend bool operator==(const AllowDomains&, const AllowDomains&) = default;
  };
  struct AllowAll {
    friend bool operator==(const AllowAll&, const AllowAll&) = default;
  };
  std::variant<DenyAll, AllowDomains, AllowAll> value;

  static NetworkPolicy deny_all() { return {DenyAll{}}; }
  static NetworkPolicy allow_domains(std::vector<std::string> d) { return {AllowDomains{std::move(d)}}; }
  static NetworkPolicy allow_all() { return {AllowAll{}}; }
  bool is_allow_all() const { return std::holds_alternative<AllowAll>(value); }

  friend bool operator==(const NetworkPolicy&, const NetworkPolicy&) = default;
};

class ConfigBuilder;

// The single description of a sandbox.
struct Config {
  IsolationLevel isolation = IsolationLevel::Auto;
  // Only 2 makes Auto choose MicroVm.
  std::uint8_t auto_preference = 1;
  std::optional<std::uint64_t> memory_limit_mb = 512;
  std::optional<std::uint64_t> cpu_quota_us;
  std::uint64_t cpu_period_us = 100000;
  std::vector<std::filesystem::path> fs_readonly{"/usr", "/lib", "/lib64", "/bin",
                                                 "/sbin", "/dev", "/proc", "/etc"};
  std::vector<std::filesystem::path> fs_readwrite{"/tmp"};
  std::vector<std::string> allowed_http_domains;
  NetworkPolicy network = NetworkPolicy::deny_all();
  std::optional<core::Duration> timeout = core::Duration::from_secs(30);
  bool allow_fork = false;
  std::optional<std::filesystem::path> kernel_path;
  std::optional<std::filesystem::path> rootfs_path;
  std::uint32_t vm_memory_mb = 256;
  std::uint8_t vm_vcpu_count = 1;

  static ConfigBuilder builder();

  core::SandboxConfig to_sandbox_config() const;

  friend bool operator==(const Config&, const Config&) = default;
};

class ConfigBuilder {
 public:
  ConfigBuilder& isolation(IsolationLevel v) { c_.isolation = v; return *this; }
  ConfigBuilder& allowed_http_domains(std::vector<std::string> v) { c_.allowed_http_domains = std::move(v); return *this; }
  ConfigBuilder& auto_preference(std::uint8_t v) { c_.auto_preference = v; return *this; }
  ConfigBuilder& memory_limit_mb(std::optional<std::uint64_t> v) { c_.memory_limit_mb = v; return *this; }
  ConfigBuilder& cpu_quota_us(std::optional<std::uint64_t> v) { c_.cpu_quota_us = v; return *this; }
  ConfigBuilder& cpu_period_us(std::uint64_t v) { c_.cpu_period_us = v; return *this; }
  ConfigBuilder& network(NetworkPolicy v) { c_.network = std::move(v); return *this; }
  ConfigBuilder& timeout(std::optional<core::Duration> v) { c_.timeout = v; return *this; }
  ConfigBuilder& allow_fork(bool v) { c_.allow_fork = v; return *this; }
  ConfigBuilder& kernel_path(std::optional<std::filesystem::path> v) { c_.kernel_path = std::move(v); return *this; }
  ConfigBuilder& rootfs_path(std::optional<std::filesystem::path> v) { c_.rootfs_path = std::move(v); return *this; }
  ConfigBuilder& vm_memory_mb(std::uint32_t v) { c_.vm_memory_mb = v; return *this; }
  ConfigBuilder& vm_vcpu_count(std::uint8_t v) { c_.vm_vcpu_count = v; return *this; }
  Config build() const { return c_; }

 private:
  Config c_;
};

inline ConfigBuilder Config::builder() { return ConfigBuilder(); }

// The level used to build a back end: Auto becomes MicroVm only when
// auto_preference is 2, Os otherwise.
IsolationLevel resolve_isolation(const Config& config);

// Whole milliseconds (remainder dropped), divided by 1000 rounding up,
// saturating at the largest u64.
std::uint64_t timeout_to_whole_secs(core::Duration timeout);

}  // namespace quorrel::sdk
