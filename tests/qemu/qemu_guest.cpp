#include "qemu_guest.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "vm/kvm/devices/serial/frame_encoders.h"

namespace quorrel::qemu_test {
namespace {

using Clock = std::chrono::steady_clock;

// The kernel command line the VMM passes.
constexpr const char* kKernelCommandLine =
    "console=ttyS0 8250.nr_uarts=1 i8042.nokbd no_timer_check fastboot quiet rcupdate.rcu_expedited=1 "
    "mitigations=off tsc=reliable nokaslr nomodule reboot=t panic=1 pci=off rdinit=/init";

}  // namespace

std::expected<std::unique_ptr<QemuGuest>, std::string> QemuGuest::boot(const Options& options,
                                                                      std::chrono::seconds timeout) {
  std::unique_ptr<QemuGuest> guest(new QemuGuest());
  char tmpl[] = "/tmp/quorrel-qemu-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) {
    return std::unexpected(std::string("mkdtemp: ") + std::strerror(errno));
  }
  guest->dir_ = tmpl;
  const std::string socket_path = guest->dir_ + "/serial.sock";
  const std::string log_path = guest->dir_ + "/qemu.log";
  const std::string chardev = "socket,id=uart,path=" + socket_path + ",server=on,wait=off";
  const std::string memory = std::to_string(options.memory_mb);
  std::vector<std::string> args = {options.qemu, "-machine", "microvm,x-option-roms=off", "-accel", "tcg",
                                   "-cpu", "max", "-m", memory, "-smp", "1", "-nodefaults", "-no-user-config",
                                   "-display", "none", "-no-reboot", "-kernel", options.kernel, "-initrd",
                                   options.initrd, "-append", kKernelCommandLine, "-chardev", chardev, "-serial",
                                   "chardev:uart"};
  const auto start = Clock::now();
  guest->pid_ = ::fork();
  if (guest->pid_ == 0) {
    const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(log, 1);
    ::dup2(log, 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  if (guest->pid_ < 0) {
    return std::unexpected(std::string("fork: ") + std::strerror(errno));
  }
  // QEMU creates the socket and then waits for us.
  const auto deadline = start + timeout;
  for (;;) {
    guest->sock_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket_path.c_str(), sizeof(addr.sun_path) - 1);
    if (::connect(guest->sock_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
      break;
    }
    ::close(guest->sock_);
    guest->sock_ = -1;
    int status = 0;
    if (::waitpid(guest->pid_, &status, WNOHANG) == guest->pid_) {
      guest->pid_ = -1;
      return std::unexpected("qemu exited at start; see " + log_path);
    }
    if (Clock::now() > deadline) {
      return std::unexpected("qemu socket did not appear");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  while (!guest->ready_) {
    auto r = guest->next_result(nullptr, deadline, false);
    if (!r && !guest->ready_) {
      return std::unexpected("no READY: " + r.error() + "; console: " + vm::preview_serial_output(guest->console_));
    }
  }
  guest->boot_to_ready_ = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  return guest;
}

QemuGuest::~QemuGuest() {
  if (sock_ >= 0) ::close(sock_);
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (!dir_.empty()) {
    ::unlink((dir_ + "/serial.sock").c_str());
    ::unlink((dir_ + "/qemu.log").c_str());
    ::rmdir(dir_.c_str());
  }
}

void QemuGuest::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(sock_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) {
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::expected<vm::SerialProtocolResult, std::string> QemuGuest::next_result(vm::ResponseCollector* collector,
                                                                           Clock::time_point deadline,
                                                                           bool serve_http) {
  for (;;) {
    // One transmitted byte at a time, as the UART delivers them: the parser
    // stops at the first result and would drop the rest of a longer write.
    std::size_t used = 0;
    while (used < unparsed_.size()) {
      const std::string_view byte(unparsed_.data() + used, 1);
      ++used;
      auto outcome = vm::feed_serial_bytes(console_, ready_, byte, frames_, collector);
      if (!outcome) {
        unparsed_.erase(0, used);
        return std::unexpected(outcome.error().to_string());
      }
      if (!outcome->has_value()) {
        continue;
      }
      vm::SerialProtocolResult result = std::move(**outcome);
      if (serve_http) {
        if (auto* http = std::get_if<vm::frame::HttpRequest>(&result)) {
          if (!http_) {
            unparsed_.erase(0, used);
            return std::unexpected("guest HTTP request without a handler");
          }
          for (const auto& frame : http_(http->frame)) {
            send(frame);
          }
          continue;
        }
      }
      unparsed_.erase(0, used);
      return result;
    }
    unparsed_.clear();
    if (!collector && ready_) {
      return std::unexpected("ready");
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      return std::unexpected("timed out waiting for the guest");
    }
    pollfd pfd{sock_, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(std::min<long>(left.count(), 1000))) <= 0) {
      continue;
    }
    char buffer[65536];
    const ssize_t n = ::recv(sock_, buffer, sizeof(buffer), 0);
    if (n <= 0) {
      return std::unexpected("serial socket closed (qemu exited?)");
    }
    unparsed_.append(buffer, static_cast<std::size_t>(n));
  }
}

std::expected<void, std::string> QemuGuest::ping(std::chrono::seconds timeout) {
  frames_ = {};
  vm::ResponseCollector collector = vm::CommandCollector{};
  send(vm::encode_ping());
  auto r = next_result(&collector, Clock::now() + timeout, true);
  if (!r) return std::unexpected(r.error());
  if (!std::holds_alternative<vm::frame::PingPong>(*r)) {
    return std::unexpected("expected PONG, got " + vm::debug_string(*r));
  }
  return {};
}

std::expected<vm::GuestCommandResult, std::string> QemuGuest::exec(const std::vector<std::string>& argv,
                                                                  const std::map<std::string, std::string>& env,
                                                                  std::optional<std::uint64_t> timeout_secs,
                                                                  const std::optional<std::string>& cwd,
                                                                  std::chrono::seconds limit) {
  auto frame = vm::encode_command_payload(argv, env, timeout_secs, cwd);
  if (!frame) return std::unexpected(frame.error().to_string());
  frames_ = {};
  vm::ResponseCollector collector = vm::CommandCollector{};
  send(*frame);
  auto r = next_result(&collector, Clock::now() + limit, true);
  if (!r) return std::unexpected(r.error());
  if (auto* c = std::get_if<vm::frame::Command>(&*r)) {
    return c->result;
  }
  return std::unexpected("expected EXIT, got " + vm::debug_string(*r));
}

std::expected<std::vector<vm::SerialProtocolResult>, std::string> QemuGuest::exec_streaming(
    const std::vector<std::string>& argv, std::chrono::seconds limit) {
  frames_ = {};
  vm::ResponseCollector collector = vm::CommandCollector{};
  send(vm::encode_stream_command(0, vm::build_guest_command(argv)));
  std::vector<vm::SerialProtocolResult> results;
  const auto deadline = Clock::now() + limit;
  for (;;) {
    auto r = next_result(&collector, deadline, true);
    if (!r) return std::unexpected(r.error());
    results.push_back(*r);
    if (std::holds_alternative<vm::frame::StreamEnd>(*r) || std::holds_alternative<vm::frame::StreamTimeout>(*r) ||
        std::holds_alternative<vm::frame::Command>(*r)) {
      return results;
    }
  }
}

std::expected<vm::FsResult, std::string> QemuGuest::fs_read(const std::string& path, std::chrono::seconds limit) {
  frames_ = {};
  vm::ResponseCollector collector = vm::AwaitFsResult{};
  send(vm::encode_fs_read(path));
  auto r = next_result(&collector, Clock::now() + limit, false);
  if (!r) return std::unexpected(r.error());
  if (auto* f = std::get_if<vm::frame::Fs>(&*r)) return f->result;
  return std::unexpected("expected FSRESULT, got " + vm::debug_string(*r));
}

std::expected<vm::FsResult, std::string> QemuGuest::fs_write(const std::string& path, const std::string& data,
                                                            std::chrono::seconds limit) {
  frames_ = {};
  vm::ResponseCollector collector = vm::AwaitFsResult{};
  send(vm::encode_fs_write(path, data));
  auto r = next_result(&collector, Clock::now() + limit, false);
  if (!r) return std::unexpected(r.error());
  if (auto* f = std::get_if<vm::frame::Fs>(&*r)) return f->result;
  return std::unexpected("expected FSRESULT, got " + vm::debug_string(*r));
}

}  // namespace quorrel::qemu_test
