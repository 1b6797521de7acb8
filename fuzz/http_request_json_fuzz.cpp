// The guest's HTTP request JSON reader.
//
// The input is the JSON text of a request frame. Reading never throws and
// never crashes; a successful read respects the body limit and the caps on
// the guest's time limit and response size; a failure is InvalidUrl with
// one of the two fixed prefixes, or BodyTooLarge; and the error reply
// frame built from a failure states the byte length of its message.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vm/http_proxy/http_request.h"
#include "vm/http_proxy/reply_frames.h"

namespace {

using namespace quorrel::vm::http_proxy;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto request = HttpRequest::from_json(text);
  if (request) {
    check(!request->body || request->body->size() <= kMaxRequestBodyBytes, "body within 1 MiB");
    check(request->timeout_ms <= kGuestTimeoutMsCap, "time limit capped");
    check(request->max_response_bytes <= kGuestMaxResponseBytesCap, "response size capped");
    return 0;
  }
  const HttpProxyError& e = request.error();
  const std::string message = e.to_string();
  if (e.kind() == HttpProxyError::Kind::InvalidUrl) {
    check(message.starts_with("invalid URL: invalid HTTP request JSON: ") ||
              message.starts_with("invalid URL: body_b64 is not valid base64: "),
          "InvalidUrl carries a fixed prefix");
  } else {
    check(e.kind() == HttpProxyError::Kind::BodyTooLarge, "only InvalidUrl or BodyTooLarge");
  }
  const std::string frame = build_reply_error_frame(1, e);
  const std::string head = "HTTPRESP:ERROR:1:" + std::string(e.code()) + ":" + std::to_string(message.size()) + ":";
  check(frame == head + message + "\n", "error frame states its message length");
  return 0;
}
