#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/duration.h"
#include "core/io_error.h"
#include "core/seccomp.h"

namespace quorrel::core {

// The error of every back end operation.
class SandboxError {
 public:
  enum class Kind : std::uint8_t {
    UnsupportedPlatform = 0,
    Unsupported = 1,
    NamespaceFailed = 2,
    PivotRootFailed = 3,
    MountFailed = 4,
    LandlockFailed = 5,
    SeccompFailed = 6,
    ExecutionFailed = 7,
    InvalidSnapshot = 8,
    Timeout = 9,
    PipeError = 10,
    SyscallError = 11,
    Io = 12,
  };

  static SandboxError unsupported_platform() { return SandboxError(Kind::UnsupportedPlatform); }
  static SandboxError unsupported(std::string t) { return {Kind::Unsupported, std::move(t)}; }
  static SandboxError namespace_failed(std::string t) { return {Kind::NamespaceFailed, std::move(t)}; }
  static SandboxError pivot_root_failed(std::string t) { return {Kind::PivotRootFailed, std::move(t)}; }
  static SandboxError mount_failed(std::string t) { return {Kind::MountFailed, std::move(t)}; }
  static SandboxError landlock_failed(std::string t) { return {Kind::LandlockFailed, std::move(t)}; }
  static SandboxError seccomp_failed(std::string t) { return {Kind::SeccompFailed, std::move(t)}; }
  static SandboxError execution_failed(std::string t) { return {Kind::ExecutionFailed, std::move(t)}; }
  static SandboxError invalid_snapshot() { return SandboxError(Kind::InvalidSnapshot); }
  static SandboxError timeout() { return SandboxError(Kind::Timeout); }
  static SandboxError pipe_error(std::string t) { return {Kind::PipeError, std::move(t)}; }
  static SandboxError syscall_error(std::string t) { return {Kind::SyscallError, std::move(t)}; }
  // SyscallError whose text is the errno rendered as "EAGAIN: Try again".
  static SandboxError syscall_errno(int err);
  static SandboxError io(IoError e) { return SandboxError(std::move(e)); }

  Kind kind() const { return kind_; }
  // The text payload; empty for the variants without one and for Io.
  const std::string& text() const { return text_; }
  // The I/O error of the Io variant, nullptr otherwise.
  const IoError* io_error() const { return io_ ? &*io_ : nullptr; }

  std::string to_string() const;

  friend bool operator==(const SandboxError&, const SandboxError&) = default;

 private:
  explicit SandboxError(Kind k) : kind_(k) {}
  SandboxError(Kind k, std::string t) : kind_(k), text_(std::move(t)) {}
  explicit SandboxError(IoError e) : kind_(Kind::Io), io_(std::move(e)) {}

  Kind kind_;
  std::string text_;
  std::optional<IoError> io_;
};

template <class T>
using Result = std::expected<T, SandboxError>;

struct SandboxConfig {
  std::vector<std::filesystem::path> fs_readonly{"/usr", "/lib", "/lib64", "/bin",
                                                 "/sbin", "/dev", "/proc", "/etc"};
  std::vector<std::filesystem::path> fs_readwrite{"/tmp"};
  bool deny_network = true;
  std::optional<std::uint64_t> memory_limit_mb = 512;
  std::optional<std::uint64_t> cpu_quota_us;
  std::uint64_t cpu_period_us = 100000;
  std::optional<std::uint64_t> timeout_secs = 30;
  SeccompProfile seccomp_profile = SeccompProfile::Essential;
  bool allow_fork = false;
  std::vector<std::string> allowed_http_domains;

  // Compact JSON object with the ten keys in declaration order. Fails with
  // "path contains invalid UTF-8 characters".
  std::expected<std::string, std::string> to_json() const;
  // Accepts the object form (any key order, unknown keys skipped, every key
  // required) or an array of exactly ten values in declaration order.
  static std::expected<SandboxConfig, std::string> from_json(std::string_view text);

  friend bool operator==(const SandboxConfig&, const SandboxConfig&) = default;
};

// Outcome of one execution that ran to an end.
struct SandboxResult {
  std::string stdout_data;
  std::string stderr_data;
  // Exit status, or minus the signal number; absent otherwise.
  std::optional<std::int32_t> exit_code;
  Duration elapsed;
  bool timed_out = false;

  friend bool operator==(const SandboxResult&, const SandboxResult&) = default;
};

// A saved sandbox state: bytes in memory, or a file on disk.
class SandboxSnapshot {
 public:
  struct Bytes {
    std::string data;
  };
  struct File {
    std::filesystem::path path;
    std::uint64_t size;
  };

  static SandboxSnapshot from_bytes(std::string data) { return SandboxSnapshot(Bytes{std::move(data)}); }
  // Stats the path (following links) without opening it: Io on failure,
  // InvalidSnapshot for anything but a non-empty regular file.
  static Result<SandboxSnapshot> from_file(std::filesystem::path path);

  bool is_file() const { return std::holds_alternative<File>(form_); }
  const Bytes* bytes() const { return std::get_if<Bytes>(&form_); }
  const File* file() const { return std::get_if<File>(&form_); }

 private:
  explicit SandboxSnapshot(std::variant<Bytes, File> form) : form_(std::move(form)) {}
  std::variant<Bytes, File> form_;
};

// The interface every isolation back end implements. Construction is the
// back end's own factory taking a SandboxConfig.
class Sandbox {
 public:
  virtual ~Sandbox() = default;

  // command[0] is the program, the whole list its argument vector.
  virtual Result<SandboxResult> execute(const std::vector<std::string>& command) = 0;
  virtual Result<std::string> read_file(const std::filesystem::path& path);
  virtual Result<void> write_file(const std::filesystem::path& path, std::string_view data);
  // Releases what the back end still holds; errors are ignored.
  virtual void destroy() = 0;
};

// The exact messages of the two file defaults; the SDK recognises them.
inline constexpr std::string_view kFileReadingNotSupported = "file reading not supported by current backend";
inline constexpr std::string_view kFileWritingNotSupported = "file writing not supported by current backend";

}  // namespace quorrel::core
