// Guest HTTP requests arriving in the middle of an operation.
#include "vm/kvm/devices/serial/frame_encoders.h"
#include "vm/kvm/kvm_backend.h"

namespace quorrel::vm {

std::expected<void, MicrovmError> KvmBackend::run_http_proxy_request(const HttpRequestFrame& frame) {
  // Without the proxy library the request cannot be performed; the guest is
  // told so with an ERROR reply and the operation goes on.
  const std::string message = "HTTP proxy internal error: HTTP proxy is not available in this build";
  serial_.queue_input(encode_http_error(frame.id, "INTERNAL", message));
  return {};
}

}  // namespace quorrel::vm
