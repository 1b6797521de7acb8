#include "vm/vm/microvm_config.h"

#include <sys/stat.h>

#include <array>
#include <cstdlib>

#include "core/json.h"
#include "core/json_record.h"
#include "core/utf8.h"

namespace quorrel::vm {

namespace {

using Json = nlohmann::ordered_json;

constexpr std::array<std::string_view, 5> kFields = {"vcpu_count", "memory_mb", "cpu_quota_us", "kernel_path",
                                                     "rootfs_path"};

using core::json_invalid_type;
using core::read_json_unsigned;

std::expected<void, std::string> read_field(std::size_t index, const Json& v, MicrovmConfig& cfg) {
  switch (index) {
    case 0: {
      auto n = read_json_unsigned(v, 0xFF, "u8");
      if (!n) return std::unexpected(n.error());
      cfg.vcpu_count = static_cast<std::uint8_t>(*n);
      return {};
    }
    case 1: {
      auto n = read_json_unsigned(v, 0xFFFFFFFFu, "u32");
      if (!n) return std::unexpected(n.error());
      cfg.memory_mb = static_cast<std::uint32_t>(*n);
      return {};
    }
    case 2: {
      if (v.is_null()) {
        cfg.cpu_quota_us.reset();
        return {};
      }
      auto n = read_json_unsigned(v, ~std::uint64_t{0}, "u64");
      if (!n) return std::unexpected(n.error());
      cfg.cpu_quota_us = *n;
      return {};
    }
    case 3:
    case 4: {
      if (!v.is_string()) return std::unexpected(json_invalid_type(v, "path string"));
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
  MicrovmConfig cfg;
  cfg.cpu_quota_us.reset();
  constexpr std::uint64_t kCpuQuotaMayBeOmitted = 1u << 2;
  auto ok = core::read_json_record(
      text, "MicrovmConfig", kFields, [&](std::size_t index, const Json& value) { return read_field(index, value, cfg); },
      kCpuQuotaMayBeOmitted);
  if (!ok) return std::unexpected(ok.error());
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
