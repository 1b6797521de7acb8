#include "http_client.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "unique_fd.h"

namespace quorrel::agent {
namespace {

constexpr const char* kUsage =
    "usage: quorrel-http [options] URL\n"
    "Makes one HTTPS request through the host and writes the response body to stdout.\n"
    "  -X METHOD          request method (default GET, or POST when a body is given)\n"
    "  -H 'Name: value'   add a request header (repeatable)\n"
    "  -d DATA            request body\n"
    "  --data-file FILE   request body read from FILE ('-' for stdin)\n"
    "  --timeout-ms N     total time limit in milliseconds (default 30000)\n"
    "  --max-bytes N      largest accepted response body (default 1048576)\n"
    "  -i                 print the status line and headers before the body\n"
    "  -o FILE            write the body to FILE instead of stdout\n"
    "Exit status: 0 when a response arrived (whatever its HTTP status), 1 when the\n"
    "request failed (the reason goes to stderr as CODE: message), 2 on usage errors,\n"
    "3 when the agent cannot be reached.\n";

void put(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

int fail(int code, const std::string& message) {
  put(2, "quorrel-http: " + message + "\n");
  return code;
}

std::string base64_encode(std::string_view data) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(data[i]) << 16) | (static_cast<unsigned char>(data[i + 1]) << 8) |
                       static_cast<unsigned char>(data[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i + 1 == data.size()) {
    const unsigned v = static_cast<unsigned char>(data[i]) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == data.size()) {
    const unsigned v = (static_cast<unsigned char>(data[i]) << 16) | (static_cast<unsigned char>(data[i + 1]) << 8);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::optional<std::string> read_all(int fd) {
  std::string data;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n > 0) {
      data.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return data;
    } else if (errno != EINTR) {
      return std::nullopt;
    }
  }
}

std::optional<std::uint64_t> parse_u64(std::string_view text) {
  if (text.empty() || text.size() > 19) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

// Buffered reader of the agent's answer lines.
class AnswerReader {
 public:
  explicit AnswerReader(int fd) : fd_(fd) {}

  // Text up to `delim` (consumed); a newline also ends it and is reported
  // through `ended_line`.
  std::optional<std::string> until(char delim, std::size_t max, bool* ended_line = nullptr) {
    std::string out;
    for (;;) {
      const auto c = next();
      if (!c) {
        return std::nullopt;
      }
      if (*c == delim || (ended_line != nullptr && *c == '\n')) {
        if (ended_line != nullptr) {
          *ended_line = *c == '\n';
        }
        return out;
      }
      if (out.size() == max) {
        return std::nullopt;
      }
      out += *c;
    }
  }

  std::optional<std::string> exact(std::size_t n) {
    std::string out;
    out.reserve(n);
    while (out.size() < n) {
      if (begin_ == end_ && !fill()) {
        return std::nullopt;
      }
      const std::size_t take = std::min(end_ - begin_, n - out.size());
      out.append(buffer_ + begin_, take);
      begin_ += take;
    }
    return out;
  }

  // "{len}:{payload}\n"
  std::optional<std::string> payload() {
    const auto len_text = until(':', 20);
    const auto len = len_text ? parse_u64(*len_text) : std::nullopt;
    if (!len) {
      return std::nullopt;
    }
    auto data = exact(static_cast<std::size_t>(*len));
    if (!data || next() != '\n') {
      return std::nullopt;
    }
    return data;
  }

 private:
  bool fill() {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer_, sizeof(buffer_));
      if (n > 0) {
        begin_ = 0;
        end_ = static_cast<std::size_t>(n);
        return true;
      }
      if (n < 0 && errno == EINTR) {
        continue;
      }
      return false;
    }
  }
  std::optional<char> next() {
    if (begin_ == end_ && !fill()) {
      return std::nullopt;
    }
    return buffer_[begin_++];
  }

  int fd_;
  char buffer_[65536];
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace

int http_client_main(int argc, char** argv) {
  std::optional<std::string> method;
  std::optional<std::string> body;
  std::optional<std::string> output_path;
  std::optional<std::uint64_t> timeout_ms;
  std::optional<std::uint64_t> max_bytes;
  std::optional<std::string> url;
  bool include = false;
  nlohmann::json headers = nlohmann::json::object();

  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) {
        return std::nullopt;
      }
      return std::string(argv[++i]);
    };
    if (arg == "-h" || arg == "--help") {
      put(1, kUsage);
      return 0;
    } else if (arg == "-i") {
      include = true;
    } else if (arg == "-X" || arg == "-H" || arg == "-d" || arg == "--data-file" || arg == "--timeout-ms" ||
               arg == "--max-bytes" || arg == "-o") {
      const auto v = value();
      if (!v) {
        return fail(2, std::string("option ") + std::string(arg) + " needs a value\n" + kUsage);
      }
      if (arg == "-X") {
        method = *v;
      } else if (arg == "-H") {
        const auto colon = v->find(':');
        if (colon == std::string::npos || colon == 0) {
          return fail(2, "header must be 'Name: value': " + *v);
        }
        std::string name = v->substr(0, colon);
        std::string val = v->substr(colon + 1);
        val.erase(0, val.find_first_not_of(" \t"));
        headers[name] = val;
      } else if (arg == "-d") {
        body = *v;
      } else if (arg == "--data-file") {
        UniqueFd fd(*v == "-" ? ::dup(0) : ::open(v->c_str(), O_RDONLY | O_CLOEXEC));
        auto data = fd.valid() ? read_all(fd.get()) : std::nullopt;
        if (!data) {
          return fail(2, "cannot read " + *v + ": " + std::strerror(errno));
        }
        body = std::move(*data);
      } else if (arg == "-o") {
        output_path = *v;
      } else {
        const auto n = parse_u64(*v);
        if (!n) {
          return fail(2, std::string(arg) + " needs an unsigned number: " + *v);
        }
        (arg == "--timeout-ms" ? timeout_ms : max_bytes) = *n;
      }
    } else if (!arg.empty() && arg[0] == '-') {
      return fail(2, std::string("unknown option ") + std::string(arg) + "\n" + kUsage);
    } else if (url) {
      return fail(2, std::string("only one URL may be given\n") + kUsage);
    } else {
      url = std::string(arg);
    }
  }
  if (!url) {
    return fail(2, std::string("no URL given\n") + kUsage);
  }

  nlohmann::json request = {{"method", method.value_or(body ? "POST" : "GET")}, {"url", *url}, {"headers", headers}};
  if (body) {
    request["body_b64"] = base64_encode(*body);
  }
  if (timeout_ms) {
    request["timeout_ms"] = *timeout_ms;
  }
  if (max_bytes) {
    request["max_response_bytes"] = *max_bytes;
  }
  std::string request_text;
  try {
    request_text = request.dump();
  } catch (const nlohmann::json::exception& e) {
    return fail(2, std::string("arguments are not valid UTF-8: ") + e.what());
  }

  const char* socket_env = std::getenv("QUORREL_HTTP_SOCKET");
  const std::string socket_path = socket_env != nullptr && *socket_env != '\0' ? socket_env : "/run/quorrel/http.sock";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof(addr.sun_path)) {
    return fail(3, "socket path too long: " + socket_path);
  }
  std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
  UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock.valid() || ::connect(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    return fail(3, "cannot reach the agent at " + socket_path + ": " + std::strerror(errno));
  }
  std::string_view rest = request_text;
  while (!rest.empty()) {
    const ssize_t n = ::send(sock.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return fail(3, std::string("sending the request failed: ") + std::strerror(errno));
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  ::shutdown(sock.get(), SHUT_WR);

  UniqueFd out;
  if (output_path) {
    out.reset(::open(output_path->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out.valid()) {
      return fail(2, "cannot open " + *output_path + ": " + std::strerror(errno));
    }
  }
  const int body_fd = out.valid() ? out.get() : 1;

  AnswerReader answer(sock.get());
  for (;;) {
    bool ended_line = false;
    const auto kind = answer.until(':', 16, &ended_line);
    if (!kind) {
      return fail(1, "INTERNAL: the agent closed the connection without an answer");
    }
    if (ended_line) {
      if (*kind == "END") {
        return 0;
      }
      return fail(1, "INTERNAL: unexpected answer from the agent: " + *kind);
    }
    if (*kind == "HEADERS") {
      const auto json = answer.payload();
      if (!json) {
        return fail(1, "INTERNAL: malformed answer from the agent");
      }
      if (include) {
        try {
          const auto h = nlohmann::json::parse(*json);
          std::string head = "HTTP " + std::to_string(h.at("status").get<unsigned>()) + "\n";
          for (const auto& [name, value] : h.at("headers").items()) {
            head += name + ": " + value.get<std::string>() + "\n";
          }
          head += "\n";
          put(1, head);
        } catch (const nlohmann::json::exception& e) {
          return fail(1, std::string("INTERNAL: malformed response headers: ") + e.what());
        }
      }
    } else if (*kind == "BODY") {
      const auto data = answer.payload();
      if (!data) {
        return fail(1, "INTERNAL: malformed answer from the agent");
      }
      put(body_fd, *data);
    } else if (*kind == "ERROR") {
      const auto code = answer.until(':', 64);
      const auto message = code ? answer.payload() : std::nullopt;
      if (!message) {
        return fail(1, "INTERNAL: malformed answer from the agent");
      }
      return fail(1, *code + ": " + *message);
    } else {
      return fail(1, "INTERNAL: unexpected answer from the agent: " + *kind);
    }
  }
}

}  // namespace quorrel::agent
