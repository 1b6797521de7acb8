#include "command_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "unique_fd.h"

namespace quorrel::agent {
namespace {

constexpr std::size_t kChunk = 16384;

std::int64_t monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

int exit_code_of(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return 1;
}

// Everything the child needs, prepared before fork.
struct ChildPlan {
  std::string command;
  std::vector<std::string> env_storage;
  std::vector<char*> envp;
  std::string cwd;
};

ChildPlan plan_child(const CommandRequest& request, const ProcessSettings& settings) {
  ChildPlan plan;
  plan.command = request.command;
  plan.env_storage = settings.base_env;
  for (const auto& [name, value] : request.env) {
    const std::string prefix = name + "=";
    std::erase_if(plan.env_storage, [&](const std::string& e) { return e.starts_with(prefix); });
    plan.env_storage.push_back(prefix + value);
  }
  for (auto& e : plan.env_storage) {
    plan.envp.push_back(e.data());
  }
  plan.envp.push_back(nullptr);
  plan.cwd = request.cwd.value_or(settings.default_cwd);
  return plan;
}

[[noreturn]] void exec_child(ChildPlan& plan, int out_fd, int err_fd) {
  setpgid(0, 0);
  sigset_t all;
  sigemptyset(&all);
  sigprocmask(SIG_SETMASK, &all, nullptr);
  for (int sig = 1; sig < NSIG; ++sig) {
    signal(sig, SIG_DFL);  // the agent ignores SIGPIPE; commands must not
  }
  const int null_fd = ::open("/dev/null", O_RDONLY);
  if (null_fd >= 0) {
    dup2(null_fd, 0);
  } else {
    close(0);
  }
  dup2(out_fd, 1);
  dup2(err_fd, 2);
  if (!plan.cwd.empty() && chdir(plan.cwd.c_str()) != 0) {
    const std::string msg = "quorrel-agent: cannot change directory to " + plan.cwd + ": " + std::strerror(errno) + "\n";
    (void)!write(2, msg.data(), msg.size());
    _exit(1);
  }
  char sh[] = "sh";
  char dash_c[] = "-c";
  char* argv[] = {sh, dash_c, plan.command.data(), nullptr};
  execve("/bin/sh", argv, plan.envp.data());
  const std::string msg = std::string("quorrel-agent: cannot run /bin/sh: ") + std::strerror(errno) + "\n";
  (void)!write(2, msg.data(), msg.size());
  _exit(127);
}

struct OutputPipe {
  OutputStream stream;
  UniqueFd fd;
};

// Reads once from a pipe; false once it is at its end.
bool pump(OutputPipe& pipe, CommandSink& sink) {
  char buffer[kChunk];
  for (;;) {
    const ssize_t n = ::read(pipe.fd.get(), buffer, sizeof(buffer));
    if (n > 0) {
      sink.on_output(pipe.stream, std::string_view(buffer, static_cast<std::size_t>(n)));
      return true;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return true;
    }
    pipe.fd.reset();
    return false;
  }
}

// After the shell has gone: take what is already in the pipes, without
// waiting for background processes that may hold them open.
void drain(OutputPipe& pipe, CommandSink& sink) {
  char buffer[kChunk];
  for (int round = 0; round < 256 && pipe.fd.valid(); ++round) {
    const ssize_t n = ::read(pipe.fd.get(), buffer, sizeof(buffer));
    if (n > 0) {
      sink.on_output(pipe.stream, std::string_view(buffer, static_cast<std::size_t>(n)));
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    break;
  }
  pipe.fd.reset();
}

void kill_and_reap(pid_t pid) {
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

void ExecReplySink::on_output(OutputStream stream, std::string_view data) {
  auto& escaper = stream == OutputStream::Stdout ? stdout_escaper_ : stderr_escaper_;
  const std::string escaped = escaper.escape(data);
  if (!escaped.empty()) {
    transport_.write_all(output_line(stream, escaped));
  }
}

void ExecReplySink::flush() {
  for (auto stream : {OutputStream::Stdout, OutputStream::Stderr}) {
    auto& escaper = stream == OutputStream::Stdout ? stdout_escaper_ : stderr_escaper_;
    const std::string rest = escaper.finish();
    if (!rest.empty()) {
      transport_.write_all(output_line(stream, rest));
    }
  }
}

void ExecReplySink::on_exit(int code) {
  flush();
  transport_.write_all(exit_line(code));
}

void ExecReplySink::on_timeout() {
  flush();
  transport_.write_all(exit_timeout_line());
}

StreamReplySink::StreamReplySink(Transport& transport, std::uint32_t id) : transport_(transport), id_(id) {
  transport_.write_all(stream_start_frame(id_));
}

void StreamReplySink::on_output(OutputStream stream, std::string_view data) {
  transport_.write_all(stream_data_frame(stream, id_, data));
}

void StreamReplySink::on_exit(int code) { transport_.write_all(stream_end_frame(id_, code)); }

void StreamReplySink::on_timeout() { transport_.write_all(stream_timeout_frame(id_)); }

std::optional<HostFrame> run_command(const CommandRequest& request, const ProcessSettings& settings, CommandSink& sink,
                                     Transport& transport, FrameReader& reader, HttpBridge* bridge) {
  ChildPlan plan = plan_child(request, settings);
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
    sink.on_output(OutputStream::Stderr, std::string("quorrel-agent: pipe: ") + std::strerror(errno) + "\n");
    sink.on_exit(126);
    return std::nullopt;
  }
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    sink.on_output(OutputStream::Stderr, std::string("quorrel-agent: pipe: ") + std::strerror(errno) + "\n");
    sink.on_exit(126);
    return std::nullopt;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    exec_child(plan, out_pipe[1], err_pipe[1]);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  OutputPipe pipes[2] = {{OutputStream::Stdout, UniqueFd(out_pipe[0])}, {OutputStream::Stderr, UniqueFd(err_pipe[0])}};
  if (pid < 0) {
    sink.on_output(OutputStream::Stderr, std::string("quorrel-agent: fork: ") + std::strerror(errno) + "\n");
    sink.on_exit(126);
    return std::nullopt;
  }
  ::setpgid(pid, pid);
  for (auto& p : pipes) {
    ::fcntl(p.fd.get(), F_SETFL, ::fcntl(p.fd.get(), F_GETFL) | O_NONBLOCK);
  }
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));

  // No time limit is represented by a deadline that never comes.
  const bool limited = request.timeout_secs.has_value();
  const std::int64_t deadline =
      limited ? monotonic_ms() + static_cast<std::int64_t>(std::min<std::uint64_t>(*request.timeout_secs, 100'000'000ull)) * 1000
              : 0;
  bool host_open = true;
  std::vector<pollfd> fds;
  for (;;) {
    // Host frames first: some may already sit in the transport's buffer,
    // where poll() cannot see them.
    while (host_open && transport.input_ready()) {
      std::optional<HostFrame> frame = reader.read_frame();
      if (!frame) {
        host_open = false;  // nobody left to tell; finish the command anyway
      } else if (is_http_response(*frame)) {
        if (bridge != nullptr) {
          bridge->deliver(*frame);
        }
      } else {
        kill_and_reap(pid);
        if (bridge != nullptr) {
          bridge->fail_pending("INTERNAL", "HTTP proxy internal error: the host ended the command");
        }
        return frame;
      }
    }

    fds.clear();
    for (auto& p : pipes) {
      if (p.fd.valid()) {
        fds.push_back({p.fd.get(), POLLIN, 0});
      }
    }
    if (pidfd.valid()) {
      fds.push_back({pidfd.get(), POLLIN, 0});
    }
    const bool host_fd = host_open && transport.input_fd() >= 0;
    if (host_fd) {
      fds.push_back({transport.input_fd(), POLLIN, 0});
    }
    const std::size_t bridge_first = fds.size();
    if (bridge != nullptr) {
      bridge->add_poll_fds(fds);
    }

    // A polled device (the UART) and a missing pidfd need a periodic look.
    int wait_ms = -1;
    if ((host_open && !host_fd) || !pidfd.valid()) {
      wait_ms = bridge != nullptr && bridge->has_pending() ? 1 : 10;
    }
    if (limited) {
      const int left = static_cast<int>(std::clamp<std::int64_t>(deadline - monotonic_ms(), 0, 1'000'000));
      wait_ms = wait_ms < 0 ? left : std::min(wait_ms, left);
    }
    if (::poll(fds.data(), fds.size(), wait_ms) < 0 && errno != EINTR) {
      fds.clear();
    }

    for (const auto& p : fds) {
      if (p.revents == 0) {
        continue;
      }
      for (auto& pipe : pipes) {
        if (pipe.fd.valid() && pipe.fd.get() == p.fd) {
          pump(pipe, sink);
        }
      }
    }

    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      for (auto& p : pipes) {
        drain(p, sink);
      }
      sink.on_exit(exit_code_of(status));
      return std::nullopt;
    }

    if (limited && monotonic_ms() >= deadline) {
      kill_and_reap(pid);
      for (auto& p : pipes) {
        drain(p, sink);
      }
      sink.on_timeout();
      return std::nullopt;
    }

    if (bridge != nullptr && fds.size() >= bridge_first) {
      fds.erase(fds.begin(), fds.begin() + static_cast<std::ptrdiff_t>(bridge_first));
      bridge->on_poll(fds, transport);
    }
  }
}

}  // namespace quorrel::agent
