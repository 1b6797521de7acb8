#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "vm/vm/microvm_error.h"

namespace quorrel::vm {

// The shape of one microVM and where its guest image lives on the host.
struct MicrovmConfig {
  std::uint8_t vcpu_count = 1;
  std::uint32_t memory_mb = 256;
  // Carried with the record (saved and restored) but not used to build the VM.
  std::optional<std::uint64_t> cpu_quota_us;
  std::filesystem::path kernel_path;
  std::filesystem::path rootfs_path;

  // First failure as an invalid-config error, in the fixed check order.
  std::expected<void, MicrovmError> validate() const;

  // {"vcpu_count":..,"memory_mb":..,"cpu_quota_us":..|null,"kernel_path":"..","rootfs_path":".."}
  std::expected<std::string, std::string> to_json() const;
  // The object form ("cpu_quota_us" may be omitted) or an array of the five
  // values in field order; errors are the JSON reader's texts.
  static std::expected<MicrovmConfig, std::string> from_json(std::string_view text);

  friend bool operator==(const MicrovmConfig&, const MicrovmConfig&) = default;
};

inline constexpr std::string_view kKernelFileName = "vmlinux";
inline constexpr std::string_view kRootfsFileName = "rootfs.cpio.gz";

// VM_ASSETS_DIR (even when empty), else $HOME/.quorrel/assets, else
// /var/lib/quorrel/vm.
std::filesystem::path default_asset_dir();
std::filesystem::path default_kernel_path();
std::filesystem::path default_rootfs_path();

}  // namespace quorrel::vm
