#include "http_bridge.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "frame_reader.h"
#include "guest_frame.h"

namespace quorrel::agent {
namespace {

constexpr std::size_t kMaxRequestBody = 1048576;

std::string client_error_line(std::string_view code, std::string_view message) {
  std::string line = "ERROR:";
  line.append(code);
  line += ':';
  line += std::to_string(message.size());
  line += ':';
  line.append(message);
  line += '\n';
  return line;
}

void send_all(int fd, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;  // the program went away or stopped reading
    }
    done += static_cast<std::size_t>(n);
  }
}

std::string payload_line(std::string_view head, std::string_view data) {
  std::string line(head);
  line += std::to_string(data.size());
  line += ':';
  line.append(data);
  line += '\n';
  return line;
}

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string invalid_json(std::string_view detail) {
  return client_error_line("INVALID_URL", "invalid URL: invalid HTTP request JSON: " + std::string(detail));
}

}  // namespace

std::expected<std::size_t, std::string> check_base64(std::string_view text) {
  if (text.size() % 4 != 0) {
    return std::unexpected("length is not a multiple of 4");
  }
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') {
    padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
  }
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    if (base64_value(text[i]) < 0) {
      return std::unexpected("invalid character at offset " + std::to_string(i));
    }
  }
  if (padding > 0) {
    // The bits that the padding leaves unused must be zero.
    const int last = base64_value(text[text.size() - padding - 1]);
    if ((padding == 1 && (last & 0x03) != 0) || (padding == 2 && (last & 0x0F) != 0)) {
      return std::unexpected("non-canonical padding");
    }
  }
  return text.size() / 4 * 3 - padding;
}

CheckedHttpRequest check_http_request(std::string_view text) {
  nlohmann::json j;
  try {
    j = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    return {false, invalid_json(e.what())};
  }
  if (!j.is_object()) {
    return {false, invalid_json("expected an object")};
  }
  for (const char* key : {"method", "url"}) {
    if (!j.contains(key)) {
      return {false, invalid_json(std::string("missing field `") + key + "`")};
    }
    if (!j[key].is_string()) {
      return {false, invalid_json(std::string("`") + key + "` must be a string")};
    }
  }
  if (j.contains("headers")) {
    const auto& headers = j["headers"];
    if (!headers.is_object() ||
        !std::all_of(headers.begin(), headers.end(), [](const nlohmann::json& v) { return v.is_string(); })) {
      return {false, invalid_json("`headers` must be an object of strings")};
    }
  }
  for (const char* key : {"timeout_ms", "max_response_bytes"}) {
    if (j.contains(key) && !j[key].is_null() && !j[key].is_number_unsigned()) {
      return {false, invalid_json(std::string("`") + key + "` must be an unsigned integer")};
    }
  }
  if (j.contains("body_b64") && !j["body_b64"].is_null()) {
    if (!j["body_b64"].is_string()) {
      return {false, invalid_json("`body_b64` must be a string")};
    }
    const auto decoded = check_base64(j["body_b64"].get_ref<const std::string&>());
    if (!decoded) {
      return {false, client_error_line("INVALID_URL", "invalid URL: body_b64 is not valid base64: " + decoded.error())};
    }
    if (*decoded > kMaxRequestBody) {
      return {false, client_error_line("BODY_TOO_LARGE", "HTTP body exceeds size limit")};
    }
  }
  try {
    return {true, j.dump()};
  } catch (const nlohmann::json::exception& e) {
    return {false, invalid_json(e.what())};
  }
}

std::expected<HttpBridge, std::string> HttpBridge::listen(const std::string& socket_path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof(addr.sun_path)) {
    return std::unexpected("socket path too long: " + socket_path);
  }
  std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) {
    return std::unexpected(std::string("socket: ") + std::strerror(errno));
  }
  ::unlink(socket_path.c_str());
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    return std::unexpected("bind " + socket_path + ": " + std::strerror(errno));
  }
  ::chmod(socket_path.c_str(), 0666);
  if (::listen(fd.get(), 64) != 0) {
    return std::unexpected(std::string("listen: ") + std::strerror(errno));
  }
  return HttpBridge(std::move(fd));
}

void HttpBridge::add_poll_fds(std::vector<pollfd>& fds) const {
  fds.push_back({listener_.get(), POLLIN, 0});
  for (const auto& in : incoming_) {
    fds.push_back({in.fd.get(), POLLIN, 0});
  }
}

void HttpBridge::accept_all() {
  for (;;) {
    const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      return;
    }
    timeval send_timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof(send_timeout));
    incoming_.push_back({UniqueFd(fd), {}});
  }
}

bool HttpBridge::read_request(UniqueFd& fd, std::string& buffer, Transport& transport) {
  char chunk[16384];
  for (;;) {
    const ssize_t n = ::recv(fd.get(), chunk, sizeof(chunk), 0);
    if (n > 0) {
      buffer.append(chunk, static_cast<std::size_t>(n));
      if (buffer.size() > kMaxHttpPayloadBytes) {
        send_all(fd.get(), client_error_line("BODY_TOO_LARGE", "HTTP body exceeds size limit"));
        return false;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return true;  // more to come
    }
    if (n < 0) {
      return false;
    }
    break;  // end of the request
  }
  const CheckedHttpRequest checked = check_http_request(buffer);
  if (!checked.ok) {
    send_all(fd.get(), checked.json_or_error);
    return false;
  }
  const std::uint32_t id = next_id_++;
  if (next_id_ == 0) {
    next_id_ = 1;
  }
  // The connection now only receives; a blocking socket keeps relaying simple.
  const int flags = ::fcntl(fd.get(), F_GETFL);
  ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  waiting_[id] = std::move(fd);
  transport.write_all(http_request_frame(id, checked.json_or_error));
  return false;
}

void HttpBridge::on_poll(const std::vector<pollfd>& fds, Transport& transport) {
  bool listener_ready = false;
  std::vector<int> ready;
  for (const auto& p : fds) {
    if (p.revents == 0) {
      continue;
    }
    if (p.fd == listener_.get()) {
      listener_ready = true;
    } else {
      ready.push_back(p.fd);
    }
  }
  for (auto it = incoming_.begin(); it != incoming_.end();) {
    if (std::find(ready.begin(), ready.end(), it->fd.get()) != ready.end() &&
        !read_request(it->fd, it->buffer, transport)) {
      it = incoming_.erase(it);
    } else {
      ++it;
    }
  }
  if (listener_ready) {
    accept_all();
  }
}

void HttpBridge::deliver(const HostFrame& frame) {
  auto route = [&](std::uint32_t id, std::string_view line, bool last) {
    auto it = waiting_.find(id);
    if (it == waiting_.end()) {
      return;  // not ours, or the program gave up
    }
    send_all(it->second.get(), line);
    if (last) {
      waiting_.erase(it);
    }
  };
  if (const auto* h = std::get_if<HttpHeadersFrame>(&frame)) {
    route(h->id, payload_line("HEADERS:", h->json), false);
  } else if (const auto* b = std::get_if<HttpBodyFrame>(&frame)) {
    route(b->id, payload_line("BODY:", b->data), false);
  } else if (const auto* e = std::get_if<HttpEndFrame>(&frame)) {
    route(e->id, "END\n", true);
  } else if (const auto* err = std::get_if<HttpErrorFrame>(&frame)) {
    route(err->id, client_error_line(err->code, err->message), true);
  }
}

void HttpBridge::fail_pending(std::string_view code, std::string_view message) {
  for (auto& [id, fd] : waiting_) {
    send_all(fd.get(), client_error_line(code, message));
  }
  waiting_.clear();
}

}  // namespace quorrel::agent
