// quorrel-agent: the guest agent. Runs as /init of the guest image and talks
// to the host over the UART; `--stdio` runs the same protocol over
// stdin/stdout (for tests on a host); invoked as `quorrel-http` it is the
// guest's HTTPS request command.
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent.h"
#include "guest_init.h"
#include "http_bridge.h"
#include "http_client.h"
#include "stdio_transport.h"
#include "uart_transport.h"

extern char** environ;

namespace {

using namespace quorrel::agent;

constexpr const char* kGuestHttpSocket = "/run/quorrel/http.sock";

int usage() {
  const char text[] =
      "usage: quorrel-agent [--uart]\n"
      "       quorrel-agent --stdio [--http-socket PATH] [--cwd DIR]\n";
  (void)!write(2, text, sizeof(text) - 1);
  return 2;
}

[[noreturn]] void idle_forever() {
  for (;;) {
    pause();
  }
}

int run_guest() {
  const std::string problems = prepare_guest();
  signal(SIGPIPE, SIG_IGN);
  auto uart = UartTransport::open();
  if (!uart) {
    // Nobody to tell but the kernel log; init must not exit.
    idle_forever();
  }
  std::optional<HttpBridge> bridge;
  std::string bridge_problem;
  if (auto listening = HttpBridge::listen(kGuestHttpSocket)) {
    bridge.emplace(std::move(*listening));
  } else {
    bridge_problem = listening.error();
  }
  ProcessSettings settings;
  settings.base_env = {
      "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
      "HOME=/root",
      "LANG=C.UTF-8",
      "TERM=dumb",
      "TMPDIR=/tmp",
      "PYTHONDONTWRITEBYTECODE=1",
      std::string("QUORREL_HTTP_SOCKET=") + kGuestHttpSocket,
  };
  settings.default_cwd = "/sandbox";
  if (!problems.empty() || !bridge_problem.empty()) {
    uart->write_all("quorrel-agent: " + problems + bridge_problem + "\n");
  }
  uart->write_all("READY\n");
  Agent agent(*uart, std::move(settings), bridge ? &*bridge : nullptr);
  agent.run();
  idle_forever();
}

int run_stdio(int argc, char** argv) {
  std::string socket_path;
  std::string cwd;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--http-socket" && i + 1 < argc) {
      socket_path = argv[++i];
    } else if (arg == "--cwd" && i + 1 < argc) {
      cwd = argv[++i];
    } else {
      return usage();
    }
  }
  signal(SIGPIPE, SIG_IGN);
  StdioTransport transport(0, 1);
  std::optional<HttpBridge> bridge;
  ProcessSettings settings;
  for (char** e = environ; *e != nullptr; ++e) {
    if (!std::string_view(*e).starts_with("QUORREL_HTTP_SOCKET=")) {
      settings.base_env.emplace_back(*e);
    }
  }
  if (!socket_path.empty()) {
    auto listening = HttpBridge::listen(socket_path);
    if (!listening) {
      const std::string msg = "quorrel-agent: " + listening.error() + "\n";
      (void)!write(2, msg.data(), msg.size());
      return 1;
    }
    bridge.emplace(std::move(*listening));
    settings.base_env.push_back("QUORREL_HTTP_SOCKET=" + socket_path);
  }
  settings.default_cwd = cwd;
  transport.write_all("READY\n");
  Agent agent(transport, std::move(settings), bridge ? &*bridge : nullptr);
  agent.run();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view self = argc > 0 ? argv[0] : "";
  const std::string_view base = self.substr(self.find_last_of('/') == std::string_view::npos ? 0 : self.find_last_of('/') + 1);
  if (base == "quorrel-http") {
    return http_client_main(argc, argv);
  }
  // As init the kernel may pass unknown boot parameters as arguments.
  if (getpid() == 1) {
    return run_guest();
  }
  if (argc >= 2 && std::strcmp(argv[1], "--stdio") == 0) {
    return run_stdio(argc, argv);
  }
  if (argc == 2 && std::strcmp(argv[1], "--uart") == 0) {
    return run_guest();
  }
  return usage();
}
