// Sandbox methods that only a microVM back end can serve: snapshot capture,
// fork and host-side HTTPS requests. A sandbox configured for the OS level
// refuses them with the SDK's errors.
#include <map>
#include <optional>
#include <string>

#include "python/conversions.h"
#include "python/exceptions.h"
#include "python/py_http_response.h"
#include "python/py_sandbox.h"

namespace quorrel::python {

namespace {

constexpr char kCaptureSnapshotDoc[] =
    "_capture_snapshot($self)\n--\n\n"
    "Capture a snapshot of the current sandbox state.\n\n"
    "# Returns\n\n"
    "A `Snapshot` that can be used to restore or fork sandboxes.\n\n"
    "# Raises\n\n"
    "* `SandboxError` - If snapshotting fails.";

constexpr char kForkDoc[] =
    "fork($self)\n--\n\n"
    "Create an independent sandbox that inherits the current state.\n\n"
    "Uses copy-on-write (CoW) for efficient memory sharing.\n\n"
    "# Returns\n\n"
    "A new `Sandbox` instance with a copy of the current state.\n\n"
    "# Raises\n\n"
    "* `SandboxError` - If forking fails.";

constexpr char kHttpRequestDoc[] =
    "http_request($self, method, url, headers=None, body=None)\n--\n\n"
    "Perform an HTTPS request through the host-side proxy.\n\n"
    "The request is subject to the domain whitelist configured at sandbox creation.\n\n"
    "# Arguments\n\n"
    "* `method` - HTTP method (`\"GET\"`, `\"POST\"`, etc.).\n"
    "* `url` - Full HTTPS URL.\n"
    "* `headers` - Optional request headers.\n"
    "* `body` - Optional request body as raw bytes.\n\n"
    "# Returns\n\n"
    "An `HttpResponse` with status, headers, and body.\n\n"
    "# Raises\n\n"
    "* `SandboxHttpError` - If the domain is not whitelisted or the request fails.\n"
    "* `ConnectionError` - If the connection cannot be established.";

// Once ensure_backend_for_snapshot succeeds the back end is a microVM; this
// build has none (creating one fails inside it), so the only outcomes here
// are its refusals.
PyObject* refuse_without_microvm(Object<PySandbox>& self) {
  sdk::Sandbox* sandbox = self.state().open();
  if (sandbox == nullptr) return nullptr;
  if (auto r = sandbox->ensure_backend_for_snapshot(); !r) return map_sdk_error(r.error());
  return map_sdk_error(sdk::microvm_unavailable_error());
}

PyObject* capture_snapshot(Object<PySandbox>& self) { return refuse_without_microvm(self); }

PyObject* fork(Object<PySandbox>& self) { return refuse_without_microvm(self); }

PyObject* http_request(Object<PySandbox>& self, std::string method, std::string url,
                       std::optional<std::map<std::string, std::string>> headers, std::optional<std::string> body) {
  sdk::Sandbox* sandbox = self.state().open();
  if (sandbox == nullptr) return nullptr;
  auto response = sandbox->http_request(method, url, headers.value_or(std::map<std::string, std::string>{}),
                                        std::move(body));
  if (!response) return map_sdk_error(response.error());
  return new_instance(PyHttpResponse{.status = response->status,
                                     .headers = std::move(response->headers),
                                     .body = Bytes{std::move(response->body)}});
}

}  // namespace

PyMethodDef sandbox_capture_snapshot_method() { return method<&capture_snapshot, kCaptureSnapshotDoc>(); }
PyMethodDef sandbox_fork_method() { return method<&fork, kForkDoc>(); }
PyMethodDef sandbox_http_request_method() {
  return method<&http_request, kHttpRequestDoc, Text, Text, Optional<TextDict>, Optional<ByteSequence>>();
}

}  // namespace quorrel::python
