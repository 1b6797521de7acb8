#include "python/py_http_response.h"

namespace quorrel::python {

namespace {

constexpr char kDoc[] =
    "HTTP response from the host-side proxy.\n\n"
    "Returned by `Sandbox.http_request()`. The body is exposed as raw bytes;\n"
    "headers are exposed as a Python dict.\n\n"
    "# Attributes\n\n"
    "* `status` - HTTP status code (e.g., 200, 404).\n"
    "* `headers` - Response headers as a Python dict.\n"
    "* `body` - Response body as raw bytes.";

PyGetSetDef kAttributes[] = {
    attribute<&PyHttpResponse::status>("status"),
    attribute<&PyHttpResponse::headers>("headers", "Returns response headers as a Python dictionary."),
    attribute<&PyHttpResponse::body>("body", "Returns the response body as raw bytes."),
    {},
};

PyType_Slot kSlots[] = {{Py_tp_getset, kAttributes}, {0, nullptr}};

}  // namespace

const ClassSpec PyHttpResponse::kSpec{
    .name = "HttpResponse",
    .doc = kDoc,
    .slots = kSlots,
};

}  // namespace quorrel::python
