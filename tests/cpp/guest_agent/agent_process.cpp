#include "agent_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace quorrel::agent::testing {
namespace fs = std::filesystem;

AgentProcess::AgentProcess() {
  char tmpl[] = "/tmp/quorrel-agent-test-XXXXXX";
  dir_ = ::mkdtemp(tmpl);
  fs::create_directories(dir_ / "bin");
  fs::create_symlink(QUORREL_AGENT_BINARY, dir_ / "bin" / "quorrel-http");
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  const std::string path = (dir_ / "bin").string() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
  const std::string python_path = QUORREL_GUEST_PYTHON_DIR;
  const std::string socket = (dir_ / "http.sock").string();
  const std::string cwd = dir_.string();
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::setenv("PATH", path.c_str(), 1);
    ::setenv("PYTHONPATH", python_path.c_str(), 1);
    ::execl(QUORREL_AGENT_BINARY, "quorrel-agent", "--stdio", "--http-socket", socket.c_str(), "--cwd", cwd.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  to_agent_ = in[1];
  from_agent_ = out[0];
  ::signal(SIGPIPE, SIG_IGN);
}

AgentProcess::~AgentProcess() {
  ::close(to_agent_);
  ::close(from_agent_);
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void AgentProcess::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(to_agent_, bytes.data(), bytes.size());
    if (n <= 0) {
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

bool AgentProcess::read_some(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) {
    return false;
  }
  pollfd pfd{from_agent_, POLLIN, 0};
  if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
    return false;
  }
  char buffer[65536];
  const ssize_t n = ::read(from_agent_, buffer, sizeof(buffer));
  if (n <= 0) {
    return false;
  }
  pending_.append(buffer, static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> AgentProcess::read_until(std::string_view marker, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto at = pending_.find(marker);
    if (at != std::string::npos) {
      auto end = pending_.find('\n', at + marker.size() - (marker.ends_with('\n') ? 1 : 0));
      end = end == std::string::npos ? pending_.size() : end + 1;
      std::string out = pending_.substr(0, end);
      pending_.erase(0, end);
      return out;
    }
    if (!read_some(deadline)) {
      return std::nullopt;
    }
  }
}

std::optional<std::string> AgentProcess::read_until_suffix(std::string_view suffix, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pending_.ends_with(suffix)) {
    if (!read_some(deadline)) {
      return std::nullopt;
    }
  }
  return std::exchange(pending_, {});
}

std::string AgentProcess::read_for(std::chrono::milliseconds window) {
  const auto deadline = std::chrono::steady_clock::now() + window;
  while (read_some(deadline)) {
  }
  return std::exchange(pending_, {});
}

std::string exec_frame(std::string_view json) {
  return "EXEC:" + std::to_string(json.size()) + ":" + std::string(json) + "\n";
}

std::string execs_frame(std::string_view command) {
  return "EXECS:0:" + std::to_string(command.size()) + ":" + std::string(command) + "\n";
}

std::string fs_read_frame(std::string_view path) {
  return "FS:READ:" + std::to_string(path.size()) + ":" + std::string(path) + "\n";
}

std::string fs_write_frame(std::string_view path, std::string_view data) {
  return "FS:WRITE:" + std::to_string(path.size()) + ":" + std::string(path) + "\n" + std::to_string(data.size()) +
         ":" + std::string(data) + "\n";
}

std::string exec_json(std::string_view cmd) { return nlohmann::json{{"cmd", cmd}}.dump(); }

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool unescape(std::string_view text, std::string& out) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i >= text.size()) return false;
    switch (text[i]) {
      case '\\': out += '\\'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'x': {
        if (i + 2 >= text.size()) return false;
        const int hi = hex_value(text[i + 1]);
        const int lo = hex_value(text[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return true;
}

}  // namespace

ExecReply parse_exec_reply(const std::string& raw, bool* ok) {
  ExecReply reply;
  reply.raw = raw;
  *ok = true;
  std::size_t pos = 0;
  while (pos < raw.size()) {
    const std::size_t nl = raw.find('\n', pos);
    const std::string_view line(raw.data() + pos, (nl == std::string::npos ? raw.size() : nl) - pos);
    pos = nl == std::string::npos ? raw.size() : nl + 1;
    if (line.starts_with("OUTPUT:1:")) {
      *ok = *ok && unescape(line.substr(9), reply.stdout_data);
    } else if (line.starts_with("OUTPUT:2:")) {
      *ok = *ok && unescape(line.substr(9), reply.stderr_data);
    } else if (line.starts_with("OUTPUT:")) {
      reply.stdout_data += line.substr(7);
    } else if (line.starts_with("EXIT:")) {
      reply.exit = std::string(line.substr(5));
      return reply;
    } else {
      *ok = false;
    }
  }
  *ok = false;
  return reply;
}

}  // namespace quorrel::agent::testing
