#include "vm/vm/microvm_config.h"

#include <sys/stat.h>

#include <array>
#include <cstdlib>

#include "core/json.h"
#include "core/utf8.h"

namespace quorrel::vm {

namespace {

using Json = nlohmann::ordered_json;

constexpr std::array<std::string_view, 5> kFields = {"vcpu_count", "memory_mb", "cpu_quota_us", "kernel_path",
                                                     "rootfs_path"};

std::string invalid_type(const Json& v, std::string_view expected) {
  return "invalid type: " + core::describe_json_value(v) + ", expected " + std::string(expected);
}

// An unsigned integer no larger than `max`, named `type` in messages.
std::expected<std::uint64_t, std::string> read_unsigned(const Json& v, std::uint64_t max, std::string_view type) {
  if (v.is_number_unsigned() || (v.is_number_integer() && v.get<std::int64_t>() >= 0)) {
    const auto n = v.get<std::uint64_t>();
    if (n > max) return std::unexpected("invalid value: integer `" + v.dump() + "`, expected " + std::string(type));
    return n;
  }
  if (v.is_number_integer()) return std::unexpected("invalid value: integer `" + v.dump() + "`, expected " + std::string(type));
  return std::unexpected(invalid_type(v, type));
}

std::expected<void, std::string> read_field(std::size_t index, const Json& v, MicrovmConfig& cfg) {
  switch (index) {
    case 0: {
      auto n = read_unsigned(v, 0xFF, "u8");
      if (!n) return std::unexpected(n.error());
      cfg.vcpu_count = static_cast<std::uint8_t>(*n);
      return {};
    }
    case 1: {
      auto n = read_unsigned(v, 0xFFFFFFFFu, "u32");
      if (!n) return std::unexpected(n.error());
      cfg.memory_mb = static_cast<std::uint32_t>(*n);
      return {};
    }
    case 2: {
      if (v.is_null()) {
        cfg.cpu_quota_us.reset();
        return {};
      }
      auto n = read_unsigned(v, ~std::uint64_t{0}, "u64");
      if (!n) return std::unexpected(n.error());
      cfg.cpu_quota_us = *n;
      return {};
    }
    case 3:
    case 4: {
      if (!v.is_string()) return std::unexpected(invalid_type(v, "path string"));
      (index == 3 ? cfg.kernel_path : cfg.rootfs_path) = v.get<std::string>();
      return {};
    }
  }
  return {};
}

bool path_exists(const std::filesystem::path& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0;
}

}  // namespace

std::expected<void, MicrovmError> MicrovmConfig::validate() const {
  if (vcpu_count == 0) return std::unexpected(MicrovmError::invalid_config("vcpu_count must not be 0"));
  if (memory_mb < 64) return std::unexpected(MicrovmError::invalid_config("memory_mb must not be less than 64"));
  if (kernel_path.empty()) return std::unexpected(MicrovmError::invalid_config("kernel_path must not be empty"));
  if (rootfs_path.empty()) return std::unexpected(MicrovmError::invalid_config("rootfs_path must not be empty"));
  if (!path_exists(kernel_path)) {
    return std::unexpected(MicrovmError::invalid_config("kernel_path does not exist: " + kernel_path.string()));
  }
  if (!path_exists(rootfs_path)) {
    return std::unexpected(MicrovmError::invalid_config("rootfs_path does not exist: " + rootfs_path.string()));
  }
  return {};
}

std::expected<std::string, std::string> MicrovmConfig::to_json() const {
  if (!core::is_valid_utf8(kernel_path.native()) || !core::is_valid_utf8(rootfs_path.native())) {
    return std::unexpected(std::string("path contains invalid UTF-8 characters"));
  }
  Json j = Json::object();
  j["vcpu_count"] = vcpu_count;
  j["memory_mb"] = memory_mb;
  j["cpu_quota_us"] = cpu_quota_us ? Json(*cpu_quota_us) : Json(nullptr);
  j["kernel_path"] = kernel_path.native();
  j["rootfs_path"] = rootfs_path.native();
  return j.dump();
}

std::expected<MicrovmConfig, std::string> MicrovmConfig::from_json(std::string_view text) {
  auto parsed = core::parse_json(text);
  if (!parsed) return std::unexpected(parsed.error());
  const Json& root = parsed->value;
  MicrovmConfig cfg;
  cfg.cpu_quota_us.reset();
  if (root.is_array()) {
    if (root.size() != kFields.size()) {
      return std::unexpected("invalid length " + std::to_string(root.size()) +
                             ", expected struct MicrovmConfig with 5 elements");
    }
    for (std::size_t i = 0; i < kFields.size(); ++i) {
      if (auto r = read_field(i, root[i], cfg); !r) return std::unexpected(r.error());
    }
    return cfg;
  }
  if (!root.is_object()) return std::unexpected(invalid_type(root, "struct MicrovmConfig"));
  for (const auto& dup : parsed->duplicates) {
    if (dup.depth != 1) continue;
    for (auto f : kFields) {
      if (f == dup.key) return std::unexpected("duplicate field `" + dup.key + "`");
    }
  }
  std::array<bool, 5> seen{};
  for (auto it = root.begin(); it != root.end(); ++it) {
    for (std::size_t i = 0; i < kFields.size(); ++i) {
      if (kFields[i] != it.key()) continue;
      if (auto r = read_field(i, it.value(), cfg); !r) return std::unexpected(r.error());
      seen[i] = true;
    }
  }
  for (std::size_t i = 0; i < kFields.size(); ++i) {
    if (i == 2) continue;  // cpu_quota_us may be omitted
    if (!seen[i]) return std::unexpected("missing field `" + std::string(kFields[i]) + "`");
  }
  return cfg;
}

std::filesystem::path default_asset_dir() {
  if (const char* dir = std::getenv("VM_ASSETS_DIR")) return std::filesystem::path(dir);
  if (const char* home = std::getenv("HOME")) return std::filesystem::path(home) / ".quorrel/assets";
  return "/var/lib/quorrel/vm";
}

std::filesystem::path default_kernel_path() { return default_asset_dir() / kKernelFileName; }
std::filesystem::path default_rootfs_path() { return default_asset_dir() / kRootfsFileName; }

}  // namespace quorrel::vm
