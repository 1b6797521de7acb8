#pragma once

#include <poll.h>

#include <cstdint>
#include <expected>
#include <map>
#include <string>
#include <vector>

#include "host_frame.h"
#include "transport.h"
#include "unique_fd.h"

namespace quorrel::agent {

// Serves guest programs that want an HTTPS request made by the host.
//
// A program connects to a Unix stream socket, writes the request JSON
// (method, url, headers, body_b64, timeout_ms, max_response_bytes), and
// shuts down its writing side. The agent checks the request, sends it to
// the host as an "HTTP:REQUEST:" frame with an id of its own, and relays the
// host's answer to the program as lines:
//   HEADERS:{len}:{json}\n   BODY:{len}:{bytes}\n ...   END\n
// or a single
//   ERROR:{code}:{len}:{message}\n
// after which the agent closes the connection.
class HttpBridge {
 public:
  static std::expected<HttpBridge, std::string> listen(const std::string& socket_path);

  // Descriptors to watch while a command runs (the socket, connections
  // still sending their request).
  void add_poll_fds(std::vector<pollfd>& fds) const;
  // Accepts and reads whatever poll() reported; complete requests go to the
  // host through `transport`.
  void on_poll(const std::vector<pollfd>& fds, Transport& transport);

  // Relays one HTTPRESP frame to the program waiting for it.
  void deliver(const HostFrame& frame);
  // Ends every request sent to the host with an error of our own (the host
  // has moved on and will not answer them).
  void fail_pending(std::string_view code, std::string_view message);
  bool has_pending() const { return !waiting_.empty(); }

 private:
  explicit HttpBridge(UniqueFd listener) : listener_(std::move(listener)) {}
  void accept_all();
  // Returns false when the connection is finished with (answered or broken).
  bool read_request(UniqueFd& fd, std::string& buffer, Transport& transport);

  struct Incoming {
    UniqueFd fd;
    std::string buffer;
  };
  UniqueFd listener_;
  std::vector<Incoming> incoming_;
  std::map<std::uint32_t, UniqueFd> waiting_;
  std::uint32_t next_id_ = 1;
};

// Checks a guest request JSON and returns it in compact form, or the
// "ERROR:" line to send back to the program.
struct CheckedHttpRequest {
  bool ok = false;
  std::string json_or_error;
};
CheckedHttpRequest check_http_request(std::string_view json);

// Standard base64 with canonical padding; the decoded length on success.
std::expected<std::size_t, std::string> check_base64(std::string_view text);

}  // namespace quorrel::agent
