#pragma once

#include <sys/types.h>

#include <chrono>
#include <expected>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "vm/kvm/devices/serial/serial_protocol.h"
#include "vm/kvm/guest_command.h"

namespace quorrel::qemu_test {

// The guest image running in qemu-system-x86_64 (TCG, 256 MiB, the UART on
// a Unix socket), driven with the host's frame encoders and parser exactly
// as the VMM drives it.
class QemuGuest {
 public:
  struct Options {
    std::string kernel;
    std::string initrd;
    std::string qemu = "qemu-system-x86_64";
    unsigned memory_mb = 256;
  };

  // Starts QEMU and waits for "READY".
  static std::expected<std::unique_ptr<QemuGuest>, std::string> boot(const Options& options,
                                                                    std::chrono::seconds timeout);
  ~QemuGuest();

  std::chrono::milliseconds boot_to_ready() const { return boot_to_ready_; }
  const std::string& console() const { return console_; }

  // A guest HTTP request: the handler returns the complete reply frames.
  using HttpHandler = std::function<std::vector<std::string>(const vm::HttpRequestFrame&)>;
  void set_http_handler(HttpHandler handler) { http_ = std::move(handler); }

  std::expected<void, std::string> ping(std::chrono::seconds timeout = std::chrono::seconds(30));
  std::expected<vm::GuestCommandResult, std::string> exec(const std::vector<std::string>& argv,
                                                          const std::map<std::string, std::string>& env = {},
                                                          std::optional<std::uint64_t> timeout_secs = std::nullopt,
                                                          const std::optional<std::string>& cwd = std::nullopt,
                                                          std::chrono::seconds limit = std::chrono::seconds(120));
  // Every STREAM result of an EXECS frame up to END or TIMEOUT.
  std::expected<std::vector<vm::SerialProtocolResult>, std::string> exec_streaming(
      const std::vector<std::string>& argv, std::chrono::seconds limit = std::chrono::seconds(120));
  std::expected<vm::FsResult, std::string> fs_read(const std::string& path,
                                                   std::chrono::seconds limit = std::chrono::seconds(300));
  std::expected<vm::FsResult, std::string> fs_write(const std::string& path, const std::string& data,
                                                    std::chrono::seconds limit = std::chrono::seconds(300));

 private:
  QemuGuest() = default;
  void send(std::string_view bytes);
  // Feeds guest bytes to the parser until it yields a result (HTTP requests
  // are answered on the way when `serve_http`).
  std::expected<vm::SerialProtocolResult, std::string> next_result(vm::ResponseCollector* collector,
                                                                   std::chrono::steady_clock::time_point deadline,
                                                                   bool serve_http);

  pid_t pid_ = -1;
  int sock_ = -1;
  std::string dir_;
  std::string console_;
  bool ready_ = false;
  vm::FrameBuffer frames_;
  std::string unparsed_;  // received bytes not yet fed to the parser
  std::chrono::milliseconds boot_to_ready_{0};
  HttpHandler http_;
};

}  // namespace quorrel::qemu_test
